#include "tunnel/process_runner.h"

#include "log/helper_log.h"
#include "platform/platform.h"

int RunProcess(const std::wstring& exePath, const std::wstring& arguments) {
    const std::wstring commandLine = L"\"" + exePath + L"\" " + arguments;
    uint32_t exitCode = 1;
    if (!platform::RunHiddenProcess(commandLine, kProcessWaitMs, exitCode)) {
        HelperLog(L"CreateProcess failed: " + commandLine);
        return -1;
    }
    return static_cast<int>(exitCode);
}
