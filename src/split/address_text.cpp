#include "split/address_text.h"

#include <cstring>

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
