#pragma once

#include <cstdint>
#include <string>

// The tunnel service stopped, started and removed around an update or a removal of the
// helper's package, while no connect or disconnect runs.

// Asks the tunnel service to stop and waits up to `timeoutMs` for it to have stopped. True
// when it no longer runs (or never did).
bool StopTunnelService(uint32_t timeoutMs);

// Asks the tunnel service to start, without waiting for it: a tunnel that fails to come back
// is the tunnel's matter, not the caller's. 0 or the Win32 error.
uint32_t StartTunnelService();

// Removes the tunnel: through the tunnel program, which also takes its adapter away, waiting up
// to `timeoutMs`; through the service manager when the program is missing or the service
// outlives it. True when the tunnel service is gone.
bool RemoveTunnel(uint32_t timeoutMs);

// Installs (and so starts) the tunnel for the configuration file through the tunnel program.
// True when the program ran and succeeded.
bool InstallTunnel(const std::wstring& configPath);
