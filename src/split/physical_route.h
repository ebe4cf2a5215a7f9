#pragma once

#include <vector>

#include "platform/platform.h"

// Replaces PhysicalRoute with the lowest-metric default route of the IPv4 table that is not on
// the tunnel's own interface (zeros when there is none) and logs its interface index. Call
// only while the sniffer is stopped.
void RecordPhysicalDefaultRoute();

// Reads the table again and, when the physical default route has moved to another gateway or
// interface, moves every bypass route there (logging the route as a record does). Called when
// Windows reports a default route change and when the sniffer starts; a table that cannot be
// read changes nothing.
void FollowPhysicalDefaultRoute();

// The IPv4 routing table, read again while it grows between the size probe and the read.
platform::RouteTableRead ReadRouteTable(std::vector<platform::ForwardRow>& rows);
