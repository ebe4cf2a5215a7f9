#pragma once

// The process-wide state of per-app split tunnelling, created empty at start.

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>

// Guards SplitAppSet and BypassRouteSet. Never held together with the log's lock, and never
// held while waiting for a thread or a process.
extern std::mutex StateMutex;
// Lower-cased executable file names whose connections bypass the tunnel.
extern std::set<std::wstring> SplitAppSet;
// IPv4 addresses (network byte order) of the host routes the route manager holds.
extern std::set<uint32_t> BypassRouteSet;
// The sniffer thread's keep-going flag; only StartSniffer and StopSniffer write it.
extern std::atomic<bool> SnifferRunning;

// The physical default route recorded before the tunnel came up; a zero field means unknown.
// Written only while the sniffer is stopped.
struct PhysicalRouteRecord {
    uint32_t ifIndex = 0;
    uint32_t nextHop = 0;          // network byte order
    uint32_t interfaceMetric = 0;  // of ifIndex, read with the route
};
extern PhysicalRouteRecord PhysicalRoute;
