// The split-app set, the route manager, the physical default route and the process identifier.
#include "split/physical_route.h"
#include "split/process_identifier.h"
#include "split/route_manager.h"
#include "split/route_family.h"
#include "split_fixture.h"

namespace {

class SplitTest : public SplitFixture {};

struct ParseCase {
    const char* name;
    std::wstring text;
    std::set<std::wstring> apps;
};

class ParseTest : public SplitFixture, public ::testing::WithParamInterface<ParseCase> {};

TEST_P(ParseTest, ListBecomesTrimmedLowerCasedSet) {
    EXPECT_EQ(ParseSplitApps(GetParam().text), GetParam().apps);
}

INSTANTIATE_TEST_SUITE_P(
    Lists, ParseTest,
    ::testing::Values(ParseCase{"BlanksAndEmptyPieces",
                                L" Chrome.exe ; FIREFOX.EXE;;",
                                {L"chrome.exe", L"firefox.exe"}},
                      ParseCase{"Duplicates", L"App.exe;app.exe", {L"app.exe"}},
                      ParseCase{"EdgesOfAToZ", L"AZ.EXE", {L"az.exe"}},
                      ParseCase{"BlankInside", L"my app.exe", {L"my app.exe"}},
                      ParseCase{"TabsAndTrailingCarriageReturns",
                                L"\tA.exe\r;\tb.exe \r\r",
                                {L"a.exe", L"b.exe"}},
                      ParseCase{"LeadingCarriageReturnStays", L"\rA.exe", {L"\ra.exe"}},
                      ParseCase{"LineFeedStays", L"a.exe\n", {L"a.exe\n"}},
                      ParseCase{"LettersOutsideAToZKeepCase",
                                L"\u00C4PP.exe;\u00DCBER.EXE",
                                {L"\u00C4pp.exe", L"\u00DCber.exe"}},
                      ParseCase{"Empty", L"", {}},
                      ParseCase{"OnlySeparatorsAndBlanks", L" ; ;\t; ", {}},
                      ParseCase{"OnlyCarriageReturns", L" \r;\r\r;x.exe", {L"x.exe"}}),
    [](const auto& info) { return info.param.name; });

TEST_F(SplitTest, ListReplacesTheSetWhileTheTunnelIsDownWithoutStartingTheSniffer) {
    ChangeSplitApps(L"a.exe");
    ChangeSplitApps(L"B.exe");
    EXPECT_EQ(Apps(), std::set<std::wstring>{L"b.exe"});
    EXPECT_FALSE(SnifferRunning());
    EXPECT_TRUE(W().divert.loadAttempts.empty());
    EXPECT_EQ(W().tcpTableReads, 0) << "nothing is watched, so no connection is looked at";
}

TEST_F(SplitTest, ListWithTheTunnelUpStartsOneSnifferAndAnEmptyListStopsIt) {
    SetTunnelUp(true);
    ChangeSplitApps(L"a.exe");
    ChangeSplitApps(L"b.exe");  // no second thread
    EXPECT_TRUE(SnifferRunning());
    Seed([&](SplitParts& s) {
        s.ipv4.held.insert(NetworkOrder(192, 0, 2, 10));
        s.ipv4.physical = Route(7, NetworkOrder(10, 0, 0, 1));
    });
    ChangeSplitApps(L" ; ");
    EXPECT_FALSE(SnifferRunning());
    EXPECT_EQ(W().divert.loadAttempts.size(), 2u);  // one thread: beside the helper, then search
    EXPECT_EQ(W().deletedRoutes4.size(), 1u);
    EXPECT_TRUE(Apps().empty());
}

TEST_F(SplitTest, StopWithoutASnifferLeavesTheRoutingTableAlone) {
    Seed([&](SplitParts& s) { s.ipv4.held.insert(1); });
    StopSniffer();
    EXPECT_TRUE(W().deletedRoutes4.empty());
    SetTunnelUp(false);  // while serving, the rows held without a sniffer go, of one family too
    EXPECT_EQ(W().deletedRoutes4.size(), 1u);
}

TEST_F(SplitTest, ThreadThatCannotBeCreatedLeavesTheSnifferStopped) {
    W().threadCreationFails = true;
    StartSniffer();
    EXPECT_FALSE(SnifferRunning());
    EXPECT_EQ(Log(), "2026-06-27 09:05:03  sniffer thread not started\r\n");
    EXPECT_EQ(SettledSnifferStart(0).start, SnifferStart::ThreadNotStarted);
    StopSniffer();
    EXPECT_EQ(SettledSnifferStart(0).start, SnifferStart::ThreadNotStarted) << "until a start";
    W().threadCreationFails = false;
    StartSniffer();  // a later start tries again
    EXPECT_TRUE(SnifferRunning());
    EXPECT_NE(SettledSnifferStart(60000).start, SnifferStart::ThreadNotStarted);
}

TEST_F(SplitTest, RouteIsAddedOncePerAddressThroughThePhysicalRoute) {
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
    EXPECT_EQ(row6.metric, kBypassRouteMark);
    EXPECT_EQ(W().createdRoutes4.size(), 1u);
}

TEST_F(SplitTest, UnknownPhysicalRouteAddsNothing) {
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

TEST_F(SplitTest, RefusedRouteIsTriedAgainLoggedOnceAndAnExistingOneIsLeftAlone) {
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

TEST_F(SplitTest, RemovalDeletesInAscendingOrderAndEmptiesTheSet) {
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
TEST_F(SplitTest, RoutesFollowTheInterfaceMetricAndTheNetwork) {
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
    EXPECT_EQ(W().createdRoutes4.back().nextHop, thirdGateway);
}

// Past the cap the route used longest ago goes, a connect to a held address counting as a use;
// the latch and its one line hold until the family's routes are removed.
TEST_F(SplitTest, PastTheCapTheLeastRecentlyUsedRouteGoesUntilTheRoutesAreRemoved) {
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
    RemoveAllBypassRoutes();
    EXPECT_EQ(latches(), std::make_pair(false, false));
}

// A connect in the moment the network changes is refused through the old gateway: the routes
// are looked at again at once and the route made through the new one.
TEST_F(SplitTest, CreationRefusedBecauseTheNetworkMovedIsTriedAgainThroughTheNewRoute) {
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

// The largest state the writer writes: both caps of routes and a 1 MiB list of 3-byte names.
TEST_F(SplitTest, TheLargestStateIsReadBackWhole) {
    UseSplitStateFile(true);
    Seed([&](SplitParts& s) {
        s.ipv4.physical = Route(UINT32_MAX, UINT32_MAX, UINT32_MAX);
        s.ipv6.physical = Route6(UINT32_MAX);
        s.ipv6.physical.luid = UINT64_MAX;
        for (uint32_t n = 0; n < kMaxBypassRoutesPerFamily; ++n) {
            s.ipv4.held.insert(UINT32_MAX - n);
            Ipv6Bytes address;
            address.fill(0xFF);
            address[15] = static_cast<uint8_t>(n);
            address[14] = static_cast<uint8_t>(n >> 8);
            s.ipv6.held.insert(address);
        }
        for (uint32_t n = 0; s.apps.size() < 1024 * 1024 / 4; ++n) {  // "abc;" each
            s.apps.insert(
                {wchar_t(33 + n % 94), wchar_t(33 + n / 94 % 94), wchar_t(33 + n / 8836)});
        }
    });
    SaveSplitState();
    SplitStateRecord loaded;
    ASSERT_EQ(LoadSplitState(loaded), StateFileLoad::Loaded);
    const SplitStateRecord saved = State();
    EXPECT_EQ(loaded.apps, saved.apps);
    EXPECT_EQ(loaded.bypassRoutes, saved.bypassRoutes);
    EXPECT_EQ(loaded.bypassRoutes6, saved.bypassRoutes6);
    EXPECT_EQ(loaded.route6.luid, UINT64_MAX);
}

// A host row already there is the helper's when it carries the mark: held, and deleted with the
// rest. Without the mark it is someone else's, at a connect and at a start alike.
TEST_F(SplitTest, AnExistingRowWithTheMarkIsTheHelpersAndOneWithoutIsLeftAlone) {
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
    ClaimMarkedBypassRows(false);  // the tunnel is down: deleted
    EXPECT_TRUE(State().bypassRoutes6.empty());
    EXPECT_EQ(W().routeTable6.back().dest, foreign.dest);
    EXPECT_EQ(W().routeTable6.size(), 3u);
}

// On a point-to-point link the helper's own /128 rows have no next hop either: no prefix.
TEST_F(SplitTest, ThePointToPointLinksOwnRowsAreNoGlobalPrefix) {
    platform::Forward6Row link = Default6Row(9, 0);
    link.nextHop = {};
    platform::Forward6Row own = link;
    own.prefixLength = 128;
    own.dest = V6("2606:4700::1");
    own.metric = kBypassRouteMark;
    W().routeTable6 = {link, own};
    W().interfaceMetrics6 = {{9, 10}};
    RecordPhysicalDefaultRoute();
    EXPECT_EQ(State().route6.ifIndex, 0u);
    W().routeTable6[1].metric = 256;  // someone's /128: counted as before
    RecordPhysicalDefaultRoute();
    EXPECT_EQ(State().route6.ifIndex, 9u);
}

// Routes made on the event path are written by the save timer, a burst in one write.
TEST_F(SplitTest, RoutesOfABurstAreSavedInOneWriteOffTheEventPath) {
    const auto stateWrites = [] {
        std::lock_guard<std::mutex> lock(W().fileSystemLock);
        return std::count(W().fileCalls.begin(), W().fileCalls.end(),
                          L"write C:\\ProgramData\\Orvanta\\helper.state");
    };
    UseSplitStateFile(true);
    W().routeTable = {DefaultRow(7, NetworkOrder(192, 168, 1, 1), 35)};
    W().divert.loadablePaths = {kDivertBesideHelper};
    SetTunnelUp(true);
    ChangeSplitApps(L"chrome.exe");
    ASSERT_EQ(W().timers.size(), 1u);
    const auto before = stateWrites();
    for (uint8_t host = 1; host <= 3; ++host) {
        AddBypassRoute(NetworkOrder(192, 0, 2, host));
    }
    EXPECT_EQ(stateWrites(), before);
    W().timers[0]();
    W().timers[0]();  // nothing new
    EXPECT_EQ(stateWrites(), before + 1);
    EXPECT_EQ(std::count(W().files[L"C:\\ProgramData\\Orvanta\\helper.state"].begin(),
                         W().files[L"C:\\ProgramData\\Orvanta\\helper.state"].end(), '\n'),
              3 + 1 + 3);
    StopSniffer();
    EXPECT_TRUE(W().timers.empty());
}

struct RouteCase {
    const char* name;
    std::vector<platform::ForwardRow> table;
    PhysicalRouteRecord expected;
    uint32_t metricError = 0;
    std::string moreLog = "";
    uint32_t tunnelIfIndex = 0;  // the interface of the adapter named after the tunnel
    std::vector<platform::Forward6Row> table6 = {};
    uint32_t expected6 = 0;  // the physical IPv6 route's interface
};

class PhysicalRouteTest : public SplitFixture, public ::testing::WithParamInterface<RouteCase> {};

TEST_P(PhysicalRouteTest, LowestMetricDefaultRowWins) {
    Seed([&](SplitParts& s) { s.ipv4.physical = Route(99, 99, 99); });
    W().routeTable = GetParam().table;
    W().interfaceMetrics = {{2, 40}};
    W().interfaceMetrics6 = {{2, 40}, {3, 5}, {9, 1}};  // 4 has no IPv6
    W().routeTable6 = GetParam().table6;
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
                  {Default6Row(2, 10), Default6Row(3, 30), Default6Row(4, 0), Global6Row(2),
                   Global6Row(3), Global6Row(4)},
                  3},
        // Interface 3 has a link-local prefix only: no address to send a bypass from.
        RouteCase{"Ipv6TunnelsOwnPrefixAndLinkLocalOnlyRowsSkipped",
                  {},
                  Route(0, 0),
                  0,
                  "",
                  9,
                  {Default6Row(9, 0), Global6Row(9), Default6Row(3, 0, 64), Default6Row(3, 0),
                   LinkLocal6Row(3), Default6Row(2, 50), Global6Row(2)},
                  2}),
    [](const auto& info) { return info.param.name; });

TEST_F(SplitTest, OnLinkDefaultRouteIsRecordedButAddsNoBypassRoute) {
    W().routeTable = {DefaultRow(8, 0, 5)};
    RecordPhysicalDefaultRoute();
    AddBypassRoute(NetworkOrder(192, 0, 2, 10));
    EXPECT_TRUE(W().createdRoutes4.empty());
}

TEST_F(SplitTest, LostDefaultRouteClearsTheRecord) {
    W().routeTable = {DefaultRow(2, 22, 10)};
    RecordPhysicalDefaultRoute();
    W().routeTable.clear();
    RecordPhysicalDefaultRoute();
    EXPECT_EQ(State().route.ifIndex, 0u);
    EXPECT_EQ(State().route.nextHop, 0u);
}

TEST_F(SplitTest, FailedProbeClearsTheRecordAndLogsOnlyTheIpv6Look) {
    Seed([&](SplitParts& s) { s.ipv4.physical = Route(2, 22); });
    W().routeReads = {platform::RouteTableRead::ProbeFailed};
    RecordPhysicalDefaultRoute();
    EXPECT_EQ(State().route.ifIndex, 0u);
    EXPECT_EQ(Log(), kNoIpv6Line);
}

TEST_F(SplitTest, FailedReadLogsInterfaceZero) {
    W().routeTable = {DefaultRow(2, 22, 10)};
    W().routeReads = {platform::RouteTableRead::ReadFailed};
    RecordPhysicalDefaultRoute();
    EXPECT_EQ(State().route.ifIndex, 0u);
    EXPECT_EQ(W().routeTableReads, 1);
    EXPECT_EQ(Log(), "2026-06-27 09:05:03  physical default route: ifIndex=0\r\n" + kNoIpv6Line);
}

TEST_F(SplitTest, GrowingTableIsReadAgainUpToThreeTimes) {
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

TEST_F(SplitTest, ProcessNamesAreLowerCasedFileNames) {
    W().processImages = {{8, L"C:\\Program Files\\Foo\\FOO.EXE"},
                         {12, L"C:/Tools\\sub/App.EXE"},
                         {16, L"\u00DCBER.EXE"},
                         {0, L"C:\\idle.exe"},
                         {4, L"C:\\system.exe"}};
    EXPECT_EQ(ProcessImageName(8), L"foo.exe");
    EXPECT_EQ(ProcessImageName(12), L"app.exe");
    EXPECT_EQ(ProcessImageName(16), L"\u00DCber.exe");
    EXPECT_EQ(ProcessImageName(0), L"");
    EXPECT_EQ(ProcessImageName(4), L"");
    EXPECT_EQ(ProcessImageName(20), L"") << "a process that is gone";
}

}  // namespace
