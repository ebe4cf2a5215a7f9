#include "tunnel/tunnel_start_watch.h"

#include <algorithm>

#include "common/polling.h"
#include "platform/platform.h"
#include "tunnel/service_monitor.h"

namespace {

constexpr uint64_t kPollMs = 500;

// Set by StartTunnelStartWatch before the thread starts and read by it; the serving thread
// touches them again only after joining it.
platform::Thread* WatchThread = nullptr;
platform::Event EndRequested = nullptr;
uint64_t Deadline = 0;
void (*Settle)(TunnelStartOutcome) = nullptr;

TunnelStartOutcome Watch() {
    switch (PollUntil(Deadline, &IsTunnelServiceRunning, [](uint64_t, uint64_t remaining) {
        return !platform::WaitForEvent(EndRequested,
                                       static_cast<uint32_t>(std::min(kPollMs, remaining)));
    })) {
        case PollEnd::Done:
            return TunnelStartOutcome::Running;
        case PollEnd::TimedOut:
            return TunnelStartOutcome::TimedOut;
        case PollEnd::Ended:
            break;
    }
    return TunnelStartOutcome::Ended;
}

void WatchThenSettle() {
    Settle(Watch());
}

}  // namespace

bool StartTunnelStartWatch(uint64_t deadlineTick, void (*settle)(TunnelStartOutcome)) {
    EndTunnelStartWatch();
    // One event per watch: it is never reset, and there is one watch in a service's life.
    if (platform::CreateManualResetEvent(EndRequested) != 0) {
        return false;
    }
    Deadline = deadlineTick;
    Settle = settle;
    return platform::StartThread(&WatchThenSettle, WatchThread) == 0;
}

void EndTunnelStartWatch() {
    if (WatchThread == nullptr) {
        return;
    }
    platform::SignalEvent(EndRequested);
    platform::JoinThread(WatchThread);
    WatchThread = nullptr;
}
