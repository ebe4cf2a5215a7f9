#pragma once

// The values per-app splitting works with; the state that holds them stays in split/.

#include <cstdint>
#include <vector>

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
