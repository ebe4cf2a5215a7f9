#pragma once

#include <string>

// The one lower-casing rule of the helper: only the letters A to Z change. Runtime case
// tables differ between C libraries, so matching names (command words, split-app entries,
// process images) must not depend on them.
inline std::wstring LowerCaseName(std::wstring text) {
    for (auto& unit : text) {
        if (unit >= L'A' && unit <= L'Z') {
            unit = static_cast<wchar_t>(unit - L'A' + L'a');
        }
    }
    return text;
}

// The tunnel's fixed name: the configuration file's base name and the uninstall argument.
inline const std::wstring TunnelName = L"Orvanta";
