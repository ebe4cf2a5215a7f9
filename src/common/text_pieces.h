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
