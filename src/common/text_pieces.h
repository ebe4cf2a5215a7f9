#pragma once

#include <string>

// `text` without the characters of `leading` at its front and of `trailing` at its end; empty
// when nothing else is left.
inline std::wstring Trimmed(const std::wstring& text, const wchar_t* leading,
                            const wchar_t* trailing) {
    const size_t first = text.find_first_not_of(leading);
    const size_t last = text.find_last_not_of(trailing);
    if (first == std::wstring::npos || last == std::wstring::npos || last < first) {
        return {};
    }
    return text.substr(first, last - first + 1);
}

// Calls `use` with each piece of `text` between separators, empty pieces included.
template <typename Use>
void ForEachPiece(const std::wstring& text, wchar_t separator, Use use) {
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(separator, start);
        use(text.substr(start, end - start));
        if (end == std::wstring::npos) {
            return;
        }
        start = end + 1;
    }
}

// Bytes as lower-case hexadecimal, two digits a byte: text in which no byte can break a line.
inline std::string Hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char byte : bytes) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 15];
    }
    return text;
}

// The bytes of non-empty lower-case hexadecimal text, as Hex writes it; false for anything else.
inline bool Unhex(const std::string& text, std::string& bytes) {
    if (text.empty() || text.size() % 2 != 0 ||
        text.find_first_not_of("0123456789abcdef") != std::string::npos) {
        return false;
    }
    bytes.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    }
    return true;
}
