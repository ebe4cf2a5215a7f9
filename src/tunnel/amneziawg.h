#pragma once

// What the helper fixes about AmneziaWG: its executable's name, its two command lines and the
// name of the Windows service it creates for a tunnel.

#include <string>

#include "common/names.h"

inline const std::wstring kTunnelExeName = L"amneziawg.exe";

// "/installtunnelservice" and the configuration file path in double quotes.
inline std::wstring InstallTunnelArguments(const std::wstring& configPath) {
    return L"/installtunnelservice \"" + configPath + L"\"";
}

// "/uninstalltunnelservice" and the tunnel name, not quoted.
inline std::wstring UninstallTunnelArguments() {
    return L"/uninstalltunnelservice " + TunnelName;
}
