#pragma once

// The two address families as the route manager and the physical route take them: one path
// over both, with what differs carried here. The physical IPv4 route is read from the legacy
// table, whose metric is the route's own plus the interface's; bypass rows of both families and
// the IPv6 table go through the *2 rows, which carry the route's own metric only, Windows adding
// the interface's.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "split/address_text.h"
#include "split/route_types.h"
#include "split/split_state.h"
#include "split/tunnel_destinations.h"

// The own metric of every bypass row, which Windows counts the interface's on top of: no other
// program's routes carry it, so it tells the helper's rows from everyone else's, also after a
// crash that lost the state file. /32 and /128 rows win by their length, whatever their metric.
constexpr uint32_t kBypassRouteMark = 4783;

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

    // Bypass rows go through the row-2 calls, as IPv6's do: Windows keeps their own metric as
    // given, so the mark stays whatever the interface's metric does later.
    static platform::Forward4Row BypassRow(Address address, const Route& route) {
        platform::Forward4Row row;
        row.dest = address;
        row.prefixLength = 32;
        row.nextHop = route.nextHop;
        row.ifIndex = route.ifIndex;
        row.metric = kBypassRouteMark;
        return row;
    }
    static uint32_t Create(Address address, const Route& route) {
        return platform::CreateForward4Entry(BypassRow(address, route));
    }
    static uint32_t Delete(Address address, const Route& route) {
        return platform::DeleteForward4Entry(BypassRow(address, route));
    }
    // The table as the row-2 call shows it, each row with its own metric.
    using OwnRow = platform::Forward4Row;
    static platform::RouteTableRead ReadOwnRows(std::vector<OwnRow>& rows) {
        return platform::ReadIpv4ForwardTable2(rows);
    }
    static bool SameInterface(const OwnRow& row, const Route& route) {
        return row.ifIndex == route.ifIndex;
    }
    static Route RouteOf(const OwnRow& row) {
        Route route;
        route.ifIndex = row.ifIndex;
        route.nextHop = row.nextHop;
        return route;
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
    // A bypass row on a point-to-point link has no next hop either, but is no prefix.
    static bool OnLinkRow(const Row& row, uint32_t ifIndex) {
        return row.ifIndex == ifIndex && row.prefixLength != 0 && row.nextHop == Address{} &&
               row.metric != kBypassRouteMark;
    }
    static Prefix PrefixOf(const Row& row) { return {row.dest, row.prefixLength}; }

    static Row BypassRow(const Address& address, const Route& route) {
        Row row;
        row.dest = address;
        row.prefixLength = 128;
        row.nextHop = route.nextHop;
        row.luid = route.luid;
        row.ifIndex = route.ifIndex;
        row.metric = kBypassRouteMark;
        return row;
    }
    static uint32_t Create(const Address& address, const Route& route) {
        return platform::CreateForward6Entry(BypassRow(address, route));
    }
    static uint32_t Delete(const Address& address, const Route& route) {
        return platform::DeleteForward6Entry(BypassRow(address, route));
    }
    using OwnRow = platform::Forward6Row;
    static platform::RouteTableRead ReadOwnRows(std::vector<OwnRow>& rows) {
        return platform::ReadIpv6ForwardTable(rows);
    }
    static bool SameInterface(const OwnRow& row, const Route& route) {
        return row.ifIndex == route.ifIndex && row.luid == route.luid;
    }
    static Route RouteOf(const OwnRow& row) {
        Route route;
        route.ifIndex = row.ifIndex;
        route.luid = row.luid;
        route.nextHop = row.nextHop;
        return route;
    }
};

// Whether the row is one of the helper's bypass rows: a host route with the mark.
template <typename Family>
bool MarkedRow(const typename Family::OwnRow& row) {
    return row.prefixLength == 8 * sizeof(typename Family::Address) &&
           row.metric == kBypassRouteMark;
}
// Whether a marked row goes through `route`.
template <typename Family>
bool MarkedRowThrough(const typename Family::OwnRow& row, const typename Family::Route& route) {
    return MarkedRow<Family>(row) && row.nextHop == route.nextHop &&
           Family::SameInterface(row, route);
}

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
