#include "tunnel/service_monitor.h"

#include <algorithm>

#include "common/names.h"
#include "common/polling.h"
#include "platform/platform.h"

std::wstring TunnelServiceName() {
    return L"AmneziaWGTunnel$" + TunnelName;
}

bool TunnelServiceExists() {
    return platform::ProbeService(TunnelServiceName(), false).serviceOpened;
}

bool IsTunnelServiceRunning() {
    const platform::ServiceProbe probe = platform::ProbeService(TunnelServiceName(), true);
    return probe.statusRead && probe.currentState == platform::kServiceRunning;
}

bool IsTunnelServiceStopped() {
    const platform::ServiceProbe probe = platform::ProbeService(TunnelServiceName(), true);
    return !probe.statusRead || probe.currentState == platform::kServiceStopped;
}

TunnelServiceCondition TunnelServiceState() {
    const platform::ServiceProbe probe = platform::ProbeService(TunnelServiceName(), true, true);
    if (!probe.serviceOpened) {
        return TunnelServiceCondition::Gone;
    }
    if (!probe.statusRead) {
        return TunnelServiceCondition::Stopped;
    }
    switch (probe.currentState) {
        case platform::kServiceRunning:
            return TunnelServiceCondition::Running;
        case platform::kServiceStartPending:
            return TunnelServiceCondition::Starting;
        case platform::kServiceStopped:
            return probe.startsAutomatically ? TunnelServiceCondition::Starting
                                             : TunnelServiceCondition::Stopped;
        default:
            return TunnelServiceCondition::Stopped;
    }
}

bool WaitForTunnelService(bool (*done)(), uint32_t timeoutMs, uint32_t pollMs) {
    const uint64_t start = platform::TickCountMs();
    return PollUntil(start + timeoutMs, done, [start, pollMs](uint64_t now, uint64_t remaining) {
               const uint64_t interval = now - start < kQuickPhaseMs ? kQuickPollMs : pollMs;
               platform::SleepMs(static_cast<uint32_t>(std::min<uint64_t>(interval, remaining)));
               return true;
           }) == PollEnd::Done;
}

namespace {

bool TunnelServiceGone() {
    return !platform::ProbeService(TunnelServiceName(), false).serviceOpened;  // or no manager
}

}  // namespace

void WaitForTunnelServiceRemoval(uint32_t timeoutMs) {
    WaitForTunnelService(&TunnelServiceGone, timeoutMs, kRemovalPollMs);
}
