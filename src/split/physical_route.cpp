#include "split/physical_route.h"

#include <cstdint>
#include <mutex>
#include <set>

#include "common/names.h"
#include "log/helper_log.h"
#include "split/route_family.h"
#include "split/route_manager.h"
#include "split/split_state.h"

namespace {

// What one look at a family's routing table found.
template <typename Family>
struct Resolution {
    platform::RouteTableRead read = platform::RouteTableRead::ReadFailed;
    typename Family::Route route;  // unknown unless everything needed was read
    uint32_t foundIfIndex = 0;  // the chosen row's interface, also when its metric was unreadable
    uint32_t metricError = 0;   // a metric read failed (IPv6: not for want of IPv6)
};

// The tunnel's adapter carries the tunnel's name; its default route is the tunnel's, never the
// physical one. 0 when no such adapter exists.
uint32_t TunnelInterface() {
    uint32_t ifIndex = 0;
    return platform::InterfaceIndexFromAlias(TunnelName, ifIndex) == 0 ? ifIndex : 0;
}

// 0.0.0.0/0 and ::/0.
bool DefaultRow(const platform::ForwardRow& row) {
    return row.dest == 0 && row.mask == 0;
}

bool DefaultRow(const platform::Forward6Row& row) {
    return row.prefixLength == 0;
}

// The first row with the strictly lowest metric among the 0.0.0.0/0 rows off the tunnel's
// interface; a metric of 0xFFFFFFFF never wins. A route whose interface metric cannot be read
// is no route to bypass through: the interface is going or not what it seems.
void FindBestDefaultRoute(const std::vector<platform::ForwardRow>& rows, uint32_t tunnelIfIndex,
                          Resolution<Ipv4Family>& found) {
    PhysicalRouteRecord best;
    uint32_t bestMetric = 0xFFFFFFFFu;
    for (const platform::ForwardRow& row : rows) {
        if (DefaultRow(row) && row.metric1 < bestMetric &&
            (tunnelIfIndex == 0 || row.ifIndex != tunnelIfIndex)) {
            best.ifIndex = row.ifIndex;
            best.nextHop = row.nextHop;
            bestMetric = row.metric1;
        }
    }
    found.foundIfIndex = best.ifIndex;
    if (best.ifIndex == 0) {
        return;
    }
    found.metricError = platform::ReadInterfaceMetric(best.ifIndex, best.interfaceMetric);
    if (found.metricError == 0) {
        found.route = best;
    }
}

// Windows sends by the strong host model: an interface without a usable global IPv6 address
// has no source for a bypassed connection, so its ::/0 carries none. That is one with link-local
// addresses only (a router that advertises no prefix, say), or whose address is still in
// duplicate address detection or found a duplicate; a deprecated address still serves when no
// preferred one does.
std::set<uint32_t> InterfacesWithGlobalAddress(
    const std::vector<platform::UnicastAddress>& addresses) {
    std::set<uint32_t> interfaces;
    for (const platform::UnicastAddress& address : addresses) {
        if (address.ipv6 && !Ipv6Family::Unroutable(address.address6) &&
            (address.dadState == platform::kDadStatePreferred ||
             address.dadState == platform::kDadStateDeprecated)) {
            interfaces.insert(address.ifIndex);
        }
    }
    return interfaces;
}

// The ::/0 row off the tunnel's interface with the lowest metric, its own plus its
// interface's, as Windows ranks them; an interface without IPv6 or without a global address is
// passed over, and a tie keeps the first row. Addresses that cannot be read fail the look.
void FindBestDefaultRoute(const std::vector<platform::Forward6Row>& rows, uint32_t tunnelIfIndex,
                          Resolution<Ipv6Family>& found) {
    std::vector<platform::UnicastAddress> addresses;
    found.read = platform::ReadUnicastAddresses(addresses);
    if (found.read != platform::RouteTableRead::Ok) {
        return;
    }
    const std::set<uint32_t> sendable = InterfacesWithGlobalAddress(addresses);
    uint64_t bestMetric = UINT64_MAX;
    for (const platform::Forward6Row& row : rows) {
        if (!DefaultRow(row) || (tunnelIfIndex != 0 && row.ifIndex == tunnelIfIndex) ||
            sendable.count(row.ifIndex) == 0) {
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
    found.foundIfIndex = found.route.ifIndex;
}

// Whether the interface may carry a default route of the family: a table that cannot be read
// does not rule it out, lest the change that brings the route go unseen.
template <typename Family>
bool CarriesDefaultRoute(uint32_t ifIndex) {
    std::vector<typename Family::Row> rows;
    if (Family::ReadTable(rows) != platform::RouteTableRead::Ok) {
        return true;
    }
    for (const typename Family::Row& row : rows) {
        if (DefaultRow(row) && row.ifIndex == ifIndex) {
            return true;
        }
    }
    return false;
}

template <typename Family>
std::vector<typename Family::Prefix> OnLinkPrefixes(const std::vector<typename Family::Row>& rows,
                                                    uint32_t ifIndex) {
    std::vector<typename Family::Prefix> prefixes;
    for (const typename Family::Row& row : rows) {
        if (Family::OnLinkRow(row, ifIndex)) {
            prefixes.push_back(Family::PrefixOf(row));
        }
    }
    return prefixes;
}

template <typename Family>
Resolution<Family> Resolve(uint32_t tunnelIfIndex) {
    Resolution<Family> found;
    std::vector<typename Family::Row> rows;
    found.read = Family::ReadTable(rows);
    if (found.read == platform::RouteTableRead::Ok) {
        FindBestDefaultRoute(rows, tunnelIfIndex, found);
        if (found.route.ifIndex != 0) {
            found.route.onLink = OnLinkPrefixes<Family>(rows, found.route.ifIndex);
        }
    }
    return found;
}

// A probe that failed learned nothing and logs nothing.
void AddLines(const Resolution<Ipv4Family>& found, LogLines& lines) {
    if (found.read == platform::RouteTableRead::ProbeFailed ||
        found.read == platform::RouteTableRead::NoMemory) {
        return;
    }
    lines.push_back(L"physical default route: ifIndex=" + std::to_wstring(found.foundIfIndex));
    if (found.metricError != 0) {
        lines.push_back(L"physical interface metric not read: ifIndex=" +
                        std::to_wstring(found.foundIfIndex) + L" err=" +
                        std::to_wstring(found.metricError));
    }
}

// IPv4 splitting goes on without an IPv6 route; the log says what stays in the tunnel.
void AddLines(const Resolution<Ipv6Family>& found, LogLines& lines) {
    if (found.read != platform::RouteTableRead::Ok) {
        lines.push_back(
            L"IPv6 routing table not read; IPv6 connections of listed applications stay "
            L"in the tunnel");
    } else if (found.route.known()) {
        lines.push_back(L"physical IPv6 default route: ifIndex=" +
                        std::to_wstring(found.route.ifIndex));
    } else {
        lines.push_back(
            L"no physical IPv6 default route; IPv6 connections of listed applications stay "
            L"in the tunnel");
    }
}

// A table or metric that cannot be read now says nothing about where the network went.
template <typename Family>
bool Follow(const Resolution<Family>& found, uint64_t ticket) {
    if (found.read != platform::RouteTableRead::Ok || found.metricError != 0 ||
        !MoveBypassRoutes(found.route, ticket)) {
        return false;
    }
    LogLines lines;
    AddLines(found, lines);
    for (const std::wstring& line : lines) {
        HelperLog(line);
    }
    return true;
}

}  // namespace

void RecordPhysicalDefaultRoute() {
    const uint32_t tunnelIfIndex = TunnelInterface();
    const Resolution<Ipv4Family> found = Resolve<Ipv4Family>(tunnelIfIndex);
    const Resolution<Ipv6Family> found6 = Resolve<Ipv6Family>(tunnelIfIndex);
    TheSplitState().Apply([&](SplitParts& parts, LogLines& lines) {
        parts.ipv4.physical = found.route;
        parts.ipv6.physical = found6.route;
        AddLines(found, lines);
        AddLines(found6, lines);
        return Saving::Now;
    });
}

bool FollowPhysicalDefaultRoute() {
    // The first look at sniffer start runs on the caller's thread while route change callbacks
    // may already run on the system's: each look draws a ticket before it reads, and each
    // family applies only a look not older than the last it applied. One look at a time moves
    // the routes, so that each look's lines come out together.
    static std::mutex oneLookAtATime;
    const uint64_t ticket = TheSplitState().DrawFollowTicket();
    const uint32_t tunnelIfIndex = TunnelInterface();
    const Resolution<Ipv4Family> found = Resolve<Ipv4Family>(tunnelIfIndex);
    const Resolution<Ipv6Family> found6 = Resolve<Ipv6Family>(tunnelIfIndex);
    std::lock_guard<std::mutex> lock(oneLookAtATime);
    const bool moved = Follow(found, ticket);
    return Follow(found6, ticket) || moved;
}

bool FollowAddressChange(uint32_t ifIndex) {
    return (CarriesDefaultRoute<Ipv6Family>(ifIndex) || CarriesDefaultRoute<Ipv4Family>(ifIndex)) &&
           FollowPhysicalDefaultRoute();
}
