#pragma once

#include <string>

// The tunnel program (a fork of WireGuard for Windows) blocks every packet outside the tunnel
// when the configuration has exactly one [Peer] whose AllowedIPs hold 0.0.0.0/0 or ::/0 (and
// routing is not turned off): bypass routes then lead nowhere. Returns "0.0.0.0/0", "::/0" or
// both, comma-separated, for such a configuration, otherwise an empty text. Reads only what it
// needs and never fails: the text is the client's.
std::wstring RoutesThatBlockBypass(const std::wstring& configText);

// What the tunnel that is up blocks, as RoutesThatBlockBypass gave it at its connect; empty
// when nothing, or no tunnel is up. Used on the serving thread only.
extern std::wstring TunnelBlockingRoutes;

// Logs, when the tunnel that is up blocks bypassed traffic, which allowed IPs do it and the
// form that covers the same without the block.
void LogIfTunnelBlocksBypass();
