// The physical default routes of both families, as read from the routing tables.
#include "split/route_family.h"
#include "split/physical_route.h"
#include "split/route_manager.h"
#include "split_fixture.h"

namespace {

class PhysicalDefaultRouteTest : public SplitFixture {};

struct RouteCase {
    const char* name;
    std::vector<platform::ForwardRow> table;
    PhysicalRouteRecord expected;
    uint32_t metricError = 0;
    std::string moreLog = "";
    uint32_t tunnelIfIndex = 0;  // the interface of the adapter named after the tunnel
    std::vector<platform::Forward6Row> table6 = {};
    uint32_t expected6 = 0;  // the physical IPv6 route's interface
    std::vector<platform::UnicastAddress> addresses = {};
};

class PhysicalRouteTest : public SplitFixture, public ::testing::WithParamInterface<RouteCase> {};

TEST_P(PhysicalRouteTest, LowestMetricDefaultRowWins) {
    Seed([&](SplitParts& s) { s.ipv4.physical = Route(99, 99, 99); });
    W().routeTable = GetParam().table;
    W().interfaceMetrics = {{2, 40}};
    W().interfaceMetrics6 = {{2, 40}, {3, 5}, {5, 1}, {9, 1}};  // 4 has no IPv6
    W().routeTable6 = GetParam().table6;
    W().unicastAddresses = GetParam().addresses;
    W().metricReadError = GetParam().metricError;
    if (GetParam().tunnelIfIndex != 0) {
        W().interfaceAliases = {{L"Orvanta", GetParam().tunnelIfIndex}};
    }
    RecordPhysicalDefaultRoute();
    EXPECT_EQ(State().route.ifIndex, GetParam().expected.ifIndex);
    EXPECT_EQ(State().route.nextHop, GetParam().expected.nextHop);
    EXPECT_EQ(State().route.interfaceMetric, GetParam().expected.interfaceMetric);
    const std::string found =
        GetParam().metricError != 0 ? "2" : std::to_string(GetParam().expected.ifIndex);
    EXPECT_EQ(State().route6.ifIndex, GetParam().expected6);
    const std::string line6 = GetParam().expected6 == 0
                                  ? kNoIpv6Line
                                  : "2026-06-27 09:05:03  physical IPv6 default route: ifIndex=" +
                                        std::to_string(GetParam().expected6) + "\r\n";
    EXPECT_EQ(Log(), "2026-06-27 09:05:03  physical default route: ifIndex=" + found + "\r\n" +
                         GetParam().moreLog + line6);
}

platform::Forward6Row LinkLocal6Row(uint32_t ifIndex) {
    platform::Forward6Row row = Global6Row(ifIndex);
    row.dest = {0xfe, 0x80};
    return row;
}

// Windows puts ff00::/8 on-link on every interface with IPv6: it is no address to send from.
platform::Forward6Row Multicast6Row(uint32_t ifIndex) {
    platform::Forward6Row row = Global6Row(ifIndex);
    row.dest = {0xff};
    row.prefixLength = 8;
    return row;
}

platform::UnicastAddress LinkLocal6Address(uint32_t ifIndex) {
    return {true, 0, LinkLocal6Row(ifIndex).dest, 64, 0, ifIndex, platform::kDadStatePreferred};
}

platform::ForwardRow HostRow() {
    platform::ForwardRow row = DefaultRow(3, 3, 1, 0xFFFFFFFF);
    row.dest = 5;
    return row;
}

INSTANTIATE_TEST_SUITE_P(
    Tables, PhysicalRouteTest,
    ::testing::Values(
        RouteCase{"LowerMetric", {DefaultRow(1, 11, 25), DefaultRow(2, 22, 10)}, Route(2, 22, 40)},
        RouteCase{
            "TieGoesToTheFirst", {DefaultRow(1, 11, 10), DefaultRow(2, 22, 10)}, Route(1, 11, 25)},
        RouteCase{
            "UnreadableInterfaceMetricMakesTheRouteUnknown",
            {DefaultRow(2, 22, 10)},
            Route(0, 0),
            1168,
            "2026-06-27 09:05:03  physical interface metric not read: ifIndex=2 err=1168\r\n"},
        RouteCase{"MaximumMetricNeverWins", {DefaultRow(1, 11, 0xFFFFFFFF)}, Route(0, 0)},
        RouteCase{"MaskNotZero", {DefaultRow(1, 11, 5, 0xFF)}, Route(0, 0)},
        RouteCase{"NotADefaultRow", {HostRow()}, Route(0, 0)},
        RouteCase{"OnLinkNextHopZero", {DefaultRow(8, 0, 5)}, Route(8, 0, 25)},
        RouteCase{"EmptyTable", {}, Route(0, 0)},
        RouteCase{"TunnelsOwnDefaultRouteIsSkipped",
                  {DefaultRow(9, 33, 1), DefaultRow(2, 22, 10)},
                  Route(2, 22, 40),
                  0,
                  "",
                  9},
        // The route's own metric counts with its interface's: 30 + 5 beats 10 + 40.
        RouteCase{"Ipv6RoutePlusInterfaceMetric",
                  {},
                  Route(0, 0),
                  0,
                  "",
                  0,
                  {Default6Row(2, 10), Default6Row(3, 30), Default6Row(4, 0)},
                  3,
                  {Global6Address(2), Global6Address(3), Global6Address(4)}},
        // Interface 3 has a link-local address only: none to send a bypass from; its /64 through
        // a gateway is no default route.
        RouteCase{"Ipv6TunnelsOwnAndLinkLocalOnlyInterfacesSkipped",
                  {},
                  Route(0, 0),
                  0,
                  "",
                  9,
                  {Default6Row(9, 0), Default6Row(5, 0, 64), Default6Row(3, 0), Default6Row(2, 50)},
                  2,
                  {Global6Address(9), LinkLocal6Address(3), Global6Address(2), Global6Address(5)}},
        // On-link prefixes (multicast, link-local) give no address.
        RouteCase{"Ipv6MulticastPrefixIsNoGlobalOne",
                  {},
                  Route(0, 0),
                  0,
                  "",
                  0,
                  {Default6Row(3, 0), LinkLocal6Row(3), Multicast6Row(3), Global6Row(3)},
                  0,
                  {LinkLocal6Address(3)}},
        // Still in duplicate address detection, or a duplicate: not usable (3, 0 + 5); deprecated
        // still is (5, 10 + 1, against 50 + 40).
        RouteCase{"Ipv6TentativeOrDuplicateAddressIsNoneADeprecatedOneIs",
                  {},
                  Route(0, 0),
                  0,
                  "",
                  0,
                  {Default6Row(3, 0), Default6Row(5, 10), Default6Row(2, 50)},
                  5,
                  {Global6Address(3, platform::kDadStateTentative), Global6Address(2),
                   Global6Address(3, platform::kDadStateDuplicate),
                   Global6Address(5, platform::kDadStateDeprecated)}},
        // 10 + 40 against 45 + 5.
        RouteCase{"Ipv6TieGoesToTheFirst",
                  {},
                  Route(0, 0),
                  0,
                  "",
                  0,
                  {Default6Row(2, 10), Default6Row(3, 45)},
                  2,
                  {Global6Address(2), Global6Address(3)}}),
    [](const auto& info) { return info.param.name; });

TEST_F(PhysicalDefaultRouteTest, OnLinkDefaultRouteIsRecordedButAddsNoBypassRoute) {
    W().routeTable = {DefaultRow(8, 0, 5)};
    RecordPhysicalDefaultRoute();
    AddBypassRoute(NetworkOrder(192, 0, 2, 10));
    EXPECT_TRUE(W().createdRoutes4.empty());
}

TEST_F(PhysicalDefaultRouteTest, LostDefaultRouteClearsTheRecord) {
    W().routeTable = {DefaultRow(2, 22, 10)};
    RecordPhysicalDefaultRoute();
    W().routeTable.clear();
    RecordPhysicalDefaultRoute();
    EXPECT_EQ(State().route.ifIndex, 0u);
    EXPECT_EQ(State().route.nextHop, 0u);
}

TEST_F(PhysicalDefaultRouteTest, FailedProbeClearsTheRecordAndLogsOnlyTheIpv6Look) {
    Seed([&](SplitParts& s) { s.ipv4.physical = Route(2, 22); });
    W().routeReads = {platform::RouteTableRead::ProbeFailed};
    RecordPhysicalDefaultRoute();
    EXPECT_EQ(State().route.ifIndex, 0u);
    EXPECT_EQ(Log(), kNoIpv6Line);
}

TEST_F(PhysicalDefaultRouteTest, FailedReadLogsInterfaceZero) {
    W().routeTable = {DefaultRow(2, 22, 10)};
    W().routeReads = {platform::RouteTableRead::ReadFailed};
    RecordPhysicalDefaultRoute();
    EXPECT_EQ(State().route.ifIndex, 0u);
    EXPECT_EQ(W().routeTableReads, 1);
    EXPECT_EQ(Log(), "2026-06-27 09:05:03  physical default route: ifIndex=0\r\n" + kNoIpv6Line);
}

TEST_F(PhysicalDefaultRouteTest, GrowingTableIsReadAgainUpToThreeTimes) {
    using platform::RouteTableRead;
    W().routeTable = {DefaultRow(2, 22, 10)};
    W().routeReads = {RouteTableRead::Grew, RouteTableRead::Grew};
    RecordPhysicalDefaultRoute();
    EXPECT_EQ(State().route.ifIndex, 2u);
    EXPECT_EQ(W().routeTableReads, 3);

    W().routeReads = {RouteTableRead::Grew, RouteTableRead::Grew, RouteTableRead::Grew,
                      RouteTableRead::Grew};
    W().routeTableReads = 0;
    RecordPhysicalDefaultRoute();
    EXPECT_EQ(State().route.ifIndex, 0u);
    EXPECT_EQ(W().routeTableReads, 4);
}

// What the physical interface reaches directly, as Windows fills the tables: the tunnel's
// catch-alls (next hop 0 on its adapter) are not, a direct row through the host's own address
// is, and a point-to-point ::/0 (next hop ::) is not.
TEST_F(PhysicalDefaultRouteTest, OnLinkPrefixesAreThePhysicalInterfacesOwnSubnets) {
    platform::ForwardRow lan =
        DefaultRow(7, NetworkOrder(192, 168, 1, 5), 35, NetworkOrder(255, 255, 255, 0));
    lan.dest = NetworkOrder(192, 168, 1, 0);
    lan.type = platform::kRouteTypeDirect;
    platform::ForwardRow half = DefaultRow(9, 0, 5, NetworkOrder(128, 0, 0, 0));
    W().routeTable = {DefaultRow(7, NetworkOrder(192, 168, 1, 1), 35), lan, half};
    W().routeTable.push_back(half);
    W().routeTable.back().dest = NetworkOrder(128, 0, 0, 0);
    platform::Forward6Row pointToPoint = Default6Row(7, 0), half6 = Default6Row(9, 0, 1);
    pointToPoint.nextHop = {};
    half6.nextHop = {};
    W().routeTable6 = {pointToPoint, Global6Row(7), half6};
    half6.dest = {0x80};
    W().routeTable6.push_back(half6);
    W().interfaceMetrics6 = {{7, 10}};
    W().unicastAddresses = {Global6Address(7), Global6Address(9)};
    W().interfaceAliases = {{L"Orvanta", 9}};
    RecordPhysicalDefaultRoute();
    AddBypassRoute(NetworkOrder(192, 168, 1, 20));
    EXPECT_TRUE(W().createdRoutes4.empty()) << "on the LAN";
    AddBypassRoute(NetworkOrder(203, 0, 113, 5));
    AddBypassRoute(NetworkOrder(8, 8, 8, 8));
    AddBypassRoute(V6("2606:4700::1111"));
    EXPECT_EQ(W().createdRoutes4.size(), 2u);
    ASSERT_EQ(W().createdRoutes6.size(), 1u);
    EXPECT_EQ(W().createdRoutes6[0].nextHop, Ipv6Bytes{});
}

// An interface without IPv6 has no IPv6 metric (1168): no failure to read one, so the look
// still moves the routes.
TEST_F(PhysicalDefaultRouteTest, InterfaceWithoutIpv6IsNoMetricFailure) {
    W().interfaceMetrics6 = {{7, 10}};
    W().routeTable6 = {Default6Row(4, 0), Default6Row(7, 5)};
    W().unicastAddresses = {Global6Address(4), Global6Address(7)};
    FollowPhysicalDefaultRoute();
    EXPECT_EQ(State().route6.ifIndex, 7u);
    W().unicastAddresses.clear();
    W().addressReads = {platform::RouteTableRead::ReadFailed};
    FollowPhysicalDefaultRoute();  // addresses that cannot be read say nothing
    EXPECT_EQ(State().route6.ifIndex, 7u);
}

// A callback that reads the IPv6 table after a look, and applies first, is not undone by that
// older look.
TEST_F(PhysicalDefaultRouteTest, OlderLookAtTheIpv6TableChangesNothing) {
    W().interfaceMetrics6 = {{7, 10}, {8, 10}};
    W().routeTable6 = {Default6Row(7, 0)};
    W().unicastAddresses = {Global6Address(7), Global6Address(8)};
    W().afterNextRouteTable6Read = [] {
        W().routeTable6 = {Default6Row(8, 0)};
        FollowPhysicalDefaultRoute();
    };
    FollowPhysicalDefaultRoute();
    EXPECT_EQ(State().route6.ifIndex, 8u);
}

// On a point-to-point link the helper's own /128 rows have no next hop either: they give the
// link no address to send from, and are no on-link prefix, where someone else's /128 is one.
TEST_F(PhysicalDefaultRouteTest, ThePointToPointLinksOwnRowsAreNoGlobalPrefix) {
    platform::Forward6Row link = Default6Row(9, 0);
    link.nextHop = {};
    platform::Forward6Row own = link, someones = link;
    own.prefixLength = someones.prefixLength = 128;
    own.dest = V6("2606:4700::1");
    own.metric = kBypassRouteMark;
    someones.dest = V6("2606:4700::2");
    W().routeTable6 = {link, own, someones};
    W().interfaceMetrics6 = {{9, 10}};
    RecordPhysicalDefaultRoute();
    EXPECT_EQ(State().route6.ifIndex, 0u);
    W().unicastAddresses = {Global6Address(9)};
    RecordPhysicalDefaultRoute();
    EXPECT_EQ(State().route6.ifIndex, 9u);
    ASSERT_EQ(State().route6.onLink.size(), 1u);
    EXPECT_EQ(State().route6.onLink[0].prefix, someones.dest);
}

}  // namespace
