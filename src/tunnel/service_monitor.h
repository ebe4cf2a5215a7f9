#pragma once

#include <cstdint>
#include <string>

// How often the waits on the tunnel service look again: often enough that a connect or a
// disconnect notices the change well within 50 ms, even where one query of the service
// manager takes a few milliseconds. The bounds of the waits count these sleeps.
constexpr uint32_t kServicePollMs = 10;

// "AmneziaWGTunnel$" followed by the tunnel name.
std::wstring TunnelServiceName();
// True when the service control manager can be opened and the tunnel service on it.
bool TunnelServiceExists();
// True when, in addition, the service reports the running state.
bool IsTunnelServiceRunning();

enum class TunnelServiceCondition {
    Gone,  // the tunnel service cannot be opened
    Running,
    Starting,  // start-pending, or stopped while set to start with the machine
    Stopped,   // any other state, or its state cannot be read
};
TunnelServiceCondition TunnelServiceState();
// Returns once the tunnel service can no longer be opened or `timeoutMs` of sleeping has
// passed (probing every kServicePollMs, and once more after the last sleep).
void WaitForTunnelServiceRemoval(int timeoutMs);
