#pragma once

#include <string>

// "AmneziaWGTunnel$" followed by the tunnel name.
std::wstring TunnelServiceName();
// True when the service control manager can be opened and the tunnel service on it.
bool TunnelServiceExists();
// True when, in addition, the service reports the running state.
bool IsTunnelServiceRunning();
// Returns once the tunnel service can no longer be opened or `timeoutMs` of sleeping has
// passed (probing every 300 ms, and once more after the last sleep).
void WaitForTunnelServiceRemoval(int timeoutMs);
