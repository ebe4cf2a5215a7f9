#pragma once

// The values per-app splitting works with; the state that holds them stays in split/.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/routes.h"

using platform::Ipv6Bytes;

// An IPv4 destination and mask, both in network byte order.
struct Ipv4Prefix {
    uint32_t dest = 0;
    uint32_t mask = 0;
};

// The physical default route: recorded before the tunnel came up and followed while it is up.
// A zero interface or next hop means unknown.
struct PhysicalRouteRecord {
    uint32_t ifIndex = 0;
    uint32_t nextHop = 0;          // network byte order
    uint32_t interfaceMetric = 0;  // of ifIndex, read with the route
    // What the interface reaches directly (its own subnets): no bypass leads there.
    std::vector<Ipv4Prefix> onLink;

    bool known() const { return ifIndex != 0 && nextHop != 0; }
    bool sameGateway(const PhysicalRouteRecord& other) const {
        return ifIndex == other.ifIndex && nextHop == other.nextHop;
    }
};

inline bool IsIpv6LinkLocal(const Ipv6Bytes& address) {
    return address[0] == 0xFE && (address[1] & 0xC0) == 0x80;  // fe80::/10
}
inline bool IsIpv6Multicast(const Ipv6Bytes& address) {
    return address[0] == 0xFF;  // ff00::/8
}

// An IPv6 destination prefix.
struct Ipv6Prefix {
    Ipv6Bytes prefix{};
    uint8_t length = 0;
};

// Whether the first `prefix.length` bits of the address are the prefix's.
inline bool InPrefix(const Ipv6Bytes& address, const Ipv6Prefix& prefix) {
    for (unsigned bit = 0; bit < prefix.length && bit < 128; ++bit) {
        const unsigned byte = bit / 8, shift = 7 - bit % 8;
        if (((address[byte] ^ prefix.prefix[byte]) >> shift) & 1) {
            return false;
        }
    }
    return true;
}

// A prefix of either family. An IPv4 prefix is held in its IPv4-mapped form (::ffff:a.b.c.d, its
// length plus 96), so that both families take one path; `ipv4` keeps the families apart.
struct FamilyPrefix {
    Ipv6Prefix prefix;
    bool ipv4 = false;
};

// The physical IPv6 default route, kept beside the IPv4 one. Its gateway is usually link-local,
// and all zeros on a point-to-point link; a zero interface means unknown. Bypass rows carry
// their own metric, which Windows adds to the interface's, so no interface metric is kept.
struct PhysicalRoute6Record {
    uint32_t ifIndex = 0;
    uint64_t luid = 0;
    Ipv6Bytes nextHop{};
    std::vector<Ipv6Prefix> onLink;  // the interface's on-link prefixes

    bool known() const { return ifIndex != 0; }
    bool sameGateway(const PhysicalRoute6Record& other) const {
        return ifIndex == other.ifIndex && luid == other.luid && nextHop == other.nextHop;
    }
};

// What per-app splitting holds, as the state file keeps it and a snapshot shows it: the
// physical routes, the list and the bypass routes of each family.
struct SplitStateRecord {
    PhysicalRouteRecord route;  // in the file without its subnets, which are read again
    std::set<std::wstring> apps;
    std::set<uint32_t> bypassRoutes;
    PhysicalRoute6Record route6;  // likewise; unknown in a file from before IPv6 was split
    std::set<Ipv6Bytes> bypassRoutes6;
};
