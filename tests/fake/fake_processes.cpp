// Programs of the fake world: each run does what the test scripted, at once.
#include "fake_file_system.h"

namespace platform {

ProcessRun RunHiddenProcess(const std::wstring& commandLine, uint32_t waitMs) {
    fake::World& w = fake::TheWorld();
    ProcessRun result;
    if (commandLine.rfind(L"\"", 0) == 0) {  // the start's open of the program meets its oplock
        std::unique_lock<std::mutex> lock(w.fileSystemLock);
        const std::wstring program = commandLine.substr(1, commandLine.find(L'"', 1) - 1);
        if ((result.error = fake::files::WaitOutOplock(lock, program)) != 0) {
            return result;
        }
    }
    w.commandLines.push_back(commandLine);
    w.processWaits.push_back(waitMs);
    fake::ProgramRun run;
    fake::TakeScripted(w.programRuns, run);
    if (!run.starts) {
        result.error = 2;  // ERROR_FILE_NOT_FOUND
        return result;
    }
    if (run.outlivesWait) {
        result.exitCode = kStillActive;
        result.outcome =
            run.cannotBeEnded ? ProcessOutcome::NotEnded : ProcessOutcome::EndedAfterWait;
        result.error = run.cannotBeEnded ? 5 : 0;  // ERROR_ACCESS_DENIED
        if (!run.cannotBeEnded) {
            w.endedProcesses.push_back(commandLine);
        }
        return result;
    }
    if (run.effect) {
        run.effect();
    }
    result.outcome = ProcessOutcome::Exited;
    result.exitCode = run.exitCode;
    return result;
}

std::optional<std::wstring> ProcessImagePath(uint32_t processId) {
    const auto& images = fake::TheWorld().processImages;
    const auto found = images.find(processId);
    if (found == images.end()) {
        return std::nullopt;
    }
    return found->second;
}

}  // namespace platform
