#pragma once

#include <cstddef>
#include <cstdint>

#include "split/route_types.h"
#include "split/tunnel_destinations.h"

// The most bypass routes one family holds.
constexpr size_t kMaxBypassRoutesPerFamily = 4096;

// Adds a /32 route for the address (network byte order) through the physical route, once per
// address, unless the address needs none (this host, multicast, link-local, the physical
// interface's own subnets) or belongs to the tunnel (see KeepInTheTunnel). A refused creation is
// tried again at the next connection and logged once per address until the routes are next removed.
// A route that is there already is someone else's, left alone and never deleted, unless it
// carries the helper's mark: then it is held as if just made. At the cap the route a listed
// application connected to longest ago is deleted first. True when the route is held.
bool AddBypassRoute(uint32_t address);
// The same for an IPv6 address, as a /128 through the physical IPv6 route (none for the unspecified
// and loopback addresses, link-local, multicast, the interface's on-link prefixes or the
// tunnel's destinations); an IPv4-mapped address is an IPv4 address and takes the IPv4 path.
bool AddBypassRoute(const Ipv6Bytes& address);
// At a start, the helper's marked rows in both tables: with `adopt`, those through the physical
// route recorded in the state are held again, as many as the cap takes; every other marked row
// is deleted. Rows without the mark are someone else's and stay.
void ClaimMarkedBypassRows(bool adopt);
// Deletes every IPv4 bypass route held, then every IPv6 one, each in ascending order, and
// forgets them. A deletion refused for any reason but "not found" is logged.
void RemoveAllBypassRoutes();
// Makes `destinations` the tunnel's own: no bypass route leads into them from now on, on any
// path (a socket event, the open connections, a move to another network), and every held route
// that does is deleted. Logs the entries kept, when there are any.
void KeepInTheTunnel(TunnelDestinations destinations);
// How many entries the tunnel's own destinations hold.
size_t TunnelDestinationCount();
// Whether any bypass route is held.
bool BypassRoutesHeld();
// Makes `to` the physical route, unless a look at the table with a later `ticket` was applied
// already. When its gateway or interface differs from the one held, every bypass route is
// deleted where it was and created through `to` (an address that now needs no bypass, or that
// `to` cannot carry, is dropped) and true is returned. A route that appears where there was none
// has the remembered routes made ahead.
bool MoveBypassRoutes(const PhysicalRouteRecord& to, uint64_t ticket);
bool MoveBypassRoutes(const PhysicalRoute6Record& to, uint64_t ticket);
