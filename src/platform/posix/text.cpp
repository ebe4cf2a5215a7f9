// UTF-8 conversion where the helper builds without Windows (the unit tests' native build),
// following what code page 65001 does without flags: a malformed sequence becomes one U+FFFD
// for its maximal well-formed part, an unpaired surrogate becomes U+FFFD, nothing is rejected.
// On Windows the system converts (platform/win32/text.cpp).
#include <cstdint>

#include "platform/posix/base64.h"
#include "platform/text.h"

namespace platform {

namespace {

constexpr uint32_t kReplacement = 0xFFFD;
// UTF-16 where wchar_t has 16 bits (Windows); code points where it has 32.
constexpr bool kUtf16 = sizeof(wchar_t) == 2;

// Length of the UTF-8 sequence a lead byte announces, and the bounds of its second byte that
// keep it well-formed (no overlongs, no surrogates, nothing past U+10FFFF).
bool SequenceShape(unsigned char lead, int& length, unsigned char& low, unsigned char& high) {
    low = 0x80;
    high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return false;
    }
    return true;
}

void AppendCodePoint(std::wstring& text, uint32_t code) {
    if (kUtf16 && code >= 0x10000) {
        code -= 0x10000;
        text.push_back(static_cast<wchar_t>(0xD800 | (code >> 10)));
        text.push_back(static_cast<wchar_t>(0xDC00 | (code & 0x3FF)));
    } else {
        text.push_back(static_cast<wchar_t>(code));
    }
}

// The code point at `i`, moving past it; an unpaired surrogate reads as U+FFFD.
uint32_t NextCodePoint(const std::wstring& text, size_t& i) {
    const auto unit = static_cast<uint32_t>(text[i++]);
    if (kUtf16 && unit >= 0xD800 && unit <= 0xDBFF && i < text.size()) {
        const auto low = static_cast<uint32_t>(text[i]);
        if (low >= 0xDC00 && low <= 0xDFFF) {
            ++i;
            return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
    }
    return (unit >= 0xD800 && unit <= 0xDFFF) || unit > 0x10FFFF ? kReplacement : unit;
}

}  // namespace

std::wstring Utf8ToWide(const std::string& bytes) {
    std::wstring text;
    size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            text.push_back(lead);
            ++i;
            continue;
        }
        int length = 0;
        unsigned char low = 0, high = 0;
        if (!SequenceShape(lead, length, low, high)) {
            AppendCodePoint(text, kReplacement);
            ++i;
            continue;
        }
        uint32_t code = lead & (0xFF >> (length + 1));
        int taken = 1;
        for (; taken < length && i + taken < bytes.size(); ++taken) {
            const auto next = static_cast<unsigned char>(bytes[i + taken]);
            const unsigned char min = taken == 1 ? low : 0x80;
            const unsigned char max = taken == 1 ? high : 0xBF;
            if (next < min || next > max) {
                break;
            }
            code = (code << 6) | (next & 0x3F);
        }
        // A broken sequence becomes one replacement for its maximal well-formed part.
        AppendCodePoint(text, taken == length ? code : kReplacement);
        i += taken;
    }
    return text;
}

std::string WideToUtf8(const std::wstring& text) {
    std::string bytes;
    for (size_t i = 0; i < text.size();) {
        const uint32_t code = NextCodePoint(text, i);
        if (code < 0x80) {
            bytes.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            bytes.push_back(static_cast<char>(0xC0 | (code >> 6)));
            bytes.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            bytes.push_back(static_cast<char>(0xE0 | (code >> 12)));
            bytes.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            bytes.push_back(static_cast<char>(0xF0 | (code >> 18)));
            bytes.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return bytes;
}

bool DecodeBase64(const std::wstring& text, std::string& bytes) {
    return DecodeBase64Portably(text, bytes);
}

}  // namespace platform
