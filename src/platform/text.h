#pragma once

// Text conversion and Base64. Wide strings are UTF-16 on Windows; conversions between UTF-8 and
// wide text stay in the platform layer.

#include <string>

namespace platform {

// UTF-8 to wide text; malformed sequences become U+FFFD, nothing is rejected.
std::wstring Utf8ToWide(const std::string& bytes);
// Wide text to UTF-8; unpaired surrogates become U+FFFD.
std::string WideToUtf8(const std::wstring& text);
// Plain Base64 as the system decoder reads it: the standard alphabet, blanks, tabs and line ends
// anywhere, the trailing padding optional, the text ending at its first NUL. False when the
// text is rejected.
bool DecodeBase64(const std::wstring& text, std::string& bytes);

}  // namespace platform
