#pragma once

#include <string>

// Brings the tunnel up from the configuration text: writes it to the configuration file, removes
// a leftover tunnel, records the physical default route, installs the tunnel service (up to three
// attempts) and waits up to 15 s for it to run. A tunnel that does not come up is uninstalled
// again so the machine keeps its connectivity. True when the tunnel service runs at the end.
bool ConnectTunnel(const std::wstring& configText);
