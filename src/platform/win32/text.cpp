// UTF-8 conversion by the system: code page 65001, no flags.
#include <windows.h>

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

}  // namespace platform
