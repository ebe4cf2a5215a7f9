#pragma once

// The two address families as the route manager and the physical route take them: one path
// over both, with what differs carried here. IPv4 goes through the legacy table and rows, whose
// metric is the route's own plus the interface's; IPv6 through the *2 rows, which carry the
// route's own metric only, Windows adding the interface's.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "split/address_text.h"
#include "split/route_types.h"
#include "split/split_state.h"
#include "split/tunnel_destinations.h"

// A bypass row's own metric; Windows counts the interface's on top of it.
constexpr uint32_t kBypassOwnMetric = 1;

// Calls `read` (one size probe and one read) again, up to three times, while the table grows
// between the two.
template <typename Read>
platform::RouteTableRead ReadGrowingTable(Read read) {
    constexpr int kRetriesAfterGrowth = 3;
    platform::RouteTableRead result = read();
    for (int retry = 0; result == platform::RouteTableRead::Grew && retry < kRetriesAfterGrowth;
         ++retry) {
        result = read();
    }
    return result;
}

struct Ipv4Family {
    using Address = uint32_t;
    using Route = PhysicalRouteRecord;
    using Prefix = Ipv4Prefix;
    using Row = platform::ForwardRow;
    static constexpr const wchar_t* kName = L"IPv4";

    static Ipv4State& Part(SplitParts& parts) { return parts.ipv4; }
    static const Ipv4State& Part(const SplitParts& parts) { return parts.ipv4; }
    static std::wstring Text(Address address) { return DottedAddress(address); }
    static bool InTunnel(const TunnelDestinations& kept, Address address) {
        return kept.Holds(MappedAddress(address), true);
    }
    // This host (0/8, loopback), multicast, the limited broadcast, link-local: never through a
    // gateway, on any network.
    static bool Unroutable(Address address) {
        const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&address);
        return bytes[0] == 0 || bytes[0] == 127 || (bytes[0] & 0xF0) == 0xE0 ||
               address == 0xFFFFFFFFu || (bytes[0] == 169 && bytes[1] == 254);
    }
    static bool InPrefix(Address address, const Prefix& prefix) {
        return (address & prefix.mask) == prefix.dest;
    }

    // The table, read again while it grows between the size probe and the read.
    static platform::RouteTableRead ReadTable(std::vector<Row>& rows) {
        return ReadGrowingTable([&rows] { return platform::ReadIpv4ForwardTable(rows); });
    }
    // A row of the interface's own subnets, and the subnet.
    static bool OnLinkRow(const Row& row, uint32_t ifIndex) {
        return row.ifIndex == ifIndex && row.mask != 0 &&
               (row.type == platform::kRouteTypeDirect || row.nextHop == 0);
    }
    static Prefix PrefixOf(const Row& row) { return {row.dest, row.mask}; }
    // Whether the row is a host route through the route's gateway, and to where.
    static bool HostRowThrough(const Row& row, const Route& route) {
        return row.mask == 0xFFFFFFFFu && row.nextHop == route.nextHop &&
               row.ifIndex == route.ifIndex;
    }
    static Address Destination(const Row& row) { return row.dest; }

    static Row BypassRow(Address address, const Route& route) {
        Row row;
        row.dest = address;
        row.mask = 0xFFFFFFFFu;
        row.nextHop = route.nextHop;
        row.ifIndex = route.ifIndex;
        row.type = platform::kRouteTypeIndirect;
        row.proto = platform::kRouteProtocolNetMgmt;
        row.metric1 = route.interfaceMetric + kBypassOwnMetric;  // legacy rows count both
        return row;
    }
    // An automatic interface metric follows the link speed, so a refusal for a metric below
    // the interface's is met by reading the metric again and trying once more.
    static uint32_t Create(Address address, Route& route) {
        uint32_t result = platform::CreateForwardEntry(BypassRow(address, route));
        uint32_t metric = 0;
        if (result == platform::kErrorMetricBelowInterface &&
            platform::ReadInterfaceMetric(route.ifIndex, metric) == 0 &&
            metric != route.interfaceMetric) {
            route.interfaceMetric = metric;
            result = platform::CreateForwardEntry(BypassRow(address, route));
        }
        return result;
    }
    static uint32_t Delete(Address address, const Route& route) {
        return platform::DeleteForwardEntry(BypassRow(address, route));
    }
};

struct Ipv6Family {
    using Address = Ipv6Bytes;
    using Route = PhysicalRoute6Record;
    using Prefix = Ipv6Prefix;
    using Row = platform::Forward6Row;
    static constexpr const wchar_t* kName = L"IPv6";

    static Ipv6State& Part(SplitParts& parts) { return parts.ipv6; }
    static const Ipv6State& Part(const SplitParts& parts) { return parts.ipv6; }
    static std::wstring Text(const Address& address) { return Ipv6Text(address); }
    static bool InTunnel(const TunnelDestinations& kept, const Address& address) {
        return kept.Holds(address, false);
    }
    // Unspecified, loopback, link-local, multicast.
    static bool Unroutable(const Address& address) {
        const Address loopback{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
        return address == Address{} || address == loopback || IsIpv6Multicast(address) ||
               IsIpv6LinkLocal(address);
    }
    static bool InPrefix(const Address& address, const Prefix& prefix) {
        return ::InPrefix(address, prefix);
    }

    static platform::RouteTableRead ReadTable(std::vector<Row>& rows) {
        return platform::ReadIpv6ForwardTable(rows);
    }
    static bool OnLinkRow(const Row& row, uint32_t ifIndex) {
        return row.ifIndex == ifIndex && row.prefixLength != 0 && row.nextHop == Address{};
    }
    static Prefix PrefixOf(const Row& row) { return {row.dest, row.prefixLength}; }
    static bool HostRowThrough(const Row& row, const Route& route) {
        return row.prefixLength == 128 && row.nextHop == route.nextHop &&
               row.ifIndex == route.ifIndex && row.luid == route.luid;
    }
    static Address Destination(const Row& row) { return row.dest; }

    static Row BypassRow(const Address& address, const Route& route) {
        Row row;
        row.dest = address;
        row.prefixLength = 128;
        row.nextHop = route.nextHop;
        row.luid = route.luid;
        row.ifIndex = route.ifIndex;
        row.metric = kBypassOwnMetric;
        return row;
    }
    static uint32_t Create(const Address& address, Route& route) {
        return platform::CreateForward6Entry(BypassRow(address, route));
    }
    static uint32_t Delete(const Address& address, const Route& route) {
        return platform::DeleteForward6Entry(BypassRow(address, route));
    }
};

// Destinations that never leave through the gateway: the unroutable ones, whatever the physical
// interface reaches directly, and the tunnel's own. A host route through the gateway would send
// every application's traffic to them astray.
template <typename Family>
bool NeedsNoBypass(const typename Family::Address& address, const typename Family::Route& route,
                   const TunnelDestinations& kept) {
    if (Family::Unroutable(address)) {
        return true;
    }
    for (const typename Family::Prefix& prefix : route.onLink) {
        if (Family::InPrefix(address, prefix)) {
            return true;
        }
    }
    return Family::InTunnel(kept, address);
}

// The addresses that still have the helper's row through `route` in the table. Windows keeps
// no such route across a reboot, so a saved one counts only when it is found there.
template <typename Family>
std::set<typename Family::Address> BypassRoutesInTable(
    const std::set<typename Family::Address>& addresses, const typename Family::Route& route,
    const std::vector<typename Family::Row>& rows) {
    std::set<typename Family::Address> present;
    for (const typename Family::Row& row : rows) {
        if (Family::HostRowThrough(row, route) && addresses.count(Family::Destination(row)) > 0) {
            present.insert(Family::Destination(row));
        }
    }
    return present;
}
