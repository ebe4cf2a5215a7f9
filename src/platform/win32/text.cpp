// UTF-8 conversion by the system (code page 65001, no flags) and Base64 by CryptStringToBinaryW.
#include <windows.h>
#include <wincrypt.h>

#include "platform/text.h"

namespace platform {

std::wstring Utf8ToWide(const std::string& bytes) {
    if (bytes.empty()) {
        return {};
    }
    const int length = static_cast<int>(bytes.size());
    const int count = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), length, nullptr, 0);
    if (count <= 0) {
        return {};
    }
    std::wstring text(static_cast<size_t>(count), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), length, text.data(), count);
    return text;
}

std::string WideToUtf8(const std::wstring& text) {
    if (text.empty()) {
        return {};
    }
    const int length = static_cast<int>(text.size());
    const int count =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), length, nullptr, 0, nullptr, nullptr);
    if (count <= 0) {
        return {};
    }
    std::string bytes(static_cast<size_t>(count), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), length, bytes.data(), count, nullptr, nullptr);
    return bytes;
}

bool DecodeBase64(const std::wstring& text, std::string& bytes) {
    const std::wstring untilNul = text.substr(0, text.find(L'\0'));  // read up to its NUL
    DWORD size = 0;
    if (!CryptStringToBinaryW(untilNul.c_str(), 0, CRYPT_STRING_BASE64, nullptr, &size, nullptr,
                              nullptr)) {
        return false;
    }
    std::string decoded(size, '\0');
    if (size > 0 &&
        !CryptStringToBinaryW(untilNul.c_str(), 0, CRYPT_STRING_BASE64,
                              reinterpret_cast<BYTE*>(decoded.data()), &size, nullptr, nullptr)) {
        return false;
    }
    decoded.resize(size);
    bytes = std::move(decoded);
    return true;
}

}  // namespace platform
