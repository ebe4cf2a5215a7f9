#include "orvanta_client.h"

#include <windows.h>
#include <aclapi.h>

namespace orvanta {

namespace {

class PipeHandle {
  public:
    explicit PipeHandle(HANDLE handle) : handle_(handle) {}
    ~PipeHandle() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
    }
    PipeHandle(const PipeHandle&) = delete;
    PipeHandle& operator=(const PipeHandle&) = delete;
    HANDLE get() const { return handle_; }

  private:
    HANDLE handle_;
};

constexpr DWORD kRetryPauseMs = 50;
// While the helper serves, its pipe is busy between requests, never absent. It is absent only
// while the helper starts (or remakes its instance after a failure, for well under a
// millisecond): the first moments of absence are retried at once (yielding the processor),
// and only a pipe that stays absent longer, a helper not running, gets the pauses.
constexpr ULONGLONG kRetryAtOnceMs = 20;

// Opens the pipe, retrying while it is busy or momentarily absent, until the deadline.
HANDLE OpenPipe(const ClientOptions& options, DWORD& error) {
    const ULONGLONG start = GetTickCount64();
    const ULONGLONG deadline = start + options.waitMs;
    for (;;) {
        // Whoever serves the pipe may identify this client but never act as it.
        HANDLE pipe =
            CreateFileW(kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
        if (pipe != INVALID_HANDLE_VALUE) {
            return pipe;
        }
        error = GetLastError();
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline || (error != ERROR_PIPE_BUSY && error != ERROR_FILE_NOT_FOUND)) {
            return INVALID_HANDLE_VALUE;
        }
        const DWORD remaining = static_cast<DWORD>(deadline - now);
        if (error != ERROR_PIPE_BUSY || !WaitNamedPipeW(kPipeName, remaining)) {
            const DWORD pause = now - start < kRetryAtOnceMs ? 0 : kRetryPauseMs;
            Sleep(remaining < pause ? remaining : pause);
        }
    }
}

bool WriteAll(HANDLE pipe, const std::string& bytes, DWORD& error) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(bytes.size() - sent);
        if (!WriteFile(pipe, bytes.data() + sent, chunk, &written, nullptr)) {
            error = GetLastError();
            return false;
        }
        sent += written;
    }
    return true;
}

// Reads until the line feed or the end of the connection.
std::string ReadReply(HANDLE pipe, DWORD& error) {
    std::string received;
    char buffer[512];
    while (received.find('\n') == std::string::npos) {
        DWORD count = 0;
        if (!ReadFile(pipe, buffer, sizeof(buffer), &count, nullptr)) {
            error = GetLastError();
            break;
        }
        received.append(buffer, count);
    }
    return received;
}

// The process id of the OrvantaHelper service while it has a process (starting, running or
// stopping), or 0.
DWORD ServiceProcessId() {
    DWORD processId = 0;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        return 0;
    }
    SC_HANDLE service = OpenServiceW(manager, kServiceName, SERVICE_QUERY_STATUS);
    if (service != nullptr) {
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                 sizeof(status), &needed)) {
            processId = status.dwProcessId;
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return processId;
}

bool OwnedBySystemOrAdministrators(HANDLE pipe) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    const bool trusted = owner != nullptr && (IsWellKnownSid(owner, WinLocalSystemSid) ||
                                              IsWellKnownSid(owner, WinBuiltinAdministratorsSid));
    LocalFree(descriptor);
    return trusted;
}

bool ServerTrusted(HANDLE pipe, ClientResult& result) {
    ULONG serverProcessId = 0;
    GetNamedPipeServerProcessId(pipe, &serverProcessId);
    result.serverProcessId = serverProcessId;
    return ServerIsTrusted(serverProcessId, ServiceProcessId(),
                           OwnedBySystemOrAdministrators(pipe));
}

}  // namespace

ClientResult SendRequest(const std::string& request, const ClientOptions& options) {
    ClientResult result;
    DWORD error = 0;
    PipeHandle pipe(OpenPipe(options, error));
    if (pipe.get() == INVALID_HANDLE_VALUE) {
        result.error = error;
        return result;
    }
    if (options.verifyServer && !ServerTrusted(pipe.get(), result)) {
        result.status = ClientStatus::Untrusted;
        return result;
    }
    WriteAll(pipe.get(), request, error);  // a cut-off request may still be answered
    const std::string received = ReadReply(pipe.get(), error);
    result.error = error;
    if (received.find('\n') == std::string::npos) {
        result.status = ClientStatus::NoReply;
        return result;
    }
    result.status = ClientStatus::Replied;
    result.reply = ReplyLine(received);
    return result;
}

}  // namespace orvanta
