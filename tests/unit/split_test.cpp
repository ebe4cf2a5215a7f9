// The split-app set, the route manager, the physical default route and the process identifier.
#include "split/physical_route.h"
#include "split/process_identifier.h"
#include "split/route_manager.h"
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
    EXPECT_FALSE(SnifferRunning);
    EXPECT_TRUE(W().divert.loadAttempts.empty());
}

TEST_F(SplitTest, ListWithTheTunnelUpStartsOneSnifferAndAnEmptyListStopsIt) {
    SetTunnelUp(true);
    ChangeSplitApps(L"a.exe");
    ChangeSplitApps(L"b.exe");  // no second thread
    EXPECT_TRUE(SnifferRunning);
    {
        std::lock_guard<std::mutex> lock(StateMutex);
        BypassRouteSet.insert(NetworkOrder(192, 0, 2, 10));
        PhysicalRoute = Route(7, NetworkOrder(10, 0, 0, 1));
    }
    ChangeSplitApps(L" ; ");
    EXPECT_FALSE(SnifferRunning);
    EXPECT_EQ(W().divert.loadAttempts.size(), 2u);  // one thread: beside the helper, then search
    EXPECT_EQ(W().deletedRoutes.size(), 1u);
    EXPECT_TRUE(Apps().empty());
}

TEST_F(SplitTest, StopWithoutASnifferLeavesTheRoutingTableAlone) {
    {
        std::lock_guard<std::mutex> lock(StateMutex);
        BypassRouteSet.insert(1);
    }
    StopSniffer();
    EXPECT_TRUE(W().deletedRoutes.empty());
}

TEST_F(SplitTest, ThreadThatCannotBeCreatedLeavesTheSnifferStopped) {
    W().threadCreationFails = true;
    StartSniffer();
    EXPECT_FALSE(SnifferRunning);
    EXPECT_EQ(Log(), "2026-06-27 09:05:03  sniffer thread not started\r\n");
    W().threadCreationFails = false;
    StartSniffer();  // a later start tries again
    EXPECT_TRUE(SnifferRunning);
}

TEST_F(SplitTest, RouteIsAddedOncePerAddressThroughThePhysicalRoute) {
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
}

TEST_F(SplitTest, UnknownPhysicalRouteAddsNothing) {
    for (PhysicalRouteRecord unknown : {Route(0, 5), Route(5, 0)}) {
        PhysicalRoute = unknown;
        AddBypassRoute(NetworkOrder(192, 0, 2, 10));
    }
    EXPECT_TRUE(W().createdRoutes.empty());
    EXPECT_TRUE(BypassRouteSet.empty());
}

TEST_F(SplitTest, RefusedRouteIsTriedAgainLoggedOnceAndAnExistingOneIsLeftAlone) {
    PhysicalRoute = Route(12, NetworkOrder(192, 168, 1, 1));
    W().createResults = {160, 160, 0, 5010};
    AddBypassRoute(NetworkOrder(192, 0, 2, 10));  // refused, logged
    AddBypassRoute(NetworkOrder(192, 0, 2, 10));  // refused again, not logged again
    AddBypassRoute(NetworkOrder(192, 0, 2, 10));  // created
    AddBypassRoute(NetworkOrder(10, 0, 0, 9));    // someone else's: not taken over
    AddBypassRoute(NetworkOrder(10, 0, 0, 9));    // nor tried again
    EXPECT_EQ(W().createdRoutes.size(), 4u);
    EXPECT_EQ(BypassRouteSet, std::set<uint32_t>{NetworkOrder(192, 0, 2, 10)});
    EXPECT_EQ(Log(), "2026-06-27 09:05:03  bypass route refused: 192.0.2.10 err=160\r\n");
    RemoveAllBypassRoutes();  // the next sniffer run logs a refusal again
    W().createResults = {160};
    AddBypassRoute(NetworkOrder(192, 0, 2, 10));
    EXPECT_EQ(Log().size(), 2 * std::string("2026-06-27 09:05:03  bypass route refused: "
                                            "192.0.2.10 err=160\r\n")
                                    .size());
}

TEST_F(SplitTest, RemovalDeletesInAscendingOrderAndEmptiesTheSet) {
    PhysicalRoute = Route(12, NetworkOrder(192, 168, 1, 1));
    AddBypassRoute(NetworkOrder(192, 0, 2, 10));
    AddBypassRoute(NetworkOrder(10, 0, 0, 9));
    W().createResults = {};
    RemoveAllBypassRoutes();
    ASSERT_EQ(W().deletedRoutes.size(), 2u);
    EXPECT_LT(W().deletedRoutes[0].dest, W().deletedRoutes[1].dest);
    EXPECT_EQ(W().deletedRoutes[0].ifIndex, 12u);
    EXPECT_TRUE(BypassRouteSet.empty());
    AddBypassRoute(NetworkOrder(192, 0, 2, 10));  // a removed address is created again
    EXPECT_EQ(W().createdRoutes.size(), 3u);
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
    EXPECT_EQ(BypassRouteSet.size(), 4u);
    EXPECT_EQ(Log().substr(Log().find("2026", 10)),
              "2026-06-27 09:05:03  bypass route not deleted: 198.51.100.7 err=5\r\n"
              "2026-06-27 09:05:03  physical default route: ifIndex=8\r\n");
    FollowPhysicalDefaultRoute();  // nothing moved: nothing done, nothing logged
    EXPECT_EQ(W().deletedRoutes.size(), 2u);
    W().routeTable[0] = DefaultRow(9, oldGateway, 35);
    W().metricReadError = 5;
    FollowPhysicalDefaultRoute();  // a metric that cannot be read says nothing
    EXPECT_EQ(W().deletedRoutes.size(), 2u);
    EXPECT_EQ(PhysicalRoute.ifIndex, 8u);
    W().metricReadError = 0;

    // A callback that reads after a look, and applies first, is not undone by that older look.
    const uint32_t thirdGateway = NetworkOrder(172, 16, 0, 1);
    W().afterNextRouteTableRead = [&] {
        W().routeTable[0] = DefaultRow(9, thirdGateway, 35);
        FollowPhysicalDefaultRoute();
    };
    W().routeTable[0] = DefaultRow(7, oldGateway, 35);
    FollowPhysicalDefaultRoute();
    EXPECT_EQ(PhysicalRoute.nextHop, thirdGateway);
    EXPECT_EQ(W().createdRoutes.back().nextHop, thirdGateway);
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
              2 + 1 + 3);
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
};

class PhysicalRouteTest : public SplitFixture, public ::testing::WithParamInterface<RouteCase> {};

TEST_P(PhysicalRouteTest, LowestMetricDefaultRowWins) {
    PhysicalRoute = Route(99, 99, 99);
    W().routeTable = GetParam().table;
    W().interfaceMetrics = {{2, 40}};
    W().metricReadError = GetParam().metricError;
    if (GetParam().tunnelIfIndex != 0) {
        W().interfaceAliases = {{L"Orvanta", GetParam().tunnelIfIndex}};
    }
    RecordPhysicalDefaultRoute();
    EXPECT_EQ(PhysicalRoute.ifIndex, GetParam().expected.ifIndex);
    EXPECT_EQ(PhysicalRoute.nextHop, GetParam().expected.nextHop);
    EXPECT_EQ(PhysicalRoute.interfaceMetric, GetParam().expected.interfaceMetric);
    const std::string found =
        GetParam().metricError != 0 ? "2" : std::to_string(GetParam().expected.ifIndex);
    EXPECT_EQ(Log(), "2026-06-27 09:05:03  physical default route: ifIndex=" + found + "\r\n" +
                         GetParam().moreLog);
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
                  9}),
    [](const auto& info) { return info.param.name; });

TEST_F(SplitTest, OnLinkDefaultRouteIsRecordedButAddsNoBypassRoute) {
    W().routeTable = {DefaultRow(8, 0, 5)};
    RecordPhysicalDefaultRoute();
    AddBypassRoute(NetworkOrder(192, 0, 2, 10));
    EXPECT_TRUE(W().createdRoutes.empty());
}

TEST_F(SplitTest, LostDefaultRouteClearsTheRecord) {
    W().routeTable = {DefaultRow(2, 22, 10)};
    RecordPhysicalDefaultRoute();
    W().routeTable.clear();
    RecordPhysicalDefaultRoute();
    EXPECT_EQ(PhysicalRoute.ifIndex, 0u);
    EXPECT_EQ(PhysicalRoute.nextHop, 0u);
}

TEST_F(SplitTest, FailedProbeClearsTheRecordWithoutALogLine) {
    PhysicalRoute = Route(2, 22);
    W().routeReads = {platform::RouteTableRead::ProbeFailed};
    RecordPhysicalDefaultRoute();
    EXPECT_EQ(PhysicalRoute.ifIndex, 0u);
    EXPECT_EQ(W().files.count(kTestLog), 0u);
}

TEST_F(SplitTest, FailedReadLogsInterfaceZero) {
    W().routeTable = {DefaultRow(2, 22, 10)};
    W().routeReads = {platform::RouteTableRead::ReadFailed};
    RecordPhysicalDefaultRoute();
    EXPECT_EQ(PhysicalRoute.ifIndex, 0u);
    EXPECT_EQ(W().routeTableReads, 1);
    EXPECT_EQ(Log(), "2026-06-27 09:05:03  physical default route: ifIndex=0\r\n");
}

TEST_F(SplitTest, GrowingTableIsReadAgainUpToThreeTimes) {
    using platform::RouteTableRead;
    W().routeTable = {DefaultRow(2, 22, 10)};
    W().routeReads = {RouteTableRead::Grew, RouteTableRead::Grew};
    RecordPhysicalDefaultRoute();
    EXPECT_EQ(PhysicalRoute.ifIndex, 2u);
    EXPECT_EQ(W().routeTableReads, 3);

    W().routeReads = {RouteTableRead::Grew, RouteTableRead::Grew, RouteTableRead::Grew,
                      RouteTableRead::Grew};
    W().routeTableReads = 0;
    RecordPhysicalDefaultRoute();
    EXPECT_EQ(PhysicalRoute.ifIndex, 0u);
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
