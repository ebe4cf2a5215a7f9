#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

enum class ProcessOutcome {
    NotStarted,      // `error` tells why
    Exited,          // `exitCode` is its exit code (1 when it could not be read)
    EndedAfterWait,  // still running when the wait ran out: ended, and gone before the return
    NotEnded,        // still running, and not gone within a second of being ended: `error`
                     // tells why (the termination's, or the wait's)
};
// The exit code Windows reports for a process still running.
constexpr uint32_t kStillActive = 259;
struct ProcessRun {
    ProcessOutcome outcome = ProcessOutcome::NotStarted;
    uint32_t exitCode = 1;
    uint32_t error = 0;
};
// Runs the command line hidden, with no window and no inherited handles, and waits at most
// `waitMs`. A process that outlives the wait is ended, so that it cannot act later; the end is
// waited for a second at most.
ProcessRun RunHiddenProcess(const std::wstring& commandLine, uint32_t waitMs);
// The Win32 path of a process's image, however long; nothing when the process cannot be opened
// with the limited query right.
std::optional<std::wstring> ProcessImagePath(uint32_t processId);

}  // namespace platform
