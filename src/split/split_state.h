#pragma once

// The process-wide state of per-app split tunnelling, created empty at start. Only the
// split room reads or writes it; everyone else goes through its operations.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "split/route_types.h"

// Guards SplitAppSet, both families' bypass route sets and physical routes. Never held together
// with the log's lock, and never held while waiting for a thread or a process.
extern std::mutex StateMutex;
// Lower-cased executable file names whose connections bypass the tunnel.
extern std::set<std::wstring> SplitAppSet;
// IPv4 addresses (network byte order) of the host routes the route manager holds.
extern std::set<uint32_t> BypassRouteSet;
// The sniffer thread's keep-going flag; only StartSniffer and StopSniffer write it.
extern std::atomic<bool> SnifferRunning;
// The physical default route the bypass routes go through.
extern PhysicalRouteRecord PhysicalRoute;
// The IPv6 counterparts: host routes held, and the physical IPv6 default route.
extern std::set<Ipv6Bytes> BypassRoute6Set;
extern PhysicalRoute6Record PhysicalRoute6;
