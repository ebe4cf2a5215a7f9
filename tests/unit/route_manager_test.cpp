// The bypass routes: made, refused, removed, and moved with the physical default route.
#include "split/route_family.h"
#include "split/physical_route.h"
#include "split/route_manager.h"
#include "split_fixture.h"

namespace {

class RouteManagerTest : public SplitFixture {};

TEST_F(RouteManagerTest, RouteIsAddedOncePerAddressThroughThePhysicalRoute) {
    W().interfaceMetrics = {{12, 35}};
    W().routeTable = {DefaultRow(12, NetworkOrder(192, 168, 1, 1), 60)};
    RecordPhysicalDefaultRoute();
    AddBypassRoute(NetworkOrder(192, 0, 2, 10));
    AddBypassRoute(NetworkOrder(192, 0, 2, 10));
    ASSERT_EQ(W().createdRoutes4.size(), 1u);
    const platform::Forward4Row& row = W().createdRoutes4[0];
    EXPECT_EQ(row.dest, NetworkOrder(192, 0, 2, 10));
    EXPECT_EQ(row.prefixLength, 32u);
    EXPECT_EQ(row.nextHop, NetworkOrder(192, 168, 1, 1));
    EXPECT_EQ(row.ifIndex, 12u);
    EXPECT_EQ(row.metric, kBypassRouteMark);

    // IPv6: a /128 whose own metric Windows adds to the interface's.
    W().interfaceMetrics6 = {{12, 10}};
    W().routeTable6 = {Default6Row(12, 256)};
    W().unicastAddresses = {Global6Address(12)};
    RecordPhysicalDefaultRoute();
    AddBypassRoute(V6("2606:4700::1111"));
    AddBypassRoute(V6("2606:4700::1111"));
    AddBypassRoute(V6("::ffff:192.0.2.10"));  // IPv4, held already
    ASSERT_EQ(W().createdRoutes6.size(), 1u);
    const platform::Forward6Row& row6 = W().createdRoutes6[0];
    EXPECT_EQ(row6.dest, V6("2606:4700::1111"));
    EXPECT_EQ(row6.prefixLength, 128u);
    EXPECT_EQ(row6.nextHop, V6("fe80::c"));
    EXPECT_EQ(row6.luid, uint64_t{12} << 24);
    EXPECT_EQ(row6.ifIndex, 12u);
    EXPECT_EQ(row6.metric, kBypassRouteMark);
    EXPECT_EQ(W().createdRoutes4.size(), 1u);
}

TEST_F(RouteManagerTest, UnknownPhysicalRouteAddsNothing) {
    for (PhysicalRouteRecord unknown : {Route(0, 5), Route(5, 0)}) {
        Seed([&](SplitParts& s) { s.ipv4.physical = unknown; });
        AddBypassRoute(NetworkOrder(192, 0, 2, 10));
    }
    AddBypassRoute(V6("2606:4700::1111"));  // no IPv6 route: stays in the tunnel
    Seed([&](SplitParts& s) { s.ipv4.physical = Route(5, 5); });
    AddBypassRoute(V6("::ffff:192.0.2.10"));  // IPv4 splitting goes on
    EXPECT_TRUE(W().createdRoutes6.empty());
    EXPECT_EQ(State().bypassRoutes, std::set<uint32_t>{NetworkOrder(192, 0, 2, 10)});
}

TEST_F(RouteManagerTest, RefusedRouteIsTriedAgainLoggedOnceAndAnExistingOneIsLeftAlone) {
    Seed([&](SplitParts& s) { s.ipv4.physical = Route(12, NetworkOrder(192, 168, 1, 1)); });
    W().createResults = {160, 160, 0, 5010};
    AddBypassRoute(NetworkOrder(192, 0, 2, 10));  // refused, logged
    AddBypassRoute(NetworkOrder(192, 0, 2, 10));  // refused again, not logged again
    AddBypassRoute(NetworkOrder(192, 0, 2, 10));  // created
    AddBypassRoute(NetworkOrder(10, 0, 0, 9));    // someone else's: not taken over
    AddBypassRoute(NetworkOrder(10, 0, 0, 9));    // nor tried again
    EXPECT_EQ(W().createdRoutes4.size(), 4u);
    EXPECT_EQ(State().bypassRoutes, std::set<uint32_t>{NetworkOrder(192, 0, 2, 10)});
    EXPECT_EQ(Log(), "2026-06-27 09:05:03  bypass route refused: 192.0.2.10 err=160\r\n");
    RemoveAllBypassRoutes();  // the next sniffer run logs a refusal again
    W().createResults = {160};
    AddBypassRoute(NetworkOrder(192, 0, 2, 10));
    EXPECT_EQ(Log().size(), 2 * std::string("2026-06-27 09:05:03  bypass route refused: "
                                            "192.0.2.10 err=160\r\n")
                                    .size());
    Seed([&](SplitParts& s) {
        s.ipv6.physical = Route6(4);
    });  // an interface that lost IPv6: Windows finds no interface
    AddBypassRoute(V6("2001:db8:0:1::a"));  // looked at again: no IPv6 route any more
    AddBypassRoute(V6("2001:db8:0:1::a"));
    EXPECT_TRUE(State().bypassRoutes6.empty());
    EXPECT_EQ(W().createdRoutes6.size(), 1u);
    EXPECT_NE(Log().find("bypass route refused: 2001:db8:0:1::a err=1168\r\n"), std::string::npos);
    EXPECT_EQ(Log().find("2001:db8:0:1::a"), Log().rfind("2001:db8:0:1::a")) << "logged once";
}

TEST_F(RouteManagerTest, RemovalDeletesInAscendingOrderAndEmptiesTheSet) {
    Seed([&](SplitParts& s) { s.ipv4.physical = Route(12, NetworkOrder(192, 168, 1, 1)); });
    Seed([&](SplitParts& s) { s.ipv6.physical = Route6(12); });
    W().interfaceMetrics6 = {{12, 10}};
    AddBypassRoute(V6("2a00::1"));
    AddBypassRoute(NetworkOrder(192, 0, 2, 10));
    AddBypassRoute(V6("2606:4700::1111"));
    AddBypassRoute(NetworkOrder(10, 0, 0, 9));
    W().createResults = {};
    RemoveAllBypassRoutes();
    ASSERT_EQ(W().deletedRoutes4.size(), 2u);
    EXPECT_LT(W().deletedRoutes4[0].dest, W().deletedRoutes4[1].dest);
    EXPECT_EQ(W().deletedRoutes4[0].ifIndex, 12u);
    ASSERT_EQ(W().deletedRoutes6.size(), 2u);
    EXPECT_EQ(W().deletedRoutes6[0].dest, V6("2606:4700::1111"));
    EXPECT_EQ(W().deletedRoutes6[1].nextHop, V6("fe80::c"));
    EXPECT_TRUE(W().routeTable6.empty());
    EXPECT_TRUE(State().bypassRoutes.empty());
    EXPECT_TRUE(State().bypassRoutes6.empty());
    AddBypassRoute(NetworkOrder(192, 0, 2, 10));  // a removed address is created again
    EXPECT_EQ(W().createdRoutes4.size(), 3u);
}

// Windows refuses a row below a metric that rose since it was read, and the network may move
// while the tunnel is up: held routes and new ones follow the physical default route.
TEST_F(RouteManagerTest, RoutesFollowTheInterfaceMetricAndTheNetwork) {
    const uint32_t oldGateway = NetworkOrder(192, 168, 1, 1),
                   newGateway = NetworkOrder(10, 1, 1, 1);
    W().routeTable = {DefaultRow(7, oldGateway, 35)};
    W().interfaceMetrics = {{7, 25}, {8, 30}};
    RecordPhysicalDefaultRoute();
    AddBypassRoute(NetworkOrder(192, 0, 2, 10));
    W().interfaceMetrics[7] = 10;  // fell since it was read: the mark is the row's own metric
    AddBypassRoute(NetworkOrder(198, 51, 100, 7));
    std::vector<platform::Forward4Row> rows;
    ASSERT_EQ(platform::ReadIpv4ForwardTable2(rows), platform::RouteTableRead::Ok);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[1].metric, kBypassRouteMark);
    EXPECT_EQ(rows[2].metric, kBypassRouteMark);
    const uint32_t foreign = NetworkOrder(198, 18, 0, 1);
    W().createResults = {5010};
    AddBypassRoute(foreign);  // someone else's row on this network: left alone

    W().routeTable[0] = DefaultRow(8, newGateway, 35);  // another network
    W().deleteResults = {5};
    W().createdRoutes4.clear();
    FollowPhysicalDefaultRoute();
    AddBypassRoute(NetworkOrder(203, 0, 113, 5));
    AddBypassRoute(foreign);  // the new network may need it
    ASSERT_EQ(W().deletedRoutes4.size(), 2u);
    EXPECT_EQ(W().deletedRoutes4[1].nextHop, oldGateway);
    ASSERT_EQ(W().createdRoutes4.size(), 4u);
    for (const platform::Forward4Row& row : W().createdRoutes4) {
        EXPECT_EQ(row.nextHop, newGateway);
        EXPECT_EQ(row.ifIndex, 8u);
        EXPECT_EQ(row.metric, kBypassRouteMark);
    }
    EXPECT_EQ(State().bypassRoutes.size(), 4u);
    EXPECT_EQ(Log().substr(Log().find("2026", 10 + kNoIpv6Line.size())),
              "2026-06-27 09:05:03  bypass route not deleted: 198.51.100.7 err=5\r\n"
              "2026-06-27 09:05:03  physical default route: ifIndex=8\r\n");
    FollowPhysicalDefaultRoute();  // nothing moved: nothing done, nothing logged
    EXPECT_EQ(W().deletedRoutes4.size(), 2u);
    W().routeTable[0] = DefaultRow(9, oldGateway, 35);
    W().metricReadError = 5;
    FollowPhysicalDefaultRoute();  // a metric that cannot be read says nothing
    EXPECT_EQ(W().deletedRoutes4.size(), 2u);
    EXPECT_EQ(State().route.ifIndex, 8u);
    W().metricReadError = 0;

    // The IPv6 route follows its own network alike; losing it leaves IPv6 in the tunnel.
    W().interfaceMetrics6 = {{7, 10}, {8, 10}};
    W().routeTable6 = {Default6Row(7, 0)};
    W().unicastAddresses = {Global6Address(7), Global6Address(8)};
    FollowPhysicalDefaultRoute();
    AddBypassRoute(V6("2606:4700::1111"));
    W().routeTable6 = {Default6Row(7, 50), Default6Row(8, 0)};
    FollowPhysicalDefaultRoute();
    ASSERT_EQ(W().deletedRoutes6.size(), 1u);
    EXPECT_EQ(W().deletedRoutes6[0].ifIndex, 7u);
    EXPECT_EQ(W().createdRoutes6.back().ifIndex, 8u);
    EXPECT_EQ(State().bypassRoutes6.size(), 1u);
    EXPECT_NE(Log().find("  physical IPv6 default route: ifIndex=8\r\n"), std::string::npos);
    W().routeTable6.resize(1);  // back on 7, but its metric cannot be read: nothing moves
    W().metricReadError = 5;
    FollowPhysicalDefaultRoute();
    EXPECT_EQ(State().route6.ifIndex, 8u);
    W().metricReadError = 0;
    W().routeTable6.clear();
    const size_t created6 = W().createdRoutes6.size();
    FollowPhysicalDefaultRoute();
    EXPECT_TRUE(State().bypassRoutes6.empty());
    EXPECT_EQ(W().createdRoutes6.size(), created6) << "none made through no route";
    EXPECT_EQ(Log().substr(Log().size() - kNoIpv6Line.size()), kNoIpv6Line);

    // A callback that reads after a look, and applies first, is not undone by that older look.
    const uint32_t thirdGateway = NetworkOrder(172, 16, 0, 1);
    W().afterNextRouteTableRead = [&] {
        W().routeTable[0] = DefaultRow(9, thirdGateway, 35);
        FollowPhysicalDefaultRoute();
    };
    W().routeTable[0] = DefaultRow(7, oldGateway, 35);
    FollowPhysicalDefaultRoute();
    EXPECT_EQ(State().route.nextHop, thirdGateway);
    EXPECT_EQ(W().createdRoutes4.back().nextHop, thirdGateway);
}

// After a move, a held address on the new network's LAN needs no route there, and the file
// records the new route at once: a restart must find the rows that were made.
TEST_F(RouteManagerTest, MoveDropsAddressesNowOnTheLanAndSavesTheNewRoute) {
    UseSplitStateFile(true);
    W().routeTable = {DefaultRow(7, NetworkOrder(192, 168, 1, 1), 35)};
    RecordPhysicalDefaultRoute();
    AddBypassRoute(NetworkOrder(10, 1, 1, 50));
    AddBypassRoute(NetworkOrder(203, 0, 113, 5));
    platform::ForwardRow lan = DefaultRow(8, 0, 35, NetworkOrder(255, 255, 255, 0));
    lan.dest = NetworkOrder(10, 1, 1, 0);
    W().routeTable = {DefaultRow(8, NetworkOrder(10, 1, 1, 1), 35), lan};
    W().createdRoutes4.clear();
    FollowPhysicalDefaultRoute();
    ASSERT_EQ(W().createdRoutes4.size(), 1u);
    EXPECT_EQ(W().createdRoutes4[0].dest, NetworkOrder(203, 0, 113, 5));
    EXPECT_EQ(State().bypassRoutes, std::set<uint32_t>{NetworkOrder(203, 0, 113, 5)});
    SplitStateRecord saved;
    ASSERT_EQ(LoadSplitState(saved), StateFileLoad::Loaded);
    EXPECT_EQ(saved.route.nextHop, NetworkOrder(10, 1, 1, 1));
    EXPECT_EQ(saved.bypassRoutes, State().bypassRoutes);
}

// Past the cap the route used longest ago goes, a connect to a held address counting as a use;
// the latch and its one line hold until the family's routes are removed. The uses kept are
// those of the routes held, after evictions and removals alike.
TEST_F(RouteManagerTest, PastTheCapTheLeastRecentlyUsedRouteGoesUntilTheRoutesAreRemoved) {
    Seed([&](SplitParts& s) { s.ipv4.physical = Route(12, NetworkOrder(192, 168, 1, 1)); });
    const auto address = [](uint32_t n) { return htonl(0xC6120000u + n); };  // 198.18.x.y
    for (uint32_t n = 1; n <= kMaxBypassRoutesPerFamily; ++n) {
        AddBypassRoute(address(n));
    }
    AddBypassRoute(address(1));  // refreshed: no longer the oldest
    EXPECT_FALSE(TheSplitState().Read([](const SplitParts& s) { return s.ipv4.capReached; }));
    AddBypassRoute(address(kMaxBypassRoutesPerFamily + 1));
    AddBypassRoute(address(kMaxBypassRoutesPerFamily + 2));
    ASSERT_EQ(W().deletedRoutes4.size(), 2u);
    EXPECT_EQ(W().deletedRoutes4[0].dest, address(2));
    EXPECT_EQ(W().deletedRoutes4[1].dest, address(3));
    EXPECT_EQ(State().bypassRoutes.size(), kMaxBypassRoutesPerFamily);
    EXPECT_EQ(State().bypassRoutes.count(address(1)), 1u);
    const std::string line =
        "2026-06-27 09:05:03  bypass routes reached the cap of 4096 (IPv4); the least recently "
        "used go first\r\n";
    EXPECT_EQ(Log(), line) << "one line";
    EXPECT_EQ(W().createdRoutes4.size(), kMaxBypassRoutesPerFamily + 2)
        << "no state write per refresh";
    const auto latches = [] {
        return TheSplitState().Read([](const SplitParts& s) {
            return std::make_pair(s.ipv4.capReached, s.ipv6.capReached);
        });
    };
    EXPECT_EQ(latches(), std::make_pair(true, false));
    const auto uses = [] {
        return TheSplitState().Read([](const SplitParts& s) {
            return std::make_pair(s.ipv4.lastUse.size(), s.ipv4.byUse.size());
        });
    };
    EXPECT_EQ(uses(), std::make_pair(kMaxBypassRoutesPerFamily, kMaxBypassRoutesPerFamily));
    RemoveAllBypassRoutes();
    EXPECT_EQ(latches(), std::make_pair(false, false));
    EXPECT_EQ(uses(), std::make_pair(size_t{0}, size_t{0}));
    for (uint32_t n = kMaxBypassRoutesPerFamily + 1; n >= 1; --n) {  // made again, newest first
        AddBypassRoute(address(n));
    }
    EXPECT_EQ(W().deletedRoutes4.back().dest, address(kMaxBypassRoutesPerFamily + 1));
    EXPECT_EQ(uses(), std::make_pair(kMaxBypassRoutesPerFamily, kMaxBypassRoutesPerFamily));
    EXPECT_EQ(Log(), line + line) << "once more after the removal";
}

// A connect in the moment the network changes is refused through the old gateway: the routes
// are looked at again at once and the route made through the new one.
TEST_F(RouteManagerTest, CreationRefusedBecauseTheNetworkMovedIsTriedAgainThroughTheNewRoute) {
    const uint32_t oldGateway = NetworkOrder(192, 168, 1, 1),
                   newGateway = NetworkOrder(10, 1, 1, 1);
    W().routeTable = {DefaultRow(7, oldGateway, 35)};
    W().interfaceMetrics = {{7, 25}, {8, 30}};
    RecordPhysicalDefaultRoute();
    W().routeTable[0] = DefaultRow(8, newGateway, 35);  // not reported yet
    W().createResults = {1168};
    AddBypassRoute(NetworkOrder(192, 0, 2, 10));
    ASSERT_EQ(W().createdRoutes4.size(), 2u);
    EXPECT_EQ(W().createdRoutes4[1].nextHop, newGateway);
    EXPECT_EQ(State().bypassRoutes, std::set<uint32_t>{NetworkOrder(192, 0, 2, 10)});
    EXPECT_EQ(Log().find("refused"), std::string::npos);
    W().createResults = {1231};  // refused so while nothing moved: logged, not tried again
    AddBypassRoute(NetworkOrder(192, 0, 2, 11));
    EXPECT_EQ(W().createdRoutes4.size(), 3u);
    EXPECT_NE(Log().find("bypass route refused: 192.0.2.11 err=1231\r\n"), std::string::npos);
}

// A host row already there is the helper's when it carries the mark: held, and deleted with the
// rest. Without the mark it is someone else's, at a connect and at a start alike.
TEST_F(RouteManagerTest, AnExistingRowWithTheMarkIsTheHelpersAndOneWithoutIsLeftAlone) {
    W().routeTable6 = {Default6Row(12, 256), Global6Row(12)};
    W().interfaceMetrics6 = {{12, 10}};
    Seed([&](SplitParts& s) { s.ipv6.physical = Route6(12); });
    platform::Forward6Row marked = Default6Row(12, kBypassRouteMark, 128);
    marked.dest = V6("2001:db8:1::1");
    platform::Forward6Row foreign = marked;
    foreign.dest = V6("2001:db8:1::2");
    foreign.metric = kBypassRouteMark + 1;
    W().routeTable6.push_back(marked);
    W().routeTable6.push_back(foreign);
    AddBypassRoute(marked.dest);
    AddBypassRoute(foreign.dest);
    EXPECT_EQ(State().bypassRoutes6, std::set<Ipv6Bytes>{marked.dest});
    RemoveAllBypassRoutes();
    ASSERT_EQ(W().routeTable6.size(), 3u);
    W().routeTable6.push_back(marked);  // left by a run that crashed
    ClaimMarkedBypassRows(true);        // through the physical route: held again
    EXPECT_EQ(State().bypassRoutes6, std::set<Ipv6Bytes>{marked.dest});
    ClaimMarkedBypassRows(false);  // the tunnel is down: deleted, its use forgotten
    EXPECT_TRUE(State().bypassRoutes6.empty());
    EXPECT_TRUE(TheSplitState().Read([](const SplitParts& s) { return s.ipv6.lastUse.empty(); }));
    EXPECT_EQ(W().routeTable6.back().dest, foreign.dest);
    EXPECT_EQ(W().routeTable6.size(), 3u);
    W().routeTable6.push_back(marked);
    W().route6Reads = {platform::RouteTableRead::ReadFailed};
    AddBypassRoute(marked.dest);  // a mark that cannot be read is none
    EXPECT_TRUE(State().bypassRoutes6.empty());
}

}  // namespace
