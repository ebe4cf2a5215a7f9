#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <climits>
#include <mutex>
#include <system_error>
#include <thread>

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

namespace {

// One thread bounds every blocking pipe call of the serving thread. It sleeps until the armed
// deadline passes or the armed stop event is signalled, then cancels the serving thread's
// synchronous I/O, and keeps cancelling every 10 ms until disarmed, so that a cancel landing
// just before the call enters its wait is not lost. Arming and disarming take only a lock; the
// watcher is woken only when it sleeps towards a later time than the new deadline, or does not
// watch the new stop event. Started with the first deadline, it lives as long as the process.
class IoWatcher {
  public:
    static IoWatcher* Instance() {
        static IoWatcher* watcher = Start();
        return watcher;
    }

    void Arm(HANDLE thread, ULONGLONG deadline, Event stop) {
        bool wake = false;
        {
            std::lock_guard<std::mutex> lock(lock_);
            armed_ = {true, thread, deadline, stop};
            wake = deadline < sleepingUntil_ || (stop != nullptr && stop != watchedStop_);
        }
        if (wake) {
            SetEvent(wake_.get());
        }
    }

    void Disarm() {
        // Cancels happen under the lock: none can reach a later call once this returns.
        std::lock_guard<std::mutex> lock(lock_);
        armed_.active = false;
    }

  private:
    struct Armed {
        bool active = false;
        HANDLE thread = nullptr;
        ULONGLONG deadline = 0;
        Event stop = nullptr;
    };
    static constexpr DWORD kRecancelMs = 10;

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
            return nullptr;  // no watcher: the pipe calls simply go unbounded
        }
        return watcher;
    }

    // Cancels when due; returns how long to sleep and which stop event to watch meanwhile.
    DWORD Check(HANDLE& stop) {
        std::lock_guard<std::mutex> lock(lock_);
        stop = nullptr;
        sleepingUntil_ = ULLONG_MAX;
        if (!armed_.active) {
            watchedStop_ = nullptr;
            return INFINITE;
        }
        const ULONGLONG now = GetTickCount64();
        const bool stopped = armed_.stop != nullptr && armed_.stop->signalled.load();
        if (stopped || now >= armed_.deadline) {
            CancelSynchronousIo(armed_.thread);
            sleepingUntil_ = now + kRecancelMs;
            watchedStop_ = nullptr;
            return kRecancelMs;
        }
        // A deadline without a stop event goes on watching the last one (as long as it is not
        // signalled), so that the next wait for a client, which watches it again, need not wake
        // this thread: one wake per request would show in every round trip.
        if (armed_.stop != nullptr) {
            watchedStop_ = armed_.stop;
        } else if (watchedStop_ != nullptr && watchedStop_->signalled.load()) {
            watchedStop_ = nullptr;
        }
        stop = watchedStop_ != nullptr ? watchedStop_->handle : nullptr;
        if (armed_.deadline == ULLONG_MAX) {
            return INFINITE;
        }
        sleepingUntil_ = armed_.deadline;
        return static_cast<DWORD>(std::min<ULONGLONG>(armed_.deadline - now, INFINITE - 1));
    }

    void Run() {
        for (;;) {
            HANDLE stop = nullptr;
            const DWORD timeout = Check(stop);
            const HANDLE handles[2] = {wake_.get(), stop};
            WaitForMultipleObjects(stop != nullptr ? 2 : 1, handles, FALSE, timeout);
        }
    }

    std::mutex lock_;
    Armed armed_;
    ULONGLONG sleepingUntil_ = ULLONG_MAX;  // when the watcher wakes by itself
    Event watchedStop_ = nullptr;           // the stop event it watches meanwhile
    UniqueHandle wake_;
};

// The calling thread as a handle the watcher can cancel through, made once per thread.
HANDLE CurrentThreadHandle() {
    thread_local UniqueHandle self([] {
        HANDLE handle = nullptr;
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &handle,
                        THREAD_TERMINATE, FALSE, 0);
        return handle;
    }());
    return self.get();
}

}  // namespace

struct IoDeadline {
    IoWatcher* watcher;
};

namespace {

IoDeadline* Arm(uint32_t milliseconds, Event stop) {
    IoWatcher* watcher = IoWatcher::Instance();
    const HANDLE thread = CurrentThreadHandle();
    if (watcher == nullptr || thread == nullptr) {
        return new IoDeadline{nullptr};
    }
    const ULONGLONG deadline =
        milliseconds == kNoTimeLimit ? ULLONG_MAX : GetTickCount64() + milliseconds;
    watcher->Arm(thread, deadline, stop);
    return new IoDeadline{watcher};
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

void DisarmIoDeadline(IoDeadline* deadline) {
    if (deadline->watcher != nullptr) {
        deadline->watcher->Disarm();
    }
    delete deadline;
}

}  // namespace platform
