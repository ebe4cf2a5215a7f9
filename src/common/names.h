#pragma once

#include <string>

// The one lower-casing rule of the helper: only the letters A to Z change. Runtime case
// tables differ between C libraries, so matching names (command words, split-app entries,
// process images) must not depend on them. UTF-8 leaves the bytes of A to Z to those letters
// alone, so the rule holds for its bytes as for UTF-16 units.
template <typename Text>
void LowerCaseAToZ(Text& text) {
    for (auto& unit : text) {
        if (unit >= 'A' && unit <= 'Z') {
            unit = static_cast<typename Text::value_type>(unit - 'A' + 'a');
        }
    }
}

inline std::wstring LowerCaseName(std::wstring text) {
    LowerCaseAToZ(text);
    return text;
}

// The tunnel's fixed name: the configuration file's base name and the uninstall argument.
inline const std::wstring TunnelName = L"Orvanta";
