#include "split/physical_route.h"

#include <atomic>
#include <mutex>

#include "common/names.h"
#include "log/helper_log.h"
#include "split/route_manager.h"
#include "split/split_state.h"
#include "split/state_file.h"

namespace {

// A table that grows between the size probe and the read is probed and read again.
constexpr int kRetriesAfterGrowth = 3;

// What one look at the routing table found.
struct Resolution {
    platform::RouteTableRead read = platform::RouteTableRead::ReadFailed;
    PhysicalRouteRecord route;  // unknown unless everything needed was read
    uint32_t foundIfIndex = 0;  // the chosen row's interface, also when its metric was unreadable
    uint32_t metricError = 0;
};

// The tunnel's adapter carries the tunnel's name; its default route is the tunnel's, never the
// physical one. 0 when no such adapter exists.
uint32_t TunnelInterface() {
    uint32_t ifIndex = 0;
    return platform::InterfaceIndexFromAlias(TunnelName, ifIndex) == 0 ? ifIndex : 0;
}

// The first row with the strictly lowest metric among the 0.0.0.0/0 rows off the tunnel's
// interface; a metric of 0xFFFFFFFF never wins.
PhysicalRouteRecord BestDefaultRoute(const std::vector<platform::ForwardRow>& rows,
                                     uint32_t tunnelIfIndex) {
    PhysicalRouteRecord best;
    uint32_t bestMetric = 0xFFFFFFFFu;
    for (const platform::ForwardRow& row : rows) {
        if (row.dest == 0 && row.mask == 0 && row.metric1 < bestMetric &&
            (tunnelIfIndex == 0 || row.ifIndex != tunnelIfIndex)) {
            best.ifIndex = row.ifIndex;
            best.nextHop = row.nextHop;
            bestMetric = row.metric1;
        }
    }
    return best;
}

std::vector<Ipv4Prefix> OnLinkPrefixes(const std::vector<platform::ForwardRow>& rows,
                                       uint32_t ifIndex) {
    std::vector<Ipv4Prefix> prefixes;
    for (const platform::ForwardRow& row : rows) {
        if (row.ifIndex == ifIndex && row.mask != 0 &&
            (row.type == platform::kRouteTypeDirect || row.nextHop == 0)) {
            prefixes.push_back({row.dest, row.mask});
        }
    }
    return prefixes;
}

// Bypass rows must carry at least the interface's metric or Windows refuses them, so a route
// whose interface metric is unknown is no route to bypass through.
Resolution Resolve() {
    Resolution found;
    std::vector<platform::ForwardRow> rows;
    found.read = ReadRouteTable(rows);
    if (found.read != platform::RouteTableRead::Ok) {
        return found;
    }
    PhysicalRouteRecord best = BestDefaultRoute(rows, TunnelInterface());
    found.foundIfIndex = best.ifIndex;
    if (best.ifIndex == 0) {
        return found;
    }
    found.metricError = platform::ReadInterfaceMetric(best.ifIndex, best.interfaceMetric);
    if (found.metricError == 0) {
        best.onLink = OnLinkPrefixes(rows, best.ifIndex);
        found.route = std::move(best);
    }
    return found;
}

void LogResolution(const Resolution& found) {
    HelperLog(L"physical default route: ifIndex=" + std::to_wstring(found.foundIfIndex));
    if (found.metricError != 0) {
        HelperLog(L"physical interface metric not read: ifIndex=" +
                  std::to_wstring(found.foundIfIndex) + L" err=" +
                  std::to_wstring(found.metricError));
    }
}

}  // namespace

platform::RouteTableRead ReadRouteTable(std::vector<platform::ForwardRow>& rows) {
    platform::RouteTableRead read = platform::ReadIpv4ForwardTable(rows);
    for (int retry = 0; read == platform::RouteTableRead::Grew && retry < kRetriesAfterGrowth;
         ++retry) {
        read = platform::ReadIpv4ForwardTable(rows);
    }
    return read;
}

void RecordPhysicalDefaultRoute() {
    const Resolution found = Resolve();
    {
        std::lock_guard<std::mutex> lock(StateMutex);
        PhysicalRoute = found.route;
    }
    if (found.read != platform::RouteTableRead::ProbeFailed &&
        found.read != platform::RouteTableRead::NoMemory) {
        LogResolution(found);  // a probe that failed learned nothing and logs nothing
    }
    SaveSplitState();
}

void FollowPhysicalDefaultRoute() {
    // The first look at sniffer start runs on the caller's thread while route change callbacks
    // may already run on the system's: each look draws a ticket before it reads, and a look
    // whose ticket is older than one already applied learned less and changes nothing.
    static std::mutex applyMutex;
    static std::atomic<uint64_t> lastTicket{0};
    static uint64_t lastApplied = 0;
    const uint64_t ticket = ++lastTicket;
    const Resolution found = Resolve();
    // A table or metric that cannot be read now says nothing about where the network went.
    if (found.read != platform::RouteTableRead::Ok || found.metricError != 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(applyMutex);
    if (ticket < lastApplied) {
        return;
    }
    lastApplied = ticket;
    if (MoveBypassRoutes(found.route)) {
        LogResolution(found);
    }
}
