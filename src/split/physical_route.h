#pragma once

#include <cstdint>

// Replaces each family's physical route with the lowest-metric default route of its table that
// is not on the tunnel's own interface (unknown when there is none) and logs their interface
// indexes. Call only while the sniffer is stopped.
void RecordPhysicalDefaultRoute();

// Reads both tables again and, when a family's physical default route has moved to another gateway
// or interface, moves every bypass route there (logging the route as a record does). Called when
// Windows reports a default route change and when the sniffer starts; a table that cannot be
// read changes nothing. True when a family's routes moved.
bool FollowPhysicalDefaultRoute();

// An address of the interface appeared, went or changed (its duplicate address detection ended,
// say): when the interface carries a default route of either family (or a table cannot be read),
// whether it can carry bypassed connections may have changed with it, so the tables are looked at
// again as for a route change.
// Called on a thread of the system's. True when a family's routes moved.
bool FollowAddressChange(uint32_t ifIndex);
