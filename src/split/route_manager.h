#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

#include "platform/platform.h"
#include "split/route_types.h"
#include "split/tunnel_destinations.h"

// The most bypass routes one family holds.
constexpr size_t kMaxBypassRoutesPerFamily = 4096;

// Adds a /32 route for the address (network byte order) through PhysicalRoute, once per
// address, unless the address needs none (this host, multicast, link-local, the physical
// interface's own subnets) or belongs to the tunnel (see KeepInTheTunnel). A refused creation is
// tried again at the next connection and logged once per address until the routes are next removed.
// A route that is there already is someone else's: it is left alone and never deleted.
void AddBypassRoute(uint32_t address);
// The same for an IPv6 address, as a /128 through PhysicalRoute6 (none for the unspecified
// and loopback addresses, link-local, multicast, the interface's on-link prefixes or the
// tunnel's destinations); an IPv4-mapped address is an IPv4 address and takes the IPv4 path.
void AddBypassRoute(const Ipv6Bytes& address);
// Deletes every route in BypassRouteSet, then every one in BypassRoute6Set, each in ascending
// order, and empties both. A deletion
// refused for any reason but "not found" is logged.
void RemoveAllBypassRoutes();
// Makes `destinations` the tunnel's own: no bypass route leads into them from now on, on any
// path (a socket event, the open connections, a move to another network), and every held route
// that does is deleted. Logs the entries kept, when there are any.
void KeepInTheTunnel(TunnelDestinations destinations);
// How many entries the tunnel's own destinations hold.
size_t TunnelDestinationCount();
// Whether any bypass route is held.
bool BypassRoutesHeld();
// Makes `to` the physical route. When its gateway or interface differs from the one held,
// every bypass route is deleted where it was and created through `to` (an address that now
// needs no bypass, or that `to` cannot carry, is dropped) and true is returned.
bool MoveBypassRoutes(const PhysicalRouteRecord& to);
bool MoveBypassRoutes(const PhysicalRoute6Record& to);
// The addresses that still have the helper's row through `route` in the table. Windows keeps
// no such route across a reboot, so a saved one counts only when it is found there.
std::set<uint32_t> BypassRoutesInTable(const std::set<uint32_t>& addresses,
                                       const PhysicalRouteRecord& route,
                                       const std::vector<platform::ForwardRow>& rows);
std::set<Ipv6Bytes> BypassRoutesInTable(const std::set<Ipv6Bytes>& addresses,
                                        const PhysicalRoute6Record& route,
                                        const std::vector<platform::Forward6Row>& rows);
