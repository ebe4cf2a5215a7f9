#pragma once

#include <vector>

#include "platform/platform.h"

// Replaces PhysicalRoute and PhysicalRoute6 with the lowest-metric default route of each
// family's table that is not on the tunnel's own interface (zeros when there is none) and logs
// their interface indexes. Call only while the sniffer is stopped.
void RecordPhysicalDefaultRoute();

// Reads both tables again and, when a family's physical default route has moved to another gateway
// or interface, moves every bypass route there (logging the route as a record does). Called when
// Windows reports a default route change and when the sniffer starts; a table that cannot be
// read changes nothing.
void FollowPhysicalDefaultRoute();

// The IPv4 routing table, read again while it grows between the size probe and the read.
platform::RouteTableRead ReadRouteTable(std::vector<platform::ForwardRow>& rows);

// Calls `read` (one size probe and one read) again, up to three times, while the table grows
// between the two.
template <typename Read>
platform::RouteTableRead ReadGrowingTable(Read read) {
    constexpr int kRetriesAfterGrowth = 3;
    platform::RouteTableRead result = read();
    for (int retry = 0; result == platform::RouteTableRead::Grew && retry < kRetriesAfterGrowth;
         ++retry) {
        result = read();
    }
    return result;
}
