#include <windows.h>
#include <sddl.h>

#include <system_error>
#include <thread>

#include "platform/platform.h"
#include "platform/win32/win32_handle.h"

namespace platform {

using win32::UniqueHandle;

struct PipeSecurityDescriptor {
    PSECURITY_DESCRIPTOR descriptor;
};

struct PipeInstance {
    HANDLE pipe;
};

// Cancels the guarded thread's synchronous I/O once `stop` is signalled or the time is up.
// It keeps cancelling until disarmed: a cancel that lands just before the thread enters its
// blocking call would otherwise be lost.
struct IoDeadline {
    IoDeadline(HANDLE stop, DWORD milliseconds) : stop_(stop), timeout_(milliseconds) {
        HANDLE self = nullptr;
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self,
                        THREAD_TERMINATE, FALSE, DUPLICATE_SAME_ACCESS);
        thread_.reset(self);
        disarmed_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (thread_.valid() && disarmed_.valid()) {
            try {
                watcher_ = std::thread([this] { Watch(); });
            } catch (const std::system_error&) {
                // No watcher: the guarded calls simply go unbounded.
            }
        }
    }
    ~IoDeadline() {
        if (watcher_.joinable()) {
            SetEvent(disarmed_.get());
            watcher_.join();
        }
    }
    IoDeadline(const IoDeadline&) = delete;
    IoDeadline& operator=(const IoDeadline&) = delete;

  private:
    void Watch() {
        HANDLE handles[2] = {disarmed_.get(), stop_};
        const DWORD count = stop_ != nullptr ? 2 : 1;
        if (WaitForMultipleObjects(count, handles, FALSE, timeout_) == WAIT_OBJECT_0) {
            return;
        }
        do {
            CancelSynchronousIo(thread_.get());
        } while (WaitForSingleObject(disarmed_.get(), 10) == WAIT_TIMEOUT);
    }

    HANDLE stop_;
    DWORD timeout_;
    UniqueHandle thread_;
    UniqueHandle disarmed_;
    std::thread watcher_;
};

PipeSecurityDescriptor* BuildPipeSecurity(const std::wstring& sddl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                              &descriptor, nullptr)) {
        return nullptr;
    }
    return new PipeSecurityDescriptor{descriptor};
}

void FreePipeSecurity(PipeSecurityDescriptor* security) {
    if (security != nullptr) {
        LocalFree(security->descriptor);
        delete security;
    }
}

PipeInstance* CreatePipeInstance(const std::wstring& name, const PipeSecurityDescriptor* security) {
    SECURITY_ATTRIBUTES attributes{sizeof(attributes),
                                   security != nullptr ? security->descriptor : nullptr, FALSE};
    const DWORD mode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
    HANDLE pipe = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, mode, PIPE_UNLIMITED_INSTANCES,
                                   8192, 8192, 0, &attributes);
    if (pipe == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    return new PipeInstance{pipe};
}

ClientWait WaitForClient(PipeInstance* pipe, Event stop) {
    IoDeadline wakeOnStop(reinterpret_cast<HANDLE>(stop), INFINITE);
    if (ConnectNamedPipe(pipe->pipe, nullptr) || GetLastError() == ERROR_PIPE_CONNECTED) {
        return ClientWait::Connected;
    }
    return ClientWait::NoClient;
}

bool ReadPipe(PipeInstance* pipe, char* buffer, size_t capacity, size_t& received) {
    DWORD count = 0;
    const BOOL ok = ReadFile(pipe->pipe, buffer, static_cast<DWORD>(capacity), &count, nullptr);
    received = ok ? count : 0;
    return ok != FALSE;
}

bool WritePipe(PipeInstance* pipe, const std::string& bytes) {
    DWORD written = 0;
    return WriteFile(pipe->pipe, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) != FALSE;
}

void FlushPipe(PipeInstance* pipe) {
    FlushFileBuffers(pipe->pipe);
}

void DisconnectPipe(PipeInstance* pipe) {
    DisconnectNamedPipe(pipe->pipe);
}

void ClosePipe(PipeInstance* pipe) {
    CloseHandle(pipe->pipe);
    delete pipe;
}

IoDeadline* ArmIoDeadline(uint32_t milliseconds) {
    return new IoDeadline(nullptr, milliseconds);
}

void DisarmIoDeadline(IoDeadline* deadline) {
    delete deadline;
}

}  // namespace platform
