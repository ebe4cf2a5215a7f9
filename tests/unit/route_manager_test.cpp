// The bypass routes: made, refused, removed, and moved with the physical default route.
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
    ASSERT_EQ(W().createdRoutes.size(), 1u);
    const platform::ForwardRow& row = W().createdRoutes[0];
    EXPECT_EQ(row.dest, NetworkOrder(192, 0, 2, 10));
    EXPECT_EQ(row.mask, 0xFFFFFFFFu);
    EXPECT_EQ(row.nextHop, NetworkOrder(192, 168, 1, 1));
    EXPECT_EQ(row.ifIndex, 12u);
    EXPECT_EQ(row.type, 4u);
    EXPECT_EQ(row.proto, 3u);
    EXPECT_EQ(row.metric1, 36u) << "the interface's metric plus one, or Windows refuses it";
    EXPECT_EQ(row.policy + row.age + row.nextHopAS + row.metric2 + row.metric5, 0u);

    // IPv6: a /128 whose own metric Windows adds to the interface's.
    W().interfaceMetrics6 = {{12, 10}};
    W().routeTable6 = {Default6Row(12, 256), Global6Row(12)};
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
    EXPECT_EQ(row6.metric, 1u);
    EXPECT_EQ(W().createdRoutes.size(), 1u);
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
    EXPECT_EQ(W().createdRoutes.size(), 4u);
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
    AddBypassRoute(V6("2001:db8:0:1::a"));
    AddBypassRoute(V6("2001:db8:0:1::a"));
    EXPECT_TRUE(State().bypassRoutes6.empty());
    EXPECT_EQ(W().createdRoutes6.size(), 2u);
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
    ASSERT_EQ(W().deletedRoutes.size(), 2u);
    EXPECT_LT(W().deletedRoutes[0].dest, W().deletedRoutes[1].dest);
    EXPECT_EQ(W().deletedRoutes[0].ifIndex, 12u);
    ASSERT_EQ(W().deletedRoutes6.size(), 2u);
    EXPECT_EQ(W().deletedRoutes6[0].dest, V6("2606:4700::1111"));
    EXPECT_EQ(W().deletedRoutes6[1].nextHop, V6("fe80::c"));
    EXPECT_TRUE(W().routeTable6.empty());
    EXPECT_TRUE(State().bypassRoutes.empty());
    EXPECT_TRUE(State().bypassRoutes6.empty());
    AddBypassRoute(NetworkOrder(192, 0, 2, 10));  // a removed address is created again
    EXPECT_EQ(W().createdRoutes.size(), 3u);
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
    W().interfaceMetrics[7] = 40;
    W().createResults = {160};
    AddBypassRoute(NetworkOrder(198, 51, 100, 7));
    ASSERT_EQ(W().createdRoutes.size(), 3u);
    EXPECT_EQ(W().createdRoutes[2].metric1, 41u) << "read again and tried once more";
    const uint32_t foreign = NetworkOrder(198, 18, 0, 1);
    W().createResults = {5010};
    AddBypassRoute(foreign);  // someone else's row on this network: left alone

    W().routeTable[0] = DefaultRow(8, newGateway, 35);  // another network
    W().deleteResults = {5};
    W().createdRoutes.clear();
    FollowPhysicalDefaultRoute();
    AddBypassRoute(NetworkOrder(203, 0, 113, 5));
    AddBypassRoute(foreign);  // the new network may need it
    ASSERT_EQ(W().deletedRoutes.size(), 2u);
    EXPECT_EQ(W().deletedRoutes[1].nextHop, oldGateway);
    ASSERT_EQ(W().createdRoutes.size(), 4u);
    for (const platform::ForwardRow& row : W().createdRoutes) {
        EXPECT_EQ(row.nextHop, newGateway);
        EXPECT_EQ(row.ifIndex, 8u);
        EXPECT_EQ(row.metric1, 31u);
    }
    EXPECT_EQ(State().bypassRoutes.size(), 4u);
    EXPECT_EQ(Log().substr(Log().find("2026", 10 + kNoIpv6Line.size())),
              "2026-06-27 09:05:03  bypass route not deleted: 198.51.100.7 err=5\r\n"
              "2026-06-27 09:05:03  physical default route: ifIndex=8\r\n");
    FollowPhysicalDefaultRoute();  // nothing moved: nothing done, nothing logged
    EXPECT_EQ(W().deletedRoutes.size(), 2u);
    W().routeTable[0] = DefaultRow(9, oldGateway, 35);
    W().metricReadError = 5;
    FollowPhysicalDefaultRoute();  // a metric that cannot be read says nothing
    EXPECT_EQ(W().deletedRoutes.size(), 2u);
    EXPECT_EQ(State().route.ifIndex, 8u);
    W().metricReadError = 0;

    // The IPv6 route follows its own network alike; losing it leaves IPv6 in the tunnel.
    W().interfaceMetrics6 = {{7, 10}, {8, 10}};
    W().routeTable6 = {Default6Row(7, 0), Global6Row(7)};
    FollowPhysicalDefaultRoute();
    AddBypassRoute(V6("2606:4700::1111"));
    W().routeTable6 = {Default6Row(7, 50), Global6Row(7), Default6Row(8, 0), Global6Row(8)};
    FollowPhysicalDefaultRoute();
    ASSERT_EQ(W().deletedRoutes6.size(), 1u);
    EXPECT_EQ(W().deletedRoutes6[0].ifIndex, 7u);
    EXPECT_EQ(W().createdRoutes6.back().ifIndex, 8u);
    EXPECT_EQ(State().bypassRoutes6.size(), 1u);
    EXPECT_NE(Log().find("  physical IPv6 default route: ifIndex=8\r\n"), std::string::npos);
    W().routeTable6.resize(2);  // back on 7, but its metric cannot be read: nothing moves
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
    EXPECT_EQ(W().createdRoutes.back().nextHop, thirdGateway);
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
    W().createdRoutes.clear();
    FollowPhysicalDefaultRoute();
    ASSERT_EQ(W().createdRoutes.size(), 1u);
    EXPECT_EQ(W().createdRoutes[0].dest, NetworkOrder(203, 0, 113, 5));
    EXPECT_EQ(State().bypassRoutes, std::set<uint32_t>{NetworkOrder(203, 0, 113, 5)});
    SplitStateRecord saved;
    ASSERT_EQ(LoadSplitState(saved), StateFileLoad::Loaded);
    EXPECT_EQ(saved.route.nextHop, NetworkOrder(10, 1, 1, 1));
    EXPECT_EQ(saved.bypassRoutes, State().bypassRoutes);
}

}  // namespace
