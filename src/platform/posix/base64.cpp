// Base64 as CryptStringToBinaryW reads it with CRYPT_STRING_BASE64, in portable C++ for the
// native build and the fake; on Windows the system decodes, and the Wine tests hold this
// decoder against it so the unit tests see what Windows would accept.
#include "platform/posix/base64.h"

#include <cstdint>

namespace platform {

namespace {

int Base64Value(wchar_t c) {
    if (c >= L'A' && c <= L'Z')
        return c - L'A';
    if (c >= L'a' && c <= L'z')
        return c - L'a' + 26;
    if (c >= L'0' && c <= L'9')
        return c - L'0' + 52;
    if (c == L'+')
        return 62;
    if (c == L'/')
        return 63;
    return -1;
}

bool IsBase64Blank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

}  // namespace

// What the system decoder is documented to take: the standard alphabet, blanks, tabs and line
// ends anywhere, and the trailing padding optional. A lone sixth bit group, padding that does
// not complete the last group, or anything after the padding is rejected. The text ends at its
// first NUL, as the decoder reads a NUL-terminated string.
bool DecodeBase64Portably(const std::wstring& text, std::string& bytes) {
    std::string decoded;
    uint32_t bits = 0;
    int groups = 0;  // six-bit groups of the current quantum
    int padding = 0;
    for (wchar_t c : text.substr(0, text.find(L'\0'))) {
        if (IsBase64Blank(c)) {
            continue;
        }
        if (c == L'=') {
            ++padding;
            continue;
        }
        const int value = Base64Value(c);
        if (value < 0 || padding > 0) {
            return false;
        }
        bits = (bits << 6) | static_cast<uint32_t>(value);
        if (++groups == 4) {
            decoded.push_back(static_cast<char>(bits >> 16));
            decoded.push_back(static_cast<char>(bits >> 8));
            decoded.push_back(static_cast<char>(bits));
            bits = 0;
            groups = 0;
        }
    }
    if (groups == 1 || (padding > 0 && (groups < 2 || groups + padding != 4))) {
        return false;
    }
    if (groups == 2) {
        decoded.push_back(static_cast<char>(bits >> 4));
    } else if (groups == 3) {
        decoded.push_back(static_cast<char>(bits >> 10));
        decoded.push_back(static_cast<char>(bits >> 2));
    }
    bytes = std::move(decoded);
    return true;
}

}  // namespace platform
