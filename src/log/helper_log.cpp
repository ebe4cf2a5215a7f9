#include "log/helper_log.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cwchar>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "common/bounded_use.h"
#include "log/data_directory.h"
#include "platform/platform.h"

namespace {

// Every caller only queues its line: one writer writes them, in order, so that no caller waits on
// the file (which a user can hold) or holds the lock while it is opened. Until the writer runs
// (or when it cannot be started), the caller writes the queue itself.
std::mutex LogLock;  // guards everything below but the writer's own accounting
std::condition_variable LogChanged;
LogSink Sink;
std::deque<std::string> Queue;  // whole lines in UTF-8, oldest first
size_t QueuedBytes = 0;
uint64_t DroppedLines = 0;  // past the queue's bound since the last write
bool WriterRunning = false;
bool WriterStopping = false;
bool WriterEnded = false;
bool Writing = false;  // a batch taken from the queue is being written
std::thread Writer;
std::mutex WriteLock;                   // one writer at a time, the thread or a caller
thread_local bool WritingHere = false;  // a line logged while writing waits for the next round
// Any local user can make the service log, and the file can be held for seconds at a time.
constexpr size_t kMaxQueuedBytes = 64 * 1024;
// The stop and the exit wait this long for the queue: a held file takes kFileUseLimitMs.
constexpr uint32_t kDrainLimitMs = 4000;

// Lines the log file could not take because another process held it, noted once it can.
std::atomic<uint64_t> LinesHeldBack{0};
// Any local user can make the service log, so the log must not be able to fill the disk.
constexpr uint64_t kMaxLogBytes = 8 * 1024 * 1024;
// Users may read the log and, reading, keep it from being renamed or deleted; it then grows
// past its bound up to this cap, and lines beyond it are dropped until it can be rotated.
constexpr uint64_t kHardCapBytes = 2 * kMaxLogBytes;

// Before an append that would take the log past its bound, the log becomes helper.log.1
// (replacing an older one) and a new one starts; if it cannot be moved, it starts anew. False
// when neither works and the line would pass the hard cap.
bool KeepBounded(const DataFile& log, size_t appending) {
    const std::optional<uint64_t> size = log.Size();
    if (!size || *size + appending <= kMaxLogBytes) {
        return true;
    }
    return log.RenameTo(kLogFileName + L".1") == 0 || log.Delete() == 0 ||
           *size + appending <= kHardCapBytes;
}

std::string StampedLine(const std::wstring& message) {
    const platform::LocalTime now = platform::CurrentLocalTime();
    return platform::WideToUtf8(
        FormatLogLine(now.year, now.month, now.day, now.hour, now.minute, now.second, message));
}

// Under LogLock. A line that finds the queue full is counted, not kept; a lone line always fits.
void Enqueue(std::string line) {
    if (!Queue.empty() && QueuedBytes + line.size() > kMaxQueuedBytes) {
        ++DroppedLines;
        return;
    }
    QueuedBytes += line.size();
    Queue.push_back(std::move(line));
}

// Under LogLock: every queued line, then how many found the queue full.
std::string TakeBatch() {
    std::string batch;
    batch.reserve(QueuedBytes);
    for (const std::string& line : Queue) {
        batch += line;
    }
    Queue.clear();
    QueuedBytes = 0;
    if (DroppedLines > 0) {
        batch +=
            StampedLine(L"log queue full; " + std::to_wstring(DroppedLines) + L" lines dropped");
        DroppedLines = 0;
    }
    return batch;
}

// Writes what is queued, in rounds, until the queue is empty; a line the sink itself logs goes
// in the next round, and a failing round is not repeated for it more than once.
void WritePending() {
    if (WritingHere) {
        return;
    }
    std::lock_guard<std::mutex> writing(WriteLock);
    WritingHere = true;
    for (int round = 0; round < 2; ++round) {
        std::string batch;
        LogSink sink;
        {
            std::lock_guard<std::mutex> lock(LogLock);
            if (Queue.empty() && DroppedLines == 0) {
                break;
            }
            batch = TakeBatch();
            sink = Sink;
            Writing = true;
        }
        if (sink) {
            sink(batch);
        }
        {
            std::lock_guard<std::mutex> lock(LogLock);
            Writing = false;
        }
        LogChanged.notify_all();
    }
    WritingHere = false;
}

void WriterMain() {
    std::unique_lock<std::mutex> lock(LogLock);
    for (;;) {
        LogChanged.wait(lock, [] { return WriterStopping || !Queue.empty() || DroppedLines > 0; });
        if (Queue.empty() && DroppedLines == 0) {
            break;  // stopping, and all is written
        }
        lock.unlock();
        WritePending();
        lock.lock();
    }
    WriterEnded = true;
    LogChanged.notify_all();
}

// Under LogLock (in `lock`): waits, at most kDrainLimitMs, until `done`.
template <typename Done>
bool WaitBounded(std::unique_lock<std::mutex>& lock, Done done) {
    return LogChanged.wait_for(lock, std::chrono::milliseconds(kDrainLimitMs), done);
}

}  // namespace

std::wstring FormatLogLine(int year, int month, int day, int hour, int minute, int second,
                           const std::wstring& message) {
    wchar_t stamp[64];
    std::swprintf(stamp, 64, L"%04d-%02d-%02d %02d:%02d:%02d  ", year, month, day, hour, minute,
                  second);
    return stamp + message + L"\r\n";
}

void HelperLog(const std::wstring& message) {
    std::string line = StampedLine(message);
    bool writeHere = false;
    {
        std::lock_guard<std::mutex> lock(LogLock);
        if (!Sink) {
            return;
        }
        Enqueue(std::move(line));
        writeHere = !WriterRunning;
    }
    if (writeHere) {
        WritePending();
    } else {
        LogChanged.notify_all();
    }
}

void SetLogSink(LogSink sink) {
    std::lock_guard<std::mutex> lock(LogLock);
    Sink = std::move(sink);
    LinesHeldBack = 0;  // a count for the file it wrote to before
}

void StartLogWriter() {
    std::lock_guard<std::mutex> lock(LogLock);
    if (WriterRunning) {
        return;
    }
    WriterStopping = WriterEnded = false;
    try {
        Writer = std::thread(&WriterMain);
        WriterRunning = true;
    } catch (const std::system_error&) {
        // No writer: each caller writes its own line, as before one was started.
    }
}

void DrainLog() {
    std::unique_lock<std::mutex> lock(LogLock);
    WaitBounded(lock, [] { return Queue.empty() && DroppedLines == 0 && !Writing; });
}

void StopLogWriter() {
    std::unique_lock<std::mutex> lock(LogLock);
    if (!WriterRunning) {
        return;
    }
    WriterStopping = true;
    LogChanged.notify_all();
    if (WaitBounded(lock, [] { return WriterEnded; })) {
        WriterRunning = false;
        lock.unlock();
        Writer.join();
        return;
    }
    Writer.detach();  // it still writes, within its bound, as the process ends
}

void AppendToLogFile(const std::string& lines) {
    BoundedFileUse bound;  // users can read the log, and oplock it
    bool written = false;
    UseDataFile(kLogFileName, [&](const DataFile& log) {
        const uint64_t heldBack = LinesHeldBack.load();
        const std::string text =
            (heldBack == 0 ? std::string()
                           : StampedLine(log.path() + L" held by another process; " +
                                         std::to_wstring(heldBack) + L" lines dropped")) +
            lines;
        written = KeepBounded(log, text.size()) && log.Append(text) == 0;
        return written;
    });
    if (written) {
        LinesHeldBack = 0;
    } else if (bound.End()) {
        LinesHeldBack += static_cast<uint64_t>(std::count(lines.begin(), lines.end(), '\n'));
    }
}
