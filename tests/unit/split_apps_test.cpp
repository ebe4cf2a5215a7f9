// The split-app list, and the sniffer it starts and stops.
#include "split_fixture.h"

namespace {

class SplitAppsTest : public SplitFixture {};

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

TEST_F(SplitAppsTest, ListReplacesTheSetWhileTheTunnelIsDownWithoutStartingTheSniffer) {
    ChangeSplitApps(L"a.exe");
    ChangeSplitApps(L"B.exe");
    EXPECT_EQ(Apps(), std::set<std::wstring>{L"b.exe"});
    EXPECT_FALSE(SnifferRunning());
    EXPECT_TRUE(W().divert.loadAttempts.empty());
    EXPECT_EQ(W().tcpTableReads, 0) << "nothing is watched, so no connection is looked at";
}

TEST_F(SplitAppsTest, ListWithTheTunnelUpStartsOneSnifferAndAnEmptyListStopsIt) {
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
    EXPECT_EQ(W().divert.loadAttempts.size(), 1u);  // one thread; no copy in the system directory
    EXPECT_EQ(W().deletedRoutes4.size(), 1u);
    EXPECT_TRUE(Apps().empty());
}

TEST_F(SplitAppsTest, StopWithoutASnifferLeavesTheRoutingTableAlone) {
    Seed([&](SplitParts& s) { s.ipv4.held.insert(1); });
    StopSniffer();
    EXPECT_TRUE(W().deletedRoutes4.empty());
    SetTunnelUp(false);  // while serving, the rows held without a sniffer go, of one family too
    EXPECT_EQ(W().deletedRoutes4.size(), 1u);
    Seed([&](SplitParts& s) {
        s.ipv6.held.insert(V6("2606:4700::1111"));
        s.ipv6.physical = Route6(12);
    });
    ChangeSplitApps(L"");  // IPv6 alone, when the list empties
    EXPECT_EQ(W().deletedRoutes6.size(), 1u);
}

TEST_F(SplitAppsTest, ThreadThatCannotBeCreatedLeavesTheSnifferStopped) {
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

// While the sniffer runs, an address of an interface with a default route of either family
// decides the IPv6 route anew: one that arrives after the ::/0, or ends its duplicate address
// detection, brings it; one that goes takes it away. Other interfaces' addresses change nothing.
TEST_F(SplitAppsTest, AddressesOfInterfacesWithADefaultRouteDecideTheIpv6RouteAnew) {
    W().divert.loadablePaths = {kDivertBesideHelper};
    W().routeTable = {DefaultRow(12, NetworkOrder(192, 168, 1, 1), 35)};
    W().routeTable6 = {Default6Row(7, 0), Default6Row(8, 0)};
    W().interfaceMetrics6 = {{7, 10}, {8, 20}};
    StartSniffer();
    EXPECT_EQ(State().route6.ifIndex, 0u);
    fake::SetUnicastAddresses({Global6Address(7, platform::kDadStateTentative), Global6Address(8)});
    EXPECT_EQ(State().route6.ifIndex, 8u);
    W().route6Reads = {platform::RouteTableRead::ReadFailed};  // rules no interface out
    fake::SetUnicastAddresses({Global6Address(7), Global6Address(8)});
    EXPECT_EQ(State().route6.ifIndex, 7u);
    W().interfaceMetrics6[8] = 1;  // seen at the next look
    fake::SetUnicastAddresses({Global6Address(5), Global6Address(7), Global6Address(8)});
    EXPECT_EQ(State().route6.ifIndex, 7u) << "5 carries no default route";
    fake::SetUnicastAddresses({Global6Address(12), Global6Address(7), Global6Address(8)});
    EXPECT_EQ(State().route6.ifIndex, 8u) << "12 carries the IPv4 one";
    fake::SetUnicastAddresses({Global6Address(12)});
    EXPECT_EQ(State().route6.ifIndex, 0u);
    StopSniffer();
    EXPECT_EQ(W().addressWatch, nullptr);
}

}  // namespace
