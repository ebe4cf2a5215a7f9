#pragma once

// The process-wide state of per-app split tunnelling, created empty at start.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

// Guards SplitAppSet, BypassRouteSet and PhysicalRoute. Never held together with the log's
// lock, and never held while waiting for a thread or a process.
extern std::mutex StateMutex;
// Lower-cased executable file names whose connections bypass the tunnel.
extern std::set<std::wstring> SplitAppSet;
// IPv4 addresses (network byte order) of the host routes the route manager holds.
extern std::set<uint32_t> BypassRouteSet;
// The sniffer thread's keep-going flag; only StartSniffer and StopSniffer write it.
extern std::atomic<bool> SnifferRunning;

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
extern PhysicalRouteRecord PhysicalRoute;
