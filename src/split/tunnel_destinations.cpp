#include "split/tunnel_destinations.h"

#include "split/address_text.h"

namespace {

Ipv6Bytes CutTo(Ipv6Bytes address, uint8_t length) {
    for (unsigned bit = length; bit < 128; ++bit) {
        address[bit / 8] &= static_cast<uint8_t>(~(0x80u >> (bit % 8)));
    }
    return address;
}

// Families are keyed IPv4 first.
std::pair<bool, uint8_t> Key(bool ipv4, uint8_t length) {
    return {!ipv4, length};
}

FamilyPrefix Ipv4Range(uint8_t a, uint8_t b, uint8_t length) {
    FamilyPrefix range;
    range.prefix.prefix = MappedAddress(0);
    range.prefix.prefix[12] = a;
    range.prefix.prefix[13] = b;
    range.prefix.length = static_cast<uint8_t>(96 + length);
    range.ipv4 = true;
    return range;
}

}  // namespace

void TunnelDestinations::Add(const FamilyPrefix& prefix) {
    byLength_[Key(prefix.ipv4, prefix.prefix.length)].insert(
        CutTo(prefix.prefix.prefix, prefix.prefix.length));
}

bool TunnelDestinations::Holds(const Ipv6Bytes& address, bool ipv4) const {
    for (const auto& [key, addresses] : byLength_) {
        if (key.first == !ipv4 && addresses.count(CutTo(address, key.second)) > 0) {
            return true;
        }
    }
    return false;
}

size_t TunnelDestinations::size() const {
    size_t count = 0;
    for (const auto& entry : byLength_) {
        count += entry.second.size();
    }
    return count;
}

std::wstring TunnelDestinations::Text(size_t shown) const {
    std::wstring text;
    size_t listed = 0;
    for (const auto& [key, addresses] : byLength_) {
        for (const Ipv6Bytes& address : addresses) {
            if (listed++ < shown) {
                text += (text.empty() ? L"" : L", ") +
                        PrefixText(FamilyPrefix{{address, key.second}, !key.first});
            }
        }
    }
    if (listed > shown) {
        text += L" and " + std::to_wstring(listed - shown) + L" more";
    }
    return text;
}

bool ClaimsANetwork(const FamilyPrefix& prefix) {
    FamilyPrefix uniqueLocal;  // fc00::/7
    uniqueLocal.prefix.prefix[0] = 0xFC;
    uniqueLocal.prefix.length = 7;
    const FamilyPrefix privateRanges[] = {Ipv4Range(10, 0, 8), Ipv4Range(172, 16, 12),
                                          Ipv4Range(192, 168, 16), Ipv4Range(100, 64, 10),
                                          uniqueLocal};
    const uint8_t longEnough = prefix.ipv4 ? 96 + 24 : 48;
    if (prefix.prefix.length >= longEnough) {
        return true;
    }
    for (const FamilyPrefix& range : privateRanges) {
        if (range.ipv4 == prefix.ipv4 && prefix.prefix.length >= range.prefix.length &&
            InPrefix(prefix.prefix.prefix, range.prefix)) {
            return true;
        }
    }
    return false;
}
