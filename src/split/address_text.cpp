#include "split/address_text.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/text_pieces.h"

std::wstring DottedAddress(uint32_t networkOrder) {
    unsigned char bytes[4];
    std::memcpy(bytes, &networkOrder, 4);
    return std::to_wstring(bytes[0]) + L"." + std::to_wstring(bytes[1]) + L"." +
           std::to_wstring(bytes[2]) + L"." + std::to_wstring(bytes[3]);
}

namespace {

constexpr int kGroups = 8;

// The first and the length of the longest run of zero groups (ties: the first).
void LongestZeroRun(const unsigned (&groups)[kGroups], int& start, int& length) {
    start = -1;
    length = 0;
    for (int i = 0; i < kGroups;) {
        int end = i;
        while (end < kGroups && groups[end] == 0) {
            ++end;
        }
        if (end - i > length) {
            start = i;
            length = end - i;
        }
        i = end == i ? i + 1 : end;
    }
}

}  // namespace

std::wstring Ipv6Text(const Ipv6Bytes& address) {
    static const wchar_t kDigits[] = L"0123456789abcdef";
    unsigned groups[kGroups];
    for (int i = 0; i < kGroups; ++i) {
        groups[i] = (unsigned{address[2 * i]} << 8) | address[2 * i + 1];
    }
    int runStart = 0, runLength = 0;
    LongestZeroRun(groups, runStart, runLength);
    std::wstring text;
    for (int i = 0; i < kGroups; ++i) {
        if (runLength >= 2 && i == runStart) {
            text += L"::";
            i += runLength - 1;
            continue;
        }
        if (!text.empty() && text.back() != L':') {
            text += L':';
        }
        std::wstring group;
        for (unsigned value = groups[i]; group.empty() || value != 0; value >>= 4) {
            group.insert(group.begin(), kDigits[value & 15]);
        }
        text += group;
    }
    return text;
}

bool MappedIpv4(const Ipv6Bytes& address, uint32_t& networkOrder) {
    static const unsigned char kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    if (std::memcmp(address.data(), kPrefix, sizeof kPrefix) != 0) {
        return false;
    }
    std::memcpy(&networkOrder, address.data() + 12, 4);
    return true;
}

Ipv6Bytes MappedAddress(uint32_t networkOrder) {
    Ipv6Bytes address{};
    address[10] = address[11] = 0xFF;
    std::memcpy(address.data() + 12, &networkOrder, 4);
    return address;
}

namespace {

bool IsDigit(wchar_t c) {
    return c >= L'0' && c <= L'9';
}

// Up to `maxDigits` decimal digits from `at` on, none of them a leading zero; false when there are
// none, or the value exceeds `max`.
bool ReadDecimal(const std::wstring& text, size_t& at, size_t maxDigits, unsigned max,
                 unsigned& value) {
    const size_t start = at;
    value = 0;
    while (at < text.size() && at - start < maxDigits && IsDigit(text[at])) {
        value = value * 10 + static_cast<unsigned>(text[at++] - L'0');
    }
    return at > start && value <= max && (text[start] != L'0' || at - start == 1);
}

bool ParseDotted(const std::wstring& text, std::vector<uint8_t>& bytes) {
    size_t at = 0;
    for (int field = 0; field < 4; ++field) {
        unsigned value = 0;
        if ((field > 0 && (at >= text.size() || text[at++] != L'.')) ||
            !ReadDecimal(text, at, 3, 255, value)) {
            return false;
        }
        bytes.push_back(static_cast<uint8_t>(value));
    }
    return at == text.size();
}

// Colon-separated groups of one to four hexadecimal digits, the last one perhaps a dotted IPv4
// address; an empty text is no group.
bool ParseGroups(const std::wstring& text, bool mayEndInIpv4, std::vector<uint8_t>& bytes) {
    if (text.empty()) {
        return true;
    }
    std::vector<std::wstring> groups;
    ForEachPiece(text, L':', [&groups](const std::wstring& group) { groups.push_back(group); });
    for (size_t i = 0; i < groups.size(); ++i) {
        const std::wstring& group = groups[i];
        if (mayEndInIpv4 && i + 1 == groups.size() && group.find(L'.') != std::wstring::npos) {
            return ParseDotted(group, bytes);
        }
        if (group.empty() || group.size() > 4 ||
            group.find_first_not_of(L"0123456789abcdefABCDEF") != std::wstring::npos) {
            return false;
        }
        const unsigned long value = std::stoul(group, nullptr, 16);
        bytes.push_back(static_cast<uint8_t>(value >> 8));
        bytes.push_back(static_cast<uint8_t>(value & 0xFF));
    }
    return true;
}

bool ParseIpv6Text(const std::wstring& text, Ipv6Bytes& address) {
    const size_t gap = text.find(L"::");
    std::vector<uint8_t> head, tail;
    if (gap == std::wstring::npos) {
        if (!ParseGroups(text, true, head) || head.size() != address.size()) {
            return false;
        }
    } else if (text.find(L"::", gap + 1) != std::wstring::npos ||
               !ParseGroups(text.substr(0, gap), false, head) ||
               !ParseGroups(text.substr(gap + 2), true, tail) ||
               head.size() + tail.size() > address.size() - 2) {  // "::" stands for a group or more
        return false;
    }
    address = {};
    std::copy(head.begin(), head.end(), address.begin());
    std::copy(tail.begin(), tail.end(), address.end() - tail.size());
    return true;
}

}  // namespace

bool ParseAddressText(const std::wstring& text, FamilyPrefix& address) {
    std::vector<uint8_t> bytes;
    address = {};
    address.prefix.length = 128;
    if (ParseDotted(text, bytes)) {
        uint32_t networkOrder = 0;
        std::memcpy(&networkOrder, bytes.data(), 4);
        address.prefix.prefix = MappedAddress(networkOrder);
        address.ipv4 = true;
        return true;
    }
    return text.find(L':') != std::wstring::npos && ParseIpv6Text(text, address.prefix.prefix);
}

bool ParsePrefixText(const std::wstring& text, FamilyPrefix& prefix) {
    const size_t slash = text.find(L'/');
    if (!ParseAddressText(text.substr(0, slash), prefix)) {
        return false;
    }
    if (slash == std::wstring::npos) {
        return true;
    }
    size_t at = slash + 1;
    unsigned length = 0;
    if (!ReadDecimal(text, at, 3, prefix.ipv4 ? 32 : 128, length) || at != text.size()) {
        return false;
    }
    prefix.prefix.length = static_cast<uint8_t>(length + (prefix.ipv4 ? 96 : 0));
    return true;
}

std::wstring PrefixText(const FamilyPrefix& prefix) {
    uint32_t ipv4 = 0;
    MappedIpv4(prefix.prefix.prefix, ipv4);
    std::wstring text = prefix.ipv4 ? DottedAddress(ipv4) : Ipv6Text(prefix.prefix.prefix);
    if (prefix.prefix.length < 128) {
        text += L"/" + std::to_wstring(prefix.prefix.length - (prefix.ipv4 ? 96 : 0));
    }
    return text;
}
