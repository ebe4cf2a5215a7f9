#include "log/helper_log.h"

#include <cwchar>
#include <mutex>

#include "log/data_directory.h"
#include "platform/platform.h"

namespace {

std::mutex LogLock;  // guards Sink, and keeps lines from interleaving
LogSink Sink;
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
    return log.RenameTo(kLogFileName + L".1") || log.Delete() || *size + appending <= kHardCapBytes;
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
    // The lock covers the sink's whole write so lines never interleave.
    std::lock_guard<std::mutex> lock(LogLock);
    if (!Sink) {
        return;
    }
    const platform::LocalTime now = platform::CurrentLocalTime();
    Sink(platform::WideToUtf8(
        FormatLogLine(now.year, now.month, now.day, now.hour, now.minute, now.second, message)));
}

void SetLogSink(LogSink sink) {
    std::lock_guard<std::mutex> lock(LogLock);
    Sink = std::move(sink);
}

void AppendToLogFile(const std::string& line) {
    UseDataFile(kLogFileName, [&line](const DataFile& log) {
        return KeepBounded(log, line.size()) && log.Append(line);
    });
}
