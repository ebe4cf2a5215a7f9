#include <windows.h>

#include <vector>

#include "platform/processes.h"
#include "platform/win32/win32_handle.h"

namespace platform {

using win32::UniqueHandle;

namespace {

constexpr DWORD kTerminationWaitMs = 1000;
constexpr DWORD kLongestPath = 32768 * 2;  // a buffer that holds any path Windows allows

}  // namespace

ProcessRun RunHiddenProcess(const std::wstring& commandLine, uint32_t waitMs) {
    ProcessRun run;
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');  // CreateProcessW may write into its command line
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                        nullptr, nullptr, &startup, &info)) {
        run.error = GetLastError();
        return run;
    }
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    if (WaitForSingleObject(process.get(), waitMs) == WAIT_TIMEOUT) {
        const DWORD error = TerminateProcess(process.get(), STILL_ACTIVE) ? 0 : GetLastError();
        run.exitCode = STILL_ACTIVE;
        // Termination is asynchronous: the process is gone only once its handle is signalled.
        if (WaitForSingleObject(process.get(), kTerminationWaitMs) == WAIT_OBJECT_0) {
            run.outcome = ProcessOutcome::EndedAfterWait;
        } else {
            run.outcome = ProcessOutcome::NotEnded;
            run.error = error != 0 ? error : WAIT_TIMEOUT;
        }
        return run;
    }
    DWORD code = 1;
    GetExitCodeProcess(process.get(), &code);
    run.outcome = ProcessOutcome::Exited;
    run.exitCode = code;
    return run;
}

std::optional<std::wstring> ProcessImagePath(uint32_t processId) {
    UniqueHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (!process.valid()) {
        return std::nullopt;
    }
    // Long paths exceed MAX_PATH; the call then fails with ERROR_INSUFFICIENT_BUFFER.
    for (DWORD capacity = MAX_PATH; capacity <= kLongestPath; capacity *= 2) {
        std::vector<wchar_t> path(capacity);
        DWORD size = capacity;
        if (QueryFullProcessImageNameW(process.get(), 0, path.data(), &size)) {
            return std::wstring(path.data(), size);
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

}  // namespace platform
