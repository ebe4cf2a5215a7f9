#include "split/route_manager.h"

#include <cstring>
#include <vector>

#include "log/helper_log.h"
#include "platform/platform.h"
#include "split/split_state.h"
#include "split/state_file.h"

namespace {

// Addresses whose refused creation was logged since the routes were last removed, so that an
// application reconnecting in a loop does not flood the log. Guarded by StateMutex.
std::set<uint32_t> LoggedRefusals;
// Addresses that already had a route the helper did not make (an administrator's, the tunnel
// program's): left alone, never deleted. Guarded by StateMutex.
std::set<uint32_t> ForeignRoutes;

platform::ForwardRow BypassRow(uint32_t address, const PhysicalRouteRecord& route) {
    platform::ForwardRow row;
    row.dest = address;
    row.mask = 0xFFFFFFFFu;
    row.nextHop = route.nextHop;
    row.ifIndex = route.ifIndex;
    row.type = platform::kRouteTypeIndirect;
    row.proto = platform::kRouteProtocolNetMgmt;
    // The legacy metric is the interface's plus the route's own; the route's own is 1.
    row.metric1 = route.interfaceMetric + 1;
    return row;
}

std::wstring DottedAddress(uint32_t networkOrder) {
    unsigned char bytes[4];
    std::memcpy(bytes, &networkOrder, 4);
    return std::to_wstring(bytes[0]) + L"." + std::to_wstring(bytes[1]) + L"." +
           std::to_wstring(bytes[2]) + L"." + std::to_wstring(bytes[3]);
}

// Destinations that never leave through the gateway: this host (0/8, loopback), multicast,
// the limited broadcast, link-local, and whatever the physical interface reaches directly. A
// host route through the gateway would send every application's traffic to them astray.
bool NeedsNoBypass(uint32_t address, const PhysicalRouteRecord& route) {
    unsigned char bytes[4];
    std::memcpy(bytes, &address, 4);
    if (bytes[0] == 0 || bytes[0] == 127 || (bytes[0] & 0xF0) == 0xE0 || address == 0xFFFFFFFFu ||
        (bytes[0] == 169 && bytes[1] == 254)) {
        return true;
    }
    for (const Ipv4Prefix& prefix : route.onLink) {
        if ((address & prefix.mask) == prefix.dest) {
            return true;
        }
    }
    return false;
}

// Creates the row through PhysicalRoute; StateMutex is held. An automatic interface metric
// follows the link speed, so a refusal for a metric below the interface's is met by reading
// the metric again and trying once more.
uint32_t CreateRow(uint32_t address) {
    uint32_t result = platform::CreateForwardEntry(BypassRow(address, PhysicalRoute));
    uint32_t metric = 0;
    if (result == platform::kErrorMetricBelowInterface &&
        platform::ReadInterfaceMetric(PhysicalRoute.ifIndex, metric) == 0 &&
        metric != PhysicalRoute.interfaceMetric) {
        PhysicalRoute.interfaceMetric = metric;
        result = platform::CreateForwardEntry(BypassRow(address, PhysicalRoute));
    }
    return result;
}

// Log lines gathered under StateMutex and written once it is released.
using Problems = std::vector<std::wstring>;

void DeleteRow(uint32_t address, const PhysicalRouteRecord& route, Problems& problems) {
    const uint32_t result = platform::DeleteForwardEntry(BypassRow(address, route));
    if (result != 0 && result != platform::kErrorRouteNotFound) {
        problems.push_back(L"bypass route not deleted: " + DottedAddress(address) + L" err=" +
                           std::to_wstring(result));
    }
}

void Refused(uint32_t address, uint32_t result, Problems& problems) {
    if (LoggedRefusals.insert(address).second) {
        problems.push_back(L"bypass route refused: " + DottedAddress(address) + L" err=" +
                           std::to_wstring(result));
    }
}

void LogAll(const Problems& problems) {
    for (const std::wstring& line : problems) {
        HelperLog(line);
    }
}

// Creates the row and records what became of it; StateMutex is held. True when it was created.
bool CreateAndRecord(uint32_t address, Problems& problems) {
    const uint32_t result = CreateRow(address);
    if (result == 0) {
        BypassRouteSet.insert(address);
    } else if (result == platform::kErrorRouteExists) {
        ForeignRoutes.insert(address);
    } else {
        Refused(address, result, problems);
    }
    return result == 0;
}

// Creates the route unless it is there already or none is needed; true when it was created.
bool CreateBypassRoute(uint32_t address, Problems& problems) {
    std::lock_guard<std::mutex> lock(StateMutex);
    if (!PhysicalRoute.known() || BypassRouteSet.count(address) > 0 ||
        ForeignRoutes.count(address) > 0 || NeedsNoBypass(address, PhysicalRoute)) {
        return false;
    }
    return CreateAndRecord(address, problems);
}

}  // namespace

void AddBypassRoute(uint32_t address) {
    Problems problems;
    const bool created = CreateBypassRoute(address, problems);
    LogAll(problems);
    if (created) {
        MarkSplitStateChanged();  // written off this thread, a burst at a time
    }
}

void RemoveAllBypassRoutes() {
    Problems problems;
    {
        std::lock_guard<std::mutex> lock(StateMutex);
        for (uint32_t address : BypassRouteSet) {
            DeleteRow(address, PhysicalRoute, problems);
        }
        BypassRouteSet.clear();
        LoggedRefusals.clear();
        ForeignRoutes.clear();
    }
    LogAll(problems);
    SaveSplitState();
}

bool BypassRoutesHeld() {
    std::lock_guard<std::mutex> lock(StateMutex);
    return !BypassRouteSet.empty();
}

bool MoveBypassRoutes(const PhysicalRouteRecord& to) {
    Problems problems;
    {
        std::lock_guard<std::mutex> lock(StateMutex);
        const PhysicalRouteRecord from = PhysicalRoute;
        PhysicalRoute = to;  // also a fresh metric and subnets on the same gateway
        if (from.sameGateway(to)) {
            return false;
        }
        const std::set<uint32_t> held = std::move(BypassRouteSet);
        BypassRouteSet.clear();
        LoggedRefusals.clear();
        ForeignRoutes.clear();  // made for the old network; this one may need the addresses
        for (uint32_t address : held) {
            DeleteRow(address, from, problems);
            if (to.known() && !NeedsNoBypass(address, to)) {
                CreateAndRecord(address, problems);
            }  // otherwise the connection's next attempt decides again
        }
    }
    LogAll(problems);
    SaveSplitState();
    return true;
}

std::set<uint32_t> BypassRoutesInTable(const std::set<uint32_t>& addresses,
                                       const PhysicalRouteRecord& route,
                                       const std::vector<platform::ForwardRow>& rows) {
    std::set<uint32_t> present;
    for (const platform::ForwardRow& row : rows) {
        if (row.mask == 0xFFFFFFFFu && row.nextHop == route.nextHop &&
            row.ifIndex == route.ifIndex && addresses.count(row.dest) > 0) {
            present.insert(row.dest);
        }
    }
    return present;
}
