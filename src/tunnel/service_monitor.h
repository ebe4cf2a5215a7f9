#pragma once

#include <cstdint>
#include <string>

// The waits on the tunnel service are bounded by elapsed time on the monotonic clock. They
// look again every kQuickPollMs during the first second, when a tunnel that is about to change
// usually does, and then at their own interval. Windows rounds a sleep up to its timer tick
// (15.6 ms by default), so counting sleeps would stretch every bound.
constexpr uint32_t kQuickPollMs = 10;
constexpr uint32_t kQuickPhaseMs = 1000;
constexpr uint32_t kRemovalPollMs = 300;
constexpr uint32_t kStopPollMs = 400;
constexpr uint32_t kRunPollMs = 500;

// Asks `done` until it answers true or `timeoutMs` have passed, and once more after the last
// sleep. True when it answered true; no sleep when it does so at once.
bool WaitForTunnelService(bool (*done)(), uint32_t timeoutMs, uint32_t pollMs);

// "AmneziaWGTunnel$" followed by the tunnel name.
std::wstring TunnelServiceName();
// True when the service control manager can be opened and the tunnel service on it.
bool TunnelServiceExists();
// True when, in addition, the service reports the running state.
bool IsTunnelServiceRunning();
// True when the service reports the stopped state, or is gone, or its state cannot be read:
// nothing more to wait for after a stop. A service still stopping is neither.
bool IsTunnelServiceStopped();

enum class TunnelServiceCondition {
    Gone,  // the tunnel service cannot be opened
    Running,
    Starting,  // start-pending, or stopped while set to start with the machine
    Stopped,   // any other state, or its state cannot be read
};
TunnelServiceCondition TunnelServiceState();
// Returns once the tunnel service can no longer be opened, or the manager cannot be, or
// `timeoutMs` have passed.
void WaitForTunnelServiceRemoval(uint32_t timeoutMs);
