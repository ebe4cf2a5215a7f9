#pragma once

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "split/route_types.h"

// What belongs to the tunnel: its resolvers, its own subnets and the networks its configuration
// claims. A bypass route into one of them would take, for every application on the machine,
// traffic meant for the tunnel to a gateway that cannot reach it, or out of it in clear.
class TunnelDestinations {
  public:
    void Add(const FamilyPrefix& prefix);
    // Whether the address (an IPv4 one in its mapped form) lies in an entry of its family.
    bool Holds(const Ipv6Bytes& address, bool ipv4) const;
    size_t size() const;
    // The entries, IPv4 first, at most `shown` of them, then "and N more"; empty when none.
    std::wstring Text(size_t shown) const;

  private:
    // Keyed by family (IPv4 first) and length, holding the addresses cut to the length: a look-up
    // costs one search per length in use, however many entries a configuration lists.
    std::map<std::pair<bool, uint8_t>, std::set<Ipv6Bytes>> byLength_;
};

// Whether a prefix the tunnel's peers allow claims a network rather than covering the Internet:
// it lies in a private or shared range (10.0.0.0/8, 172.16.0.0/12, 192.168.0.0/16,
// 100.64.0.0/10, fc00::/7) or is at least a /24 (IPv4) or a /48 (IPv6). Shorter public prefixes
// are pieces of "everything" and stay open to bypass routes.
bool ClaimsANetwork(const FamilyPrefix& prefix);
