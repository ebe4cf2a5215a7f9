#include "split/physical_route.h"

#include <cstdint>
#include <atomic>
#include <mutex>

#include "common/names.h"
#include "log/helper_log.h"
#include "split/route_manager.h"
#include "split/split_state.h"
#include "split/state_file.h"

namespace {

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
Resolution Resolve(uint32_t tunnelIfIndex) {
    Resolution found;
    std::vector<platform::ForwardRow> rows;
    found.read = ReadRouteTable(rows);
    if (found.read != platform::RouteTableRead::Ok) {
        return found;
    }
    PhysicalRouteRecord best = BestDefaultRoute(rows, tunnelIfIndex);
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

struct Resolution6 {
    platform::RouteTableRead read = platform::RouteTableRead::ReadFailed;
    PhysicalRoute6Record route;
    uint32_t metricError = 0;  // a candidate's metric failed for another reason than no IPv6
};

bool OnLinkRow(const platform::Forward6Row& row, uint32_t ifIndex) {
    return row.ifIndex == ifIndex && row.prefixLength != 0 && row.nextHop == Ipv6Bytes{};
}

// Windows sends by the strong host model: an interface with link-local addresses only (a router
// that advertises no prefix, say) has no source for a bypassed connection, so its ::/0 carries
// none. A global on-link prefix shows an address to send from.
bool HasGlobalPrefix(const std::vector<platform::Forward6Row>& rows, uint32_t ifIndex) {
    for (const platform::Forward6Row& row : rows) {
        if (OnLinkRow(row, ifIndex) && !IsIpv6LinkLocal(row.dest) && !IsIpv6Multicast(row.dest)) {
            return true;
        }
    }
    return false;
}

// The ::/0 row off the tunnel's interface with the lowest metric, its own plus its
// interface's, as Windows ranks them; an interface without IPv6 or without a global prefix is
// passed over, and a tie keeps the first row.
void FindBestDefaultRoute6(const std::vector<platform::Forward6Row>& rows, uint32_t tunnelIfIndex,
                           Resolution6& found) {
    uint64_t bestMetric = UINT64_MAX;
    for (const platform::Forward6Row& row : rows) {
        if (row.prefixLength != 0 || (tunnelIfIndex != 0 && row.ifIndex == tunnelIfIndex) ||
            !HasGlobalPrefix(rows, row.ifIndex)) {
            continue;
        }
        uint32_t interfaceMetric = 0;
        const uint32_t error = platform::ReadIpv6InterfaceMetric(row.ifIndex, interfaceMetric);
        if (error != 0) {
            found.metricError = error == platform::kErrorRouteNotFound ? found.metricError : error;
            continue;
        }
        const uint64_t metric = uint64_t{row.metric} + interfaceMetric;
        if (metric < bestMetric) {
            found.route.ifIndex = row.ifIndex;
            found.route.luid = row.luid;
            found.route.nextHop = row.nextHop;
            bestMetric = metric;
        }
    }
}

std::vector<Ipv6Prefix> OnLinkPrefixes6(const std::vector<platform::Forward6Row>& rows,
                                        uint32_t ifIndex) {
    std::vector<Ipv6Prefix> prefixes;
    for (const platform::Forward6Row& row : rows) {
        if (OnLinkRow(row, ifIndex)) {
            prefixes.push_back({row.dest, row.prefixLength});
        }
    }
    return prefixes;
}

Resolution6 Resolve6(uint32_t tunnelIfIndex) {
    Resolution6 found;
    std::vector<platform::Forward6Row> rows;
    found.read = platform::ReadIpv6ForwardTable(rows);
    if (found.read == platform::RouteTableRead::Ok) {
        FindBestDefaultRoute6(rows, tunnelIfIndex, found);
        if (found.route.known()) {
            found.route.onLink = OnLinkPrefixes6(rows, found.route.ifIndex);
        }
    }
    return found;
}

// IPv4 splitting goes on without an IPv6 route; the log says what stays in the tunnel.
void LogResolution6(const Resolution6& found) {
    if (found.read != platform::RouteTableRead::Ok) {
        HelperLog(
            L"IPv6 routing table not read; IPv6 connections of listed applications stay "
            L"in the tunnel");
    } else if (found.route.known()) {
        HelperLog(L"physical IPv6 default route: ifIndex=" + std::to_wstring(found.route.ifIndex));
    } else {
        HelperLog(
            L"no physical IPv6 default route; IPv6 connections of listed applications stay "
            L"in the tunnel");
    }
}

}  // namespace

platform::RouteTableRead ReadRouteTable(std::vector<platform::ForwardRow>& rows) {
    return ReadGrowingTable([&rows] { return platform::ReadIpv4ForwardTable(rows); });
}

void RecordPhysicalDefaultRoute() {
    const uint32_t tunnelIfIndex = TunnelInterface();
    const Resolution found = Resolve(tunnelIfIndex);
    const Resolution6 found6 = Resolve6(tunnelIfIndex);
    {
        std::lock_guard<std::mutex> lock(StateMutex);
        PhysicalRoute = found.route;
        PhysicalRoute6 = found6.route;
    }
    if (found.read != platform::RouteTableRead::ProbeFailed &&
        found.read != platform::RouteTableRead::NoMemory) {
        LogResolution(found);  // a probe that failed learned nothing and logs nothing
    }
    LogResolution6(found6);
    SaveSplitState();
}

void FollowPhysicalDefaultRoute() {
    // The first look at sniffer start runs on the caller's thread while route change callbacks
    // may already run on the system's: each look draws a ticket before it reads, and a look
    // whose ticket is older than one already applied learned less and changes nothing.
    // Each family keeps its own last applied ticket.
    static std::mutex applyMutex;
    static std::atomic<uint64_t> lastTicket{0};
    static uint64_t lastApplied = 0, lastApplied6 = 0;
    const uint64_t ticket = ++lastTicket;
    const uint32_t tunnelIfIndex = TunnelInterface();
    const Resolution found = Resolve(tunnelIfIndex);
    const Resolution6 found6 = Resolve6(tunnelIfIndex);
    std::lock_guard<std::mutex> lock(applyMutex);
    // A table or metric that cannot be read now says nothing about where the network went.
    if (found.read == platform::RouteTableRead::Ok && found.metricError == 0 &&
        ticket >= lastApplied) {
        lastApplied = ticket;
        if (MoveBypassRoutes(found.route)) {
            LogResolution(found);
        }
    }
    if (found6.read == platform::RouteTableRead::Ok && found6.metricError == 0 &&
        ticket >= lastApplied6) {
        lastApplied6 = ticket;
        if (MoveBypassRoutes(found6.route)) {
            LogResolution6(found6);
        }
    }
}
