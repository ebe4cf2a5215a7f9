// Text and time of the fake world.
#include <algorithm>
#include <chrono>
#include <thread>

#include "fake_world.h"

namespace fake {

namespace {
World* world = new World();
}

World& TheWorld() {
    return *world;
}

void Reset() {
    delete world;
    world = new World();
}

uint64_t ClockMs() {
    std::lock_guard<std::mutex> lock(world->clockLock);
    return world->clockUs / 1000;
}

bool WaitUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 10000; ++i) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

}  // namespace fake

namespace platform {

namespace {

constexpr wchar_t kReplacement = 0xFFFD;

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
            text.push_back(kReplacement);
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
        text.push_back(taken == length ? static_cast<wchar_t>(code) : kReplacement);
        i += taken;
    }
    return text;
}

std::string WideToUtf8(const std::wstring& text) {
    std::string bytes;
    for (wchar_t unit : text) {
        auto code = static_cast<uint32_t>(unit);
        if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
            code = kReplacement;
        }
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

LocalTime CurrentLocalTime() {
    return fake::TheWorld().localTime;
}

void SleepMs(uint32_t milliseconds) {
    fake::World& w = fake::TheWorld();
    std::lock_guard<std::mutex> lock(w.clockLock);
    constexpr uint64_t kTickUs = 15625;
    w.sleeps.push_back(milliseconds);
    w.clockUs += (uint64_t{milliseconds} * 1000 + kTickUs - 1) / kTickUs * kTickUs;
}

uint64_t TickCountMs() {
    return fake::ClockMs();
}

// A wait that nothing ends passes on the fake clock like a sleep.
bool WaitForEvent(Event event, uint32_t milliseconds) {
    if (!IsEventSignalled(event)) {
        SleepMs(milliseconds);
    }
    return IsEventSignalled(event);
}

}  // namespace platform

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
bool DecodeBase64(const std::wstring& text, std::string& bytes) {
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
