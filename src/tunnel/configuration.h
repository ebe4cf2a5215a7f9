#pragma once

#include <string>
#include <vector>

#include "split/tunnel_destinations.h"

// The tunnel program (a fork of WireGuard for Windows) blocks every packet outside the tunnel
// when the configuration has exactly one [Peer] whose AllowedIPs hold 0.0.0.0/0 or ::/0 (and
// routing is not turned off): bypass routes then lead nowhere. Returns "0.0.0.0/0", "::/0" or
// both, comma-separated, for such a configuration, otherwise an empty text. Reads only what it
// needs and never fails: the text is the client's.
std::wstring RoutesThatBlockBypass(const std::wstring& configText);

// The configuration without its script lines: every line whose key is PreUp, PostUp, PreDown
// or PostDown, in any section and any case. The tunnel program would run their commands as
// Local System where an administrator allows scripts, and any user who can reach the pipe
// sends the configuration. Every other byte stays as sent; `dropped` receives the keys
// dropped, each once, in the order met.
std::wstring WithoutScriptKeys(const std::wstring& configText, std::vector<std::wstring>& dropped);

// What the tunnel that is up blocks, as RoutesThatBlockBypass gives it for the configuration
// it came up with; forgotten when it goes. Used on the serving thread only.
void RememberWhatTheTunnelBlocks(const std::wstring& configText);
void ForgetWhatTheTunnelBlocks();
// Whether the tunnel that is up blocks bypassed traffic (what LogIfTunnelBlocksBypass tells).
bool TunnelBlocksBypass();

// Logs, when the tunnel that is up blocks bypassed traffic, which allowed IPs do it and the
// form that covers the same without the block.
void LogIfTunnelBlocksBypass();

// What the configuration keeps in the tunnel, read as the tunnel program reads it (every line of
// every section, keys folded as for the script keys, comma-separated entries): the DNS entries
// that are addresses (names there are search domains), the Address prefixes and the AllowedIPs
// prefixes that claim a network (see ClaimsANetwork). An entry without a length is a single host;
// one that does not parse is left out.
TunnelDestinations TunnelDestinationsOf(const std::wstring& configText);

// Makes what the configuration the helper wrote keeps in the tunnel the tunnel's own (see
// KeepInTheTunnel): from the text at a connect, from Orvanta.conf at the start.
void LearnTunnelDestinations(const std::wstring& configText);
void LearnTunnelDestinationsFromTheFile();
