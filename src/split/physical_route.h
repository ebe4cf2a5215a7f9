#pragma once

// Replaces each family's physical route with the lowest-metric default route of its table that
// is not on the tunnel's own interface (unknown when there is none) and logs their interface
// indexes. Call only while the sniffer is stopped.
void RecordPhysicalDefaultRoute();

// Reads both tables again and, when a family's physical default route has moved to another gateway
// or interface, moves every bypass route there (logging the route as a record does). Called when
// Windows reports a default route change and when the sniffer starts; a table that cannot be
// read changes nothing. True when a family's routes moved.
bool FollowPhysicalDefaultRoute();
