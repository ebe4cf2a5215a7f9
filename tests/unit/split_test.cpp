// The split-app set, the route manager, the physical default route and the process identifier.
#include "split/physical_route.h"
#include "split/process_identifier.h"
#include "split/route_manager.h"
#include "split/state_file.h"
#include "split_fixture.h"

namespace {

class SplitTest : public SplitFixture {};

platform::ForwardRow DefaultRow(uint32_t ifIndex, uint32_t nextHop, uint32_t metric,
                                uint32_t mask = 0) {
    platform::ForwardRow row;
    row.mask = mask;
    row.ifIndex = ifIndex;
    row.nextHop = nextHop;
    row.metric1 = metric;
    return row;
}

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
    SetSplitApps(L"a.exe");
    SetSplitApps(L"B.exe");
    EXPECT_EQ(Apps(), std::set<std::wstring>{L"b.exe"});
    EXPECT_FALSE(SnifferRunning);
    EXPECT_TRUE(W().divert.loadAttempts.empty());
}

TEST_F(SplitTest, ListWithTheTunnelUpStartsOneSnifferAndAnEmptyListStopsIt) {
    TunnelUp = true;
    SetSplitApps(L"a.exe");
    SetSplitApps(L"b.exe");  // no second thread
    EXPECT_TRUE(SnifferRunning);
    {
        std::lock_guard<std::mutex> lock(StateMutex);
        BypassRouteSet.insert(NetworkOrder(192, 0, 2, 10));
        PhysicalRoute = {7, NetworkOrder(10, 0, 0, 1)};
    }
    SetSplitApps(L" ; ");
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
    for (PhysicalRouteRecord unknown : {PhysicalRouteRecord{0, 5}, PhysicalRouteRecord{5, 0}}) {
        PhysicalRoute = unknown;
        AddBypassRoute(NetworkOrder(192, 0, 2, 10));
    }
    EXPECT_TRUE(W().createdRoutes.empty());
    EXPECT_TRUE(BypassRouteSet.empty());
}

TEST_F(SplitTest, RefusedRouteIsTriedAgainLoggedOnceAndAnExistingOneIsLeftAlone) {
    PhysicalRoute = {12, NetworkOrder(192, 168, 1, 1)};
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
    PhysicalRoute = {12, NetworkOrder(192, 168, 1, 1)};
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

struct RouteCase {
    const char* name;
    std::vector<platform::ForwardRow> table;
    PhysicalRouteRecord expected;
    uint32_t metricError = 0;
    std::string moreLog = "";
};

class PhysicalRouteTest : public SplitFixture, public ::testing::WithParamInterface<RouteCase> {};

TEST_P(PhysicalRouteTest, LowestMetricDefaultRowWins) {
    PhysicalRoute = {99, 99, 99};
    W().routeTable = GetParam().table;
    W().interfaceMetrics = {{2, 40}};
    W().metricReadError = GetParam().metricError;
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
        RouteCase{"LowerMetric", {DefaultRow(1, 11, 25), DefaultRow(2, 22, 10)}, {2, 22, 40}},
        RouteCase{"TieGoesToTheFirst", {DefaultRow(1, 11, 10), DefaultRow(2, 22, 10)}, {1, 11, 25}},
        RouteCase{
            "UnreadableInterfaceMetricMakesTheRouteUnknown",
            {DefaultRow(2, 22, 10)},
            {0, 0, 0},
            1168,
            "2026-06-27 09:05:03  physical interface metric not read: ifIndex=2 err=1168\r\n"},
        RouteCase{"MaximumMetricNeverWins", {DefaultRow(1, 11, 0xFFFFFFFF)}, {0, 0}},
        RouteCase{"MaskNotZero", {DefaultRow(1, 11, 5, 0xFF)}, {0, 0}},
        RouteCase{"NotADefaultRow", {HostRow()}, {0, 0}},
        RouteCase{"OnLinkNextHopZero", {DefaultRow(8, 0, 5)}, {8, 0, 25}},
        RouteCase{"EmptyTable", {}, {0, 0}}),
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
    PhysicalRoute = {2, 22};
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

// What per-app splitting keeps across a restart of the helper, and what a start does with it.
struct RestartCase {
    const char* name;
    bool tunnelRunning;
    void (*damage)(std::string& stateFile);  // null: the file as the helper wrote it
    const char* logLine;                     // null: nothing logged at the start
};

class RestartTest : public SplitFixture, public ::testing::WithParamInterface<RestartCase> {
  protected:
    const std::wstring kStateFile = L"C:\\ProgramData\\Orvanta\\helper.state";
    const uint32_t kGateway = NetworkOrder(192, 168, 1, 1);

    // A connect's route, a list and two bypass routes, each written to the file as it changed;
    // then the process is gone (a crash or a restart), with the routes still in the table.
    void RunAndForget() {
        W().routeTable = {DefaultRow(7, kGateway, 35)};
        W().interfaceMetrics = {{7, 25}};
        RecordPhysicalDefaultRoute();
        SetSplitApps(L"Chrome.exe;\u00DCBER.EXE");
        AddBypassRoute(NetworkOrder(192, 0, 2, 10));
        AddBypassRoute(NetworkOrder(198, 51, 100, 7));
        ASSERT_EQ(W().files.count(kStateFile + L".tmp"), 0u) << "replaced, not left behind";
        std::lock_guard<std::mutex> lock(StateMutex);
        SplitAppSet.clear();
        BypassRouteSet.clear();
        PhysicalRoute = {};
    }
};

TEST_P(RestartTest, StartRestoresOrCleansUpWhatTheLastRunLeft) {
    RunAndForget();
    if (GetParam().damage != nullptr) {
        GetParam().damage(W().files[kStateFile]);
    }
    if (GetParam().tunnelRunning) {
        W().services[L"AmneziaWGTunnel$Orvanta"] = {};
    }
    const size_t logged = Log().size();
    RestoreSplitState();
    const bool restored = GetParam().tunnelRunning && GetParam().damage == nullptr;
    EXPECT_EQ(TunnelUp, restored);
    EXPECT_EQ(SnifferRunning, restored);
    const std::set<std::wstring> apps = {L"chrome.exe", L"\u00DCber.exe"};
    EXPECT_EQ(Apps(), restored ? apps : std::set<std::wstring>());
    EXPECT_EQ(PhysicalRoute.nextHop, restored ? kGateway : 0);
    EXPECT_EQ(PhysicalRoute.interfaceMetric, restored ? 25u : 0u);
    EXPECT_EQ(BypassRouteSet.size(), restored ? 2u : 0u);
    const bool cleanedUp = !GetParam().tunnelRunning && GetParam().damage == nullptr;
    ASSERT_EQ(W().deletedRoutes.size(), cleanedUp ? 2u : 0u);
    if (cleanedUp) {  // the very rows that were created, found again through the saved route
        EXPECT_EQ(W().deletedRoutes[0].nextHop, kGateway);
        EXPECT_EQ(W().deletedRoutes[1].metric1, 26u);
        EXPECT_EQ(W().files[kStateFile].find("bypass"), std::string::npos) << "cleared";
    }
    if (GetParam().logLine != nullptr) {
        EXPECT_NE(Log().substr(logged).find(GetParam().logLine), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(
    States, RestartTest,
    ::testing::Values(RestartCase{"TunnelUp", true, nullptr, nullptr},
                      RestartCase{"TunnelDownAfterACrash", false, nullptr, nullptr},
                      RestartCase{"Missing", true,
                                  [](std::string&) {
                                      fake::TheWorld().files.erase(
                                          L"C:\\ProgramData\\Orvanta\\helper.state");
                                  },
                                  "  state file missing; ignored\r\n"},
                      RestartCase{"Torn", true, [](std::string& file) { file.pop_back(); },
                                  "  state file malformed; ignored\r\n"},
                      RestartCase{"ForeignLine", true,
                                  [](std::string& file) { file += "bypass 1 2\n"; },
                                  "  state file malformed; ignored\r\n"}),
    [](const auto& info) { return info.param.name; });
