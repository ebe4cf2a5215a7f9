// The IPv4 routing table of the fake world: live, as Windows' is (creations add, deletions
// remove), with scripted refusals and reads.
#include <arpa/inet.h>

#include <algorithm>
#include <mutex>
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

std::array<uint32_t, 4> KeyOf(const ForwardRow& row) {
    return {row.dest, row.mask, row.nextHop, row.ifIndex};
}

uint32_t InterfaceMetric4(uint32_t ifIndex) {
    const auto& metrics = fake::TheWorld().interfaceMetrics;
    const auto found = metrics.find(ifIndex);
    return found == metrics.end() ? 25 : found->second;
}

// What Windows keeps of a legacy row's metric: dwForwardMetric1 less the interface's.
uint32_t OwnMetric(const ForwardRow& row) {
    const uint32_t interfaceMetric = InterfaceMetric4(row.ifIndex);
    return row.metric1 > interfaceMetric ? row.metric1 - interfaceMetric : 0;
}

uint32_t AddRoute(const ForwardRow& row, uint32_t ownMetric) {
    fake::World& w = fake::TheWorld();
    if (FindRoute(w.routeTable, row) != w.routeTable.end()) {
        return kErrorRouteExists;
    }
    w.routeTable.push_back(row);
    w.ownMetrics4[KeyOf(row)] = ownMetric;
    return 0;
}

uint32_t RemoveRoute(const ForwardRow& row) {
    fake::World& w = fake::TheWorld();
    const auto found = FindRoute(w.routeTable, row);
    if (found == w.routeTable.end()) {
        return kErrorRouteNotFound;
    }
    w.ownMetrics4.erase(KeyOf(*found));
    w.routeTable.erase(found);
    return 0;
}

}  // namespace

uint32_t CreateForwardEntry(const ForwardRow& row) {
    fake::World& w = fake::TheWorld();
    w.createdRoutes.push_back(row);
    if (uint32_t result = 0; fake::TakeScripted(w.createResults, result)) {
        return result;
    }
    return AddRoute(row, OwnMetric(row));
}

uint32_t DeleteForwardEntry(const ForwardRow& row) {
    fake::World& w = fake::TheWorld();
    w.deletedRoutes.push_back(row);
    if (uint32_t result = 0; fake::TakeScripted(w.deleteResults, result)) {
        return result;
    }
    return RemoveRoute(row);
}

namespace {

// A LUID of the fake world carries its interface's index where NetLuidIndex sits.
uint64_t LuidOf(uint32_t ifIndex) {
    return uint64_t{ifIndex} << 24;
}

uint32_t NamedInterface(uint64_t luid, uint32_t ifIndex) {
    return luid != 0 ? static_cast<uint32_t>(luid >> 24) : ifIndex;
}

uint32_t MaskOf(uint8_t prefixLength) {
    return HostToNetwork32(prefixLength == 0 ? 0 : ~uint32_t{0} << (32 - prefixLength));
}

// The row as the legacy calls see it: its metric the own one plus the interface's.
ForwardRow LegacyOf(const Forward4Row& row) {
    ForwardRow legacy;
    legacy.dest = row.dest;
    legacy.mask = MaskOf(row.prefixLength);
    legacy.nextHop = row.nextHop;
    legacy.ifIndex = NamedInterface(row.luid, row.ifIndex);
    legacy.type = row.nextHop == 0 ? kRouteTypeDirect : kRouteTypeIndirect;
    legacy.proto = kRouteProtocolNetMgmt;
    legacy.metric1 = row.metric + InterfaceMetric4(legacy.ifIndex);
    return legacy;
}

// What CreateIpForwardEntry2 refuses of an IPv4 row before it looks at the table: no interface
// named, a prefix longer than 32 bits or with bits behind it. Every interface has IPv4 here.
uint32_t Refusal4(const Forward4Row& row) {
    const bool prefixFits = row.prefixLength <= 32 && (row.dest & ~MaskOf(row.prefixLength)) == 0;
    return (row.luid == 0 && row.ifIndex == 0) || !prefixFits ? 87 : 0;
}

}  // namespace

RouteTableRead ReadIpv4ForwardTable2(std::vector<Forward4Row>& rows) {
    rows.clear();
    std::vector<ForwardRow> legacy;
    const RouteTableRead result = ReadIpv4ForwardTable(legacy);
    const auto& ownMetrics = fake::TheWorld().ownMetrics4;
    for (const ForwardRow& present : legacy) {
        Forward4Row row;
        row.dest = present.dest;
        row.prefixLength = static_cast<uint8_t>(__builtin_popcount(present.mask));
        row.nextHop = present.nextHop;
        row.luid = LuidOf(present.ifIndex);
        row.ifIndex = present.ifIndex;
        const auto own = ownMetrics.find(KeyOf(present));
        row.metric = own != ownMetrics.end() ? own->second : OwnMetric(present);
        rows.push_back(row);
    }
    return result;
}

uint32_t CreateForward4Entry(const Forward4Row& row) {
    fake::World& w = fake::TheWorld();
    if (w.beforeRouteCreate) {
        w.beforeRouteCreate();
    }
    w.createdRoutes4.push_back(row);
    if (uint32_t result = 0; fake::TakeScripted(w.createResults, result)) {
        return result;
    }
    if (const uint32_t refusal = Refusal4(row); refusal != 0) {
        return refusal;
    }
    return AddRoute(LegacyOf(row), row.metric);
}

uint32_t DeleteForward4Entry(const Forward4Row& row) {
    fake::World& w = fake::TheWorld();
    w.deletedRoutes4.push_back(row);
    if (uint32_t result = 0; fake::TakeScripted(w.deleteResults, result)) {
        return result;
    }
    if (const uint32_t refusal = Refusal4(row); refusal != 0) {
        return refusal;  // it names no row Windows could hold
    }
    return RemoveRoute(LegacyOf(row));
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
    metric = InterfaceMetric4(ifIndex);
    return 0;
}

namespace {

// Windows names the interface by the LUID when one is given, as the helper always gives it.
bool SameRoute6(const Forward6Row& a, const Forward6Row& b) {
    return a.dest == b.dest && a.prefixLength == b.prefixLength && a.nextHop == b.nextHop &&
           a.luid == b.luid;
}

// What CreateIpForwardEntry2 refuses before it looks at the table: no interface named, a
// prefix longer than the family's or with bits behind it, an interface without IPv6.
uint32_t Refusal6(const Forward6Row& row) {
    bool hostBits = false;
    for (size_t bit = row.prefixLength; bit < 128; ++bit) {
        hostBits |= ((row.dest[bit / 8] >> (7 - bit % 8)) & 1) != 0;
    }
    if ((row.luid == 0 && row.ifIndex == 0) || row.prefixLength > 128 || hostBits) {
        return 87;  // ERROR_INVALID_PARAMETER
    }
    // A LUID of the fake world carries its interface's index where NetLuidIndex sits.
    const uint32_t named = row.luid != 0 ? static_cast<uint32_t>(row.luid >> 24) : row.ifIndex;
    return fake::TheWorld().interfaceMetrics6.count(named) > 0 ? 0 : kErrorRouteNotFound;
}

}  // namespace

RouteTableRead ReadIpv6ForwardTable(std::vector<Forward6Row>& rows) {
    fake::World& w = fake::TheWorld();
    rows.clear();
    if (RouteTableRead result{}; fake::TakeScripted(w.route6Reads, result)) {
        return result;
    }
    rows = w.routeTable6;
    if (const std::function<void()> racer = std::exchange(w.afterNextRouteTable6Read, nullptr)) {
        racer();
    }
    return RouteTableRead::Ok;
}

uint32_t CreateForward6Entry(const Forward6Row& row) {
    fake::World& w = fake::TheWorld();
    w.createdRoutes6.push_back(row);
    if (uint32_t refusal = Refusal6(row); refusal != 0) {
        return refusal;
    }
    for (const Forward6Row& present : w.routeTable6) {
        if (SameRoute6(present, row)) {
            return kErrorRouteExists;
        }
    }
    w.routeTable6.push_back(row);
    return 0;
}

uint32_t DeleteForward6Entry(const Forward6Row& row) {
    fake::World& w = fake::TheWorld();
    w.deletedRoutes6.push_back(row);
    for (auto it = w.routeTable6.begin(); it != w.routeTable6.end(); ++it) {
        if (SameRoute6(*it, row)) {
            w.routeTable6.erase(it);
            return 0;
        }
    }
    return kErrorRouteNotFound;
}

uint32_t ReadIpv6InterfaceMetric(uint32_t ifIndex, uint32_t& metric) {
    if (fake::TheWorld().metricReadError != 0) {
        return fake::TheWorld().metricReadError;
    }
    const auto& metrics = fake::TheWorld().interfaceMetrics6;
    const auto found = metrics.find(ifIndex);
    if (found == metrics.end()) {
        return kErrorRouteNotFound;
    }
    metric = found->second;
    return 0;
}

RouteTableRead ReadUnicastAddresses(std::vector<UnicastAddress>& rows) {
    fake::World& w = fake::TheWorld();
    rows.clear();
    if (RouteTableRead result{}; fake::TakeScripted(w.addressReads, result)) {
        return result;
    }
    rows = w.unicastAddresses;
    return RouteTableRead::Ok;
}

struct AddressWatch {};

uint32_t WatchUnicastAddresses(void (*changed)(uint32_t ifIndex), AddressWatch*& watch) {
    fake::TheWorld().addressWatch = changed;
    watch = new AddressWatch();
    return 0;
}

void StopWatchingAddresses(AddressWatch* watch) {
    if (watch != nullptr) {
        fake::TheWorld().addressWatch = nullptr;
        delete watch;
    }
}

// Windows serves the table to any thread at any time: the sniffer's start and a list change may
// read it at once.
RouteTableRead ReadTcpConnections(bool ipv6, std::vector<TcpConnection>& rows) {
    static std::mutex readers;
    std::lock_guard<std::mutex> lock(readers);
    fake::World& w = fake::TheWorld();
    ++w.tcpTableReads;
    rows.clear();
    if (RouteTableRead result{}; fake::TakeScripted(w.tcpReads, result)) {
        return result;
    }
    for (const TcpConnection& row : w.tcpConnections) {
        if (row.ipv6 == ipv6) {
            rows.push_back(row);
        }
    }
    return RouteTableRead::Ok;
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

namespace fake {

namespace {

// An address is known by its family, its bytes and its interface; the rest are its parameters.
bool SameAddress(const platform::UnicastAddress& a, const platform::UnicastAddress& b) {
    return a.ipv6 == b.ipv6 && a.address4 == b.address4 && a.address6 == b.address6 &&
           a.ifIndex == b.ifIndex;
}

bool SameParameters(const platform::UnicastAddress& a, const platform::UnicastAddress& b) {
    return a.prefixLength == b.prefixLength && a.dadState == b.dadState;
}

// Reports each address of `from` that `in` does not hold as it is.
void ReportChanged(const std::vector<platform::UnicastAddress>& from,
                   const std::vector<platform::UnicastAddress>& in, bool parameters) {
    for (const platform::UnicastAddress& address : from) {
        const bool kept = std::any_of(in.begin(), in.end(), [&](const auto& other) {
            return SameAddress(address, other) && (!parameters || SameParameters(address, other));
        });
        if (!kept && TheWorld().addressWatch != nullptr) {
            TheWorld().addressWatch(address.ifIndex);
        }
    }
}

}  // namespace

void SetUnicastAddresses(const std::vector<platform::UnicastAddress>& now) {
    const std::vector<platform::UnicastAddress> before =
        std::exchange(TheWorld().unicastAddresses, now);
    ReportChanged(before, now, false);  // deleted
    ReportChanged(now, before, true);   // added, or changed
}

}  // namespace fake
