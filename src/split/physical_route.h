#pragma once

// Replaces PhysicalRoute with the lowest-metric default route of the IPv4 table (zeros when
// there is none) and logs its interface index. Call only while the sniffer is stopped.
void RecordPhysicalDefaultRoute();
