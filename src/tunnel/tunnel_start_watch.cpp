#include "tunnel/tunnel_start_watch.h"

#include <algorithm>

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
    for (;;) {
        if (IsTunnelServiceRunning()) {
            return TunnelStartOutcome::Running;
        }
        const uint64_t now = platform::TickCountMs();
        if (now >= Deadline) {
            return TunnelStartOutcome::TimedOut;
        }
        const uint64_t pause = std::min(kPollMs, Deadline - now);
        if (platform::WaitForEvent(EndRequested, static_cast<uint32_t>(pause))) {
            return TunnelStartOutcome::Ended;
        }
    }
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
