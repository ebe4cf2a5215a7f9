// The IPv4 routing table of the fake world: live, as Windows' is (creations add, deletions
// remove), with scripted refusals and reads.
#include <arpa/inet.h>

#include <algorithm>
#include <utility>

#include "fake_world.h"

namespace platform {

RouteTableRead ReadIpv4ForwardTable(std::vector<ForwardRow>& rows) {
    fake::World& w = fake::TheWorld();
    ++w.routeTableReads;
    rows.clear();
    if (RouteTableRead result{}; fake::TakeScripted(w.routeReads, result)) {
        return result;
    }
    rows = w.routeTable;
    if (const std::function<void()> racer = std::exchange(w.afterNextRouteTableRead, nullptr)) {
        racer();
    }
    return RouteTableRead::Ok;
}

namespace {

// Windows tells routes apart by destination, mask, next hop and interface.
std::vector<ForwardRow>::iterator FindRoute(std::vector<ForwardRow>& table, const ForwardRow& row) {
    return std::find_if(table.begin(), table.end(), [&row](const ForwardRow& present) {
        return present.dest == row.dest && present.mask == row.mask &&
               present.nextHop == row.nextHop && present.ifIndex == row.ifIndex;
    });
}

}  // namespace

uint32_t CreateForwardEntry(const ForwardRow& row) {
    fake::World& w = fake::TheWorld();
    w.createdRoutes.push_back(row);
    if (uint32_t result = 0; fake::TakeScripted(w.createResults, result)) {
        return result;
    }
    if (FindRoute(w.routeTable, row) != w.routeTable.end()) {
        return kErrorRouteExists;
    }
    w.routeTable.push_back(row);
    return 0;
}

uint32_t DeleteForwardEntry(const ForwardRow& row) {
    fake::World& w = fake::TheWorld();
    w.deletedRoutes.push_back(row);
    if (uint32_t result = 0; fake::TakeScripted(w.deleteResults, result)) {
        return result;
    }
    const auto found = FindRoute(w.routeTable, row);
    if (found == w.routeTable.end()) {
        return kErrorRouteNotFound;
    }
    w.routeTable.erase(found);
    return 0;
}

uint32_t InterfaceIndexFromAlias(const std::wstring& alias, uint32_t& ifIndex) {
    const auto& aliases = fake::TheWorld().interfaceAliases;
    const auto found = aliases.find(alias);
    if (found == aliases.end()) {
        return 87;  // ERROR_INVALID_PARAMETER
    }
    ifIndex = found->second;
    return 0;
}

struct RouteWatch {};

uint32_t WatchDefaultRoutes(void (*changed)(), RouteWatch*& watch) {
    fake::TheWorld().routeWatch = changed;
    watch = new RouteWatch();
    return 0;
}

void StopWatchingRoutes(RouteWatch* watch) {
    if (watch != nullptr) {
        fake::TheWorld().routeWatch = nullptr;
        delete watch;
    }
}

uint32_t ReadInterfaceMetric(uint32_t ifIndex, uint32_t& metric) {
    const fake::World& w = fake::TheWorld();
    if (w.metricReadError != 0) {
        return w.metricReadError;
    }
    const auto found = w.interfaceMetrics.find(ifIndex);
    metric = found == w.interfaceMetrics.end() ? 25 : found->second;
    return 0;
}

bool ParseIpv4(const char* text, uint32_t& networkOrder) {
    in_addr address{};
    if (inet_pton(AF_INET, text, &address) != 1) {
        return false;
    }
    networkOrder = address.s_addr;
    return true;
}

uint32_t HostToNetwork32(uint32_t hostOrder) {
    return htonl(hostOrder);
}

}  // namespace platform
