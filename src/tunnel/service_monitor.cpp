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
