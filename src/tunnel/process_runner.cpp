#include "tunnel/process_runner.h"

#include "log/helper_log.h"
#include "platform/platform.h"

int RunProcess(const std::wstring& exePath, const std::wstring& arguments) {
    const std::wstring commandLine = L"\"" + exePath + L"\" " + arguments;
    const platform::ProcessRun run = platform::RunHiddenProcess(commandLine, kProcessWaitMs);
    switch (run.outcome) {
        case platform::ProcessOutcome::NotStarted:
            HelperLog(L"CreateProcess failed: " + commandLine);
            return -1;
        case platform::ProcessOutcome::EndedAfterWait:
            // Left running, it could still bring the tunnel up or down after the helper moved on.
            HelperLog(L"process still running after 30 s; ended: " + commandLine);
            return kStillActive;
        case platform::ProcessOutcome::NotEnded:
            HelperLog(L"process still running after 30 s; not ended err=" +
                      std::to_wstring(run.error) + L": " + commandLine);
            return kStillActive;
        case platform::ProcessOutcome::Exited:
            break;
    }
    return static_cast<int>(run.exitCode);
}
