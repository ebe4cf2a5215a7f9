// A start of the service: what the last run left of per-app splitting, brought back or cleaned up.
#include "split/route_family.h"
#include "service/recovery.h"
#include "split/physical_route.h"
#include "split/route_manager.h"
#include "split_fixture.h"

namespace {

// What a start finds of the last run, and what per-app splitting looks like once it settled.
struct RecoveryCase {
    const char* name;
    bool tunnelExists;
    uint32_t tunnelState;
    uint64_t tunnelRunsAt;  // on the fake clock
    bool startsAutomatically;
    bool rebooted;      // the routing table forgot the helper's routes
    bool networkMoved;  // the physical default route is now another
    void (*damage)(std::string& stateFile);
    const char* logLine;
    bool splitting;     // TunnelUp and a sniffer
    size_t routesHeld;  // the saved routes the helper still holds
    bool listKept;
    bool noApps = false;  // the list was emptied before the end: the tunnel is up, unsplit
    size_t routes6Held = SIZE_MAX;   // the saved IPv6 route still held; unset: as for IPv4
    size_t routesIntoTheTunnel = 0;  // saved routes deleted: the configuration keeps them in it
    // Marked rows deleted at the start: no state to go with them, or not through the route.
    size_t strayRows4 = 0, strayRows6 = 0;
};

constexpr uint64_t kNever = UINT64_MAX;

class RecoveryTest : public SplitFixture, public ::testing::WithParamInterface<RecoveryCase> {
  protected:
    const std::wstring kStateFile = L"C:\\ProgramData\\Orvanta\\helper.state";
    const uint32_t kGateway = NetworkOrder(192, 168, 1, 1);
    const uint32_t kNewGateway = NetworkOrder(10, 1, 1, 1);
    const uint32_t kAddress = NetworkOrder(192, 0, 2, 10);
    const Ipv6Bytes kAddress6 = V6("2606:4700::1111");

    // A connect's route, a list and two bypass routes, saved as they changed; then the process
    // is gone (a crash or a restart), with the routes still in the table.
    void RunAndForget(bool noApps) {
        UseSplitStateFile(true);
        W().routeTable = {DefaultRow(7, kGateway, 35)};
        W().interfaceMetrics = {{7, 25}, {8, 30}};
        W().routeTable6 = {Default6Row(7, 0), Global6Row(7)};
        W().unicastAddresses = {Global6Address(7)};
        W().interfaceMetrics6 = {{7, 10}};
        RecordPhysicalDefaultRoute();
        SetSplitApps(L"Chrome.exe;\u00DCBER.EXE");
        AddBypassRoute(kAddress);
        AddBypassRoute(kAddress6);
        AddBypassRoute(NetworkOrder(198, 51, 100, 7));
        if (noApps) {
            SetSplitApps(L"");  // the routes stay until the sniffer would have stopped
        }
        SaveSplitState();  // what the save timer does
        ASSERT_EQ(W().files.count(kStateFile + L".tmp"), 0u) << "replaced, not left behind";
        TheSplitState().Reset();
    }

    void SetTheScene(const RecoveryCase& c) {
        if (c.damage != nullptr) {
            c.damage(W().files[kStateFile]);
        }
        if (c.tunnelExists) {
            fake::Service& tunnel = W().services[L"AmneziaWGTunnel$Orvanta"];
            tunnel.state = c.tunnelState;
            tunnel.runsAt = c.tunnelRunsAt;
            tunnel.startsAutomatically = c.startsAutomatically;
        }
        if (c.rebooted) {
            W().routeTable.resize(1);  // only the system's default routes are left
            W().routeTable6.resize(2);
        }
        if (c.networkMoved) {
            W().routeTable[0] = DefaultRow(8, kNewGateway, 35);
        }
        W().createdRoutes4.clear();
    }
};

TEST_P(RecoveryTest, StartBringsBackOrCleansUpWhatTheLastRunLeft) {
    const RecoveryCase& c = GetParam();
    RunAndForget(c.noApps);
    SetTheScene(c);
    const size_t logged = Log().size();
    RecoverSplitting();
    const bool watched = c.damage == nullptr && c.tunnelExists &&
                         (c.tunnelState == 2 || (c.tunnelState == 1 && c.startsAutomatically));
    if (watched) {  // on a thread of its own, on the fake clock
        ASSERT_TRUE(fake::WaitUntil([] { return IsTunnelUp() || fake::ClockMs() >= 120000; }));
        EndTunnelStartWatch();
    }
    EXPECT_EQ(IsTunnelUp(), c.splitting || c.noApps);
    EXPECT_EQ(SnifferRunning(), c.splitting);
    const std::set<std::wstring> apps = {L"chrome.exe", L"\u00DCber.exe"};
    EXPECT_EQ(Apps(), c.listKept ? apps : std::set<std::wstring>());
    EXPECT_EQ(State().bypassRoutes.size(), c.routesHeld);
    EXPECT_EQ(State().bypassRoutes6.size(),
              c.routes6Held != SIZE_MAX ? c.routes6Held : std::min<size_t>(c.routesHeld, 1));
    if (!c.noApps) {
        EXPECT_EQ(State().route.nextHop,
                  c.splitting ? (c.networkMoved ? kNewGateway : kGateway) : 0);
    }
    const bool cleanedUp = c.damage == nullptr && !c.rebooted && !c.splitting;
    ASSERT_EQ(W().deletedRoutes4.size(),
              (cleanedUp || c.networkMoved ? 2u : 0u) + c.routesIntoTheTunnel + c.strayRows4);
    if (!W().deletedRoutes4.empty() &&
        c.strayRows4 == 0) {  // the very rows that were made, found through the file
        EXPECT_EQ(W().deletedRoutes4[0].nextHop, kGateway);
        EXPECT_EQ(W().deletedRoutes4.back().metric, kBypassRouteMark);
    }
    ASSERT_EQ(W().deletedRoutes6.size(), (cleanedUp ? 1u : 0u) + c.strayRows6);
    if (cleanedUp) {
        EXPECT_EQ(W().deletedRoutes6[0].dest, kAddress6);
        EXPECT_EQ(W().deletedRoutes6[0].luid, uint64_t{7} << 24);
    }
    if (c.networkMoved) {
        ASSERT_EQ(W().createdRoutes4.size(), 2u);
        EXPECT_EQ(W().createdRoutes4[0].nextHop, kNewGateway);
        EXPECT_EQ(W().createdRoutes4[0].metric, kBypassRouteMark);
    }
    if (c.noApps) {  // a list sent now finds the tunnel up
        ChangeSplitApps(L"chrome.exe");
        EXPECT_TRUE(SnifferRunning());
    }
    // The next connection of a listed application is routed unless its route is held.
    W().createdRoutes4.clear();
    AddBypassRoute(kAddress);
    // (Of one route held, the other is this address's.)
    EXPECT_EQ(W().createdRoutes4.size(),
              (c.splitting || c.noApps) && c.routesHeld < 2 && !c.routesIntoTheTunnel ? 1u : 0u);
    if (c.logLine != nullptr) {
        EXPECT_NE(Log().substr(logged).find(c.logLine), std::string::npos) << Log();
    }
    if (c.routesIntoTheTunnel > 0) {  // read, and the deletion saved at once
        EXPECT_EQ(Log().find(".conf not read"), std::string::npos);
        EXPECT_EQ(W().files[kStateFile].find("bypass " + std::to_string(kAddress) + "\n"),
                  std::string::npos);
    }
}

// A file written before IPv6 was split: its IPv4 state loads, its IPv6 route is not known.
void WrittenBeforeIpv6(std::string& file) {
    std::string old = "orvanta-split-state 1\n";
    for (size_t at = file.find('\n') + 1; at < file.size();) {
        const size_t end = file.find('\n', at) + 1;
        const std::string line = file.substr(at, end - at);
        if (line.compare(0, 6, "route6") != 0 && line.compare(0, 7, "bypass6") != 0) {
            old += line;
        }
        at = end;
    }
    file = old;
}

void Remove(std::string&) {
    fake::TheWorld().files.erase(L"C:\\ProgramData\\Orvanta\\helper.state");
}

INSTANTIATE_TEST_SUITE_P(
    Starts, RecoveryTest,
    ::testing::Values(
        RecoveryCase{"TunnelUp", true, 4, 0, false, false, false, nullptr,
                     "  Orvanta.conf not read; the tunnel's destinations are not kept in it\r\n",
                     true, 2, true},
        RecoveryCase{"TunnelUpWithNoApplications", true, 4, 0, false, false, false, nullptr,
                     nullptr, false, 0, false, true},
        RecoveryCase{"TunnelStillStartingWithNoApplications", true, 2, 3000, false, true, false,
                     nullptr, "per-app split resumed", false, 0, false, true},
        RecoveryCase{"TunnelUpAfterACrashAndAReboot", true, 4, 0, false, true, false, nullptr,
                     nullptr, true, 0, true},
        RecoveryCase{"TunnelUpOnAnotherNetwork", true, 4, 0, false, false, true, nullptr,
                     "  physical default route: ifIndex=8\r\n", true, 2, true},
        RecoveryCase{"TunnelGoneAfterACrash", false, 0, 0, false, false, false, nullptr, nullptr,
                     false, 0, false},
        RecoveryCase{"TunnelStoppedByHand", true, 1, kNever, false, false, false, nullptr, nullptr,
                     false, 0, true},
        RecoveryCase{"TunnelStillStartingAfterAReboot", true, 2, 3000, false, true, false, nullptr,
                     "  tunnel service running 3 s after start; per-app split resumed\r\n", true, 0,
                     true},
        RecoveryCase{"TunnelSetToStartWithTheMachine", true, 1, 2000, true, true, false, nullptr,
                     "per-app split resumed", true, 0, true},
        RecoveryCase{"TunnelThatNeverRuns", true, 2, kNever, false, true, false, nullptr,
                     "  tunnel service not running 120 s after start; per-app split waits for "
                     "the next connect\r\n",
                     false, 0, true},
        RecoveryCase{"SavedRowNowThroughAnotherNextHop", true, 4, 0, false, false, false,
                     [](std::string&) {
                         for (platform::ForwardRow& row : fake::TheWorld().routeTable) {
                             if (row.dest == NetworkOrder(192, 0, 2, 10)) {
                                 row.nextHop = NetworkOrder(192, 168, 1, 254);  // not ours
                             }
                         }
                     },
                     nullptr, true, 1, true, false, SIZE_MAX, 0, 1},
        RecoveryCase{"SavedRouteIntoTheTunnelIsDeletedNotAdopted", true, 4, 0, false, false, false,
                     [](std::string&) {
                         fake::TheWorld().files[L"C:\\ProgramData\\Orvanta\\Orvanta.conf"] =
                             "DNS = 192.0.2.10\n";
                         fake::TheWorld().deleteResults = {5};
                     },
                     "  tunnel destinations kept in the tunnel: 192.0.2.10\r\n2026-06-27 "
                     "09:05:03  bypass route not deleted: 192.0.2.10 err=5\r\n",
                     true, 1, true, false, SIZE_MAX, 1},
        RecoveryCase{"Missing", true, 4, 0, false, false, false, &Remove,
                     "  state file missing; ignored\r\n", false, 0, false, false, SIZE_MAX, 0, 2,
                     1},
        RecoveryCase{
            "Torn", true, 4, 0, false, false, false, [](std::string& file) { file.pop_back(); },
            "  state file malformed; ignored\r\n", false, 0, false, false, SIZE_MAX, 0, 2, 1},
        RecoveryCase{"ForeignLine", true, 4, 0, false, false, false,
                     [](std::string& file) { file += "bypass 1 2\n"; },
                     "  state file malformed; ignored\r\n", false, 0, false, false, SIZE_MAX, 0, 2,
                     1},
        RecoveryCase{"Ipv6LineInAnIpv4OnlyFile", true, 4, 0, false, false, false,
                     [](std::string& file) {
                         WrittenBeforeIpv6(file);
                         file += "bypass6 26064700000000000000000000001111\n";
                     },
                     "  state file malformed; ignored\r\n", false, 0, false, false, SIZE_MAX, 0, 2,
                     1},
        RecoveryCase{"WrittenBeforeIpv6", true, 4, 0, false, false, false, &WrittenBeforeIpv6,
                     nullptr, true, 2, true, false, 0, 0, 0, 1}),
    [](const auto& info) { return info.param.name; });

}  // namespace
