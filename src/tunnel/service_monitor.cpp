#include "tunnel/service_monitor.h"

#include "common/names.h"
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

void WaitForTunnelServiceRemoval(int timeoutMs) {
    for (int elapsed = 0;; elapsed += kServicePollMs) {
        if (!platform::ProbeService(TunnelServiceName(), false).serviceOpened) {
            return;  // gone, or the manager cannot be opened
        }
        if (elapsed >= timeoutMs) {
            return;
        }
        platform::SleepMs(kServicePollMs);
    }
}
