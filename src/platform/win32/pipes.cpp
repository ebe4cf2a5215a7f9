#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <climits>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/pipes.h"
#include "platform/win32/win32_handle.h"

namespace platform {

using win32::UniqueHandle;

struct PipeSecurityDescriptor {
    PSECURITY_DESCRIPTOR descriptor;
};

struct PipeInstance {
    HANDLE pipe;
};

struct IoDeadline {
    DWORD thread;  // the armed thread's id: it lives at least until it disarms
    ULONGLONG at;  // ULLONG_MAX: no time limit
    Event stop;
    bool passed = false;
};

namespace {

// Cancels the blocking calls of the thread with this id. The id, not a handle duplicated at each
// arming, is what a deadline keeps: every request arms three, and a duplicate and a close each
// cost the pipe 40 % of its sequential requests (measured under Wine). Called under the
// watcher's lock with the deadline armed, so the thread has not yet disarmed, let alone ended,
// and its id names no other thread.
void CancelThreadIo(DWORD threadId) {
    HANDLE thread = OpenThread(THREAD_TERMINATE, FALSE, threadId);
    if (thread != nullptr) {
        CancelSynchronousIo(thread);
        CloseHandle(thread);
    }
}

// One thread bounds the blocking calls of every thread that armed a deadline. It sleeps until
// the earliest armed deadline passes or an armed stop event is signalled, then cancels that
// deadline's thread's synchronous I/O, and keeps cancelling it every 10 ms until it is disarmed,
// so that a cancel landing just before the call enters its wait is not lost. A deadline cancels
// only its own thread, and disarming it leaves every other one armed. Arming and disarming take
// only a lock; the watcher is woken only when it sleeps towards a later time than the new
// deadline, or does not watch the new stop event. Started with the first deadline, it lives as
// long as the process.
class IoWatcher {
  public:
    static IoWatcher* Instance() {
        static IoWatcher* watcher = Start();
        return watcher;
    }

    void Arm(IoDeadline* deadline) {
        bool wake = false;
        {
            std::lock_guard<std::mutex> lock(lock_);
            armed_.push_back(deadline);
            wake = deadline->at < sleepingUntil_ ||
                   (deadline->stop != nullptr && !Watches(deadline->stop));
        }
        if (wake) {
            SetEvent(wake_.get());
        }
    }

    bool Disarm(IoDeadline* deadline) {
        // Cancels happen under the lock: none can reach a later call once this returns.
        std::lock_guard<std::mutex> lock(lock_);
        armed_.erase(std::remove(armed_.begin(), armed_.end(), deadline), armed_.end());
        return deadline->passed;
    }

  private:
    static constexpr DWORD kRecancelMs = 10;
    static constexpr size_t kMaxWatchedStops = MAXIMUM_WAIT_OBJECTS - 1;

    static IoWatcher* Start() {
        auto* watcher = new IoWatcher();  // never deleted: the thread uses it until the exit
        watcher->wake_.reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
        if (!watcher->wake_.valid()) {
            delete watcher;
            return nullptr;
        }
        try {
            std::thread([watcher] { watcher->Run(); }).detach();
        } catch (const std::system_error&) {
            delete watcher;
            return nullptr;  // no watcher: the calls simply go unbounded
        }
        return watcher;
    }

    bool Watches(Event stop) const {
        return std::find(watched_.begin(), watched_.end(), stop) != watched_.end();
    }

    // Cancels what is due; returns how long to sleep, with the stop events to watch meanwhile
    // in `watched_`.
    DWORD Check() {
        std::lock_guard<std::mutex> lock(lock_);
        const ULONGLONG now = GetTickCount64();
        ULONGLONG next = ULLONG_MAX;
        // A stop event stays watched while it is not signalled, even with no deadline armed on
        // it, so that the next wait for a client, which arms it again, need not wake this thread:
        // one wake per request would show in every round trip.
        watched_.erase(std::remove_if(watched_.begin(), watched_.end(),
                                      [](Event stop) { return stop->signalled.load(); }),
                       watched_.end());
        for (IoDeadline* deadline : armed_) {
            const bool stopped = deadline->stop != nullptr && deadline->stop->signalled.load();
            if (stopped || now >= deadline->at) {
                CancelThreadIo(deadline->thread);
                for (IoDeadline* other : armed_) {  // their calls on that thread end too
                    other->passed |= other->thread == deadline->thread;
                }
                next = std::min(next, now + kRecancelMs);
                continue;
            }
            next = std::min(next, deadline->at);
            if (deadline->stop != nullptr && !Watches(deadline->stop) &&
                watched_.size() < kMaxWatchedStops) {
                watched_.push_back(deadline->stop);
            }
        }
        sleepingUntil_ = next;
        return next == ULLONG_MAX
                   ? INFINITE
                   : static_cast<DWORD>(std::min<ULONGLONG>(next - now, INFINITE - 1));
    }

    void Run() {
        for (;;) {
            const DWORD timeout = Check();
            HANDLE handles[MAXIMUM_WAIT_OBJECTS] = {wake_.get()};
            DWORD count = 1;
            {
                std::lock_guard<std::mutex> lock(lock_);
                for (Event stop : watched_) {
                    handles[count++] = stop->handle;
                }
            }
            WaitForMultipleObjects(count, handles, FALSE, timeout);
        }
    }

    std::mutex lock_;
    std::vector<IoDeadline*> armed_;        // of any thread, each disarmed by its own
    ULONGLONG sleepingUntil_ = ULLONG_MAX;  // when the watcher wakes by itself
    std::vector<Event> watched_;            // the stop events it watches meanwhile
    UniqueHandle wake_;
};

IoDeadline* Arm(uint32_t milliseconds, Event stop) {
    const ULONGLONG at =
        milliseconds == kNoTimeLimit ? ULLONG_MAX : GetTickCount64() + milliseconds;
    auto* deadline = new IoDeadline{GetCurrentThreadId(), at, stop};
    IoWatcher* watcher = IoWatcher::Instance();
    if (watcher != nullptr) {
        watcher->Arm(deadline);
    }
    return deadline;
}

}  // namespace

uint32_t BuildPipeSecurity(const std::wstring& sddl, PipeSecurityDescriptor*& security) {
    win32::LocalMemory descriptor;
    const uint32_t error = win32::DescriptorFromSddl(sddl, descriptor);
    if (error == 0) {
        security = new PipeSecurityDescriptor{descriptor.release()};
    }
    return error;
}

void FreePipeSecurity(PipeSecurityDescriptor* security) {
    if (security != nullptr) {
        LocalFree(security->descriptor);
        delete security;
    }
}

uint32_t CreateSoleInstance(const std::wstring& name, const PipeSecurityDescriptor* security,
                            PipeInstance*& instance) {
    SECURITY_ATTRIBUTES attributes{sizeof(attributes),
                                   security != nullptr ? security->descriptor : nullptr, FALSE};
    const DWORD mode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
    const DWORD open = PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE;
    HANDLE pipe = CreateNamedPipeW(name.c_str(), open, mode, 1, 8192, 8192, 0, &attributes);
    if (pipe == INVALID_HANDLE_VALUE) {
        return GetLastError();
    }
    instance = new PipeInstance{pipe};
    return 0;
}

ClientWait WaitForClient(PipeInstance* pipe, Event stop) {
    IoDeadline* wakeOnStop = Arm(kNoTimeLimit, stop);
    const bool connected =
        ConnectNamedPipe(pipe->pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED;
    DisarmIoDeadline(wakeOnStop);
    return connected ? ClientWait::Connected : ClientWait::NoClient;
}

uint32_t ReadPipe(PipeInstance* pipe, char* buffer, size_t capacity, size_t& received) {
    DWORD count = 0;
    const BOOL ok = ReadFile(pipe->pipe, buffer, static_cast<DWORD>(capacity), &count, nullptr);
    received = ok ? count : 0;
    return ok ? 0 : GetLastError();
}

uint32_t WritePipe(PipeInstance* pipe, const std::string& bytes) {
    DWORD written = 0;
    return WriteFile(pipe->pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)
               ? 0
               : GetLastError();
}

void FlushPipe(PipeInstance* pipe) {
    FlushFileBuffers(pipe->pipe);
}

uint32_t DisconnectPipe(PipeInstance* pipe) {
    return DisconnectNamedPipe(pipe->pipe) ? 0 : GetLastError();
}

void ClosePipe(PipeInstance* pipe) {
    CloseHandle(pipe->pipe);
    delete pipe;
}

IoDeadline* ArmIoDeadline(uint32_t milliseconds, Event stop) {
    return Arm(milliseconds, stop);
}

bool DisarmIoDeadline(IoDeadline* deadline) {
    IoWatcher* watcher = IoWatcher::Instance();
    const bool passed = watcher != nullptr && watcher->Disarm(deadline);
    delete deadline;
    return passed;
}

}  // namespace platform
