// Tunnel connect and disconnect, and the tunnel commands, against the fake world. Waits are
// asserted on the fake clock, whose sleeps round up to Windows' 15.625 ms tick; never timed.
#include "control/dispatcher.h"
#include "split_fixture.h"
#include "tunnel/configuration.h"
#include "tunnel/connect.h"
#include "tunnel/disconnect.h"
#include "tunnel/service_monitor.h"
#include "tunnel/tunnel_start_watch.h"

namespace {

const std::wstring kAwg = L"C:\\Program Files\\Orvanta\\awg\\amneziawg.exe";
const std::wstring kConfig = L"C:\\ProgramData\\Orvanta\\Orvanta.conf";
const std::wstring kService = L"AmneziaWGTunnel$Orvanta";
const std::wstring kInstallLine =
    L"\"" + kAwg + L"\" /installtunnelservice \"C:\\ProgramData\\Orvanta\\Orvanta.conf\"";
const std::wstring kUninstallLine = L"\"" + kAwg + L"\" /uninstalltunnelservice Orvanta";

std::vector<uint32_t> Sleeps(size_t count, uint32_t ms) {
    return std::vector<uint32_t>(count, ms);
}

// The clock stands where `waits` bounded waits adding up to `ms` end: each within a timer
// tick of its bound.
void ExpectElapsed(uint64_t ms, int waits = 1) {
    EXPECT_GE(fake::ClockMs(), ms);
    EXPECT_LT(fake::ClockMs(), ms + 16 * waits);
}

class ConnectTest : public SplitFixture {
  protected:
    void SetUp() override {
        SplitFixture::SetUp();
        W().files[kAwg] = "";
        platform::ForwardRow defaultRoute;
        defaultRoute.ifIndex = 7;
        defaultRoute.nextHop = NetworkOrder(192, 168, 1, 1);
        defaultRoute.metric1 = 25;
        W().routeTable = {defaultRoute};
        W().divert.loadablePaths = {kDivertBesideHelper};
    }

    // A tunnel service in the given state, optionally changing later on the fake clock.
    static fake::ProgramRun CreatesService(uint32_t state = platform::kServiceRunning) {
        return {true, 0, [state] { W().services[kService] = InState(state); }};
    }
    static fake::ProgramRun Fails(uint32_t code) { return {true, code, nullptr}; }
    static fake::ProgramRun RemovesService() {
        return {true, 0, [] { W().services.erase(kService); }};
    }
    static fake::ProgramRun LeavesService() { return {true, 0, nullptr}; }
    static fake::Service InState(uint32_t state) {
        fake::Service service;
        service.state = state;
        return service;
    }

    static void StartRunningSniffer() {
        SetTunnelUp(true);
        ChangeSplitApps(L"chrome.exe");
        ASSERT_TRUE(fake::WaitUntilReceiving());
    }
};

TEST_F(ConnectTest, MissingExecutableTouchesNothing) {
    W().files.erase(kAwg);
    StartRunningSniffer();
    EXPECT_FALSE(ConnectTunnel(L"[Interface]"));
    EXPECT_EQ(W().files.count(kConfig), 0u);
    EXPECT_TRUE(SnifferRunning()) << "a running sniffer keeps running";
    EXPECT_TRUE(IsTunnelUp());
    EXPECT_TRUE(W().commandLines.empty());
    EXPECT_EQ(Log().substr(Log().find("amneziawg")), "amneziawg.exe not found\r\n");
}

TEST_F(ConnectTest, ConfigurationFileThatCannotBeCreatedEndsTheConnectWithItsErrorLogged) {
    W().directories.insert(L"C:\\ProgramData\\Orvanta");
    W().directories.insert(kConfig);  // a directory planted under the configuration's name
    StartRunningSniffer();
    EXPECT_FALSE(ConnectTunnel(L"[Interface]"));
    EXPECT_TRUE(W().commandLines.empty());
    EXPECT_TRUE(SnifferRunning());
    EXPECT_TRUE(IsTunnelUp());
    EXPECT_NE(Log().find("  Orvanta.conf not written err=5\r\n"), std::string::npos);
}

// With no application listed, a tunnel that blocks what it does not carry needs no word.
TEST_F(ConnectTest, RunningTunnelAtOnceNeedsNoSleepAndStartsNoSnifferWithoutApps) {
    W().programRuns = {CreatesService()};
    EXPECT_TRUE(ConnectTunnel(L"[Interface]\nPrivateKey = x\n[Peer]\nAllowedIPs = 0.0.0.0/0\n"));
    EXPECT_EQ(W().files[kConfig], "[Interface]\nPrivateKey = x\n[Peer]\nAllowedIPs = 0.0.0.0/0\n");
    EXPECT_EQ(W().commandLines, std::vector<std::wstring>{kInstallLine});
    EXPECT_TRUE(W().sleeps.empty());
    EXPECT_TRUE(IsTunnelUp());
    EXPECT_FALSE(SnifferRunning());
    EXPECT_EQ(State().route.ifIndex, 7u);
    EXPECT_EQ(Log(), "2026-06-27 09:05:03  physical default route: ifIndex=7\r\n" + kNoIpv6Line);
}

TEST_F(ConnectTest, SuccessfulConnectStartsTheSnifferForListedAppsAndSaysWhatTheTunnelBlocks) {
    ChangeSplitApps(L"chrome.exe");
    W().programRuns = {CreatesService()};
    EXPECT_TRUE(ConnectTunnel(L"[Peer]\nAllowedIPs = ::/0, 0.0.0.0/0\n"));
    EXPECT_TRUE(SnifferRunning());
    EXPECT_TRUE(fake::WaitUntilReceiving());
    EXPECT_NE(Log().find("  the only peer allows 0.0.0.0/0, ::/0: the tunnel program then blocks "
                         "traffic outside the tunnel and bypassed applications get no "
                         "connection; allow 0.0.0.0/1, 128.0.0.0/1, ::/1, 8000::/1 instead\r\n"),
              std::string::npos)
        << Log();
}

struct BlockCase {
    const char* name;
    std::wstring configuration;
    std::wstring blocks;
};

class BlockTest : public ::testing::TestWithParam<BlockCase> {};

TEST_P(BlockTest, OnlyASinglePeerAllowingEverythingBlocksBypassedTraffic) {
    EXPECT_EQ(RoutesThatBlockBypass(GetParam().configuration), GetParam().blocks);
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, BlockTest,
    ::testing::Values(
        BlockCase{"AllIpv4", L"[Interface]\nPrivateKey = k\n[Peer]\nAllowedIPs = 0.0.0.0/0",
                  L"0.0.0.0/0"},
        BlockCase{"AllIpv6AndCaseAndBlanks", L"[PEER]\r\n  allowedips=10.0.0.0/8 ,::/0 \r\n",
                  L"::/0"},
        BlockCase{"AllIpv4WithAComment", L"[Peer]\nAllowedIPs = 0.0.0.0/0 # all", L"0.0.0.0/0"},
        BlockCase{"SplitForm", L"[Peer]\nAllowedIPs = 0.0.0.0/1, 128.0.0.0/1, ::/1, 8000::/1", L""},
        BlockCase{"TwoPeers", L"[Peer]\nAllowedIPs = 0.0.0.0/0\n[Peer]\nAllowedIPs = 10.0.0.0/8",
                  L""},
        BlockCase{"RoutingOff", L"[Interface]\nTable = off\n[Peer]\nAllowedIPs = 0.0.0.0/0", L""},
        BlockCase{"CommentedOut",
                  L"[Peer]\n# AllowedIPs = 0.0.0.0/0\nAllowedIPs = 1.2.3.4/32 # 0/0", L""},
        BlockCase{"NotAZeroAddress",
                  L"[Peer]\nAllowedIPs = 1.2.3.4/0, 0.0.0/0, 0..0.0/0, 0.0.0.0/00", L""},
        BlockCase{"InTheInterface", L"[Interface]\nAllowedIPs = 0.0.0.0/0\n[Peer]\n", L""},
        BlockCase{"Empty", L"", L""}),
    [](const auto& info) { return info.param.name; });

struct KeptCase {
    const char* name;
    std::wstring configuration;
    std::wstring kept;
};

class KeptTest : public ::testing::TestWithParam<KeptCase> {};

TEST_P(KeptTest, ConfigurationKeepsItsResolversSubnetsAndClaimedNetworks) {
    EXPECT_EQ(TunnelDestinationsOf(GetParam().configuration).Text(7), GetParam().kept);
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, KeptTest,
    ::testing::Values(
        KeptCase{
            "FoldedKeysRepeatedAndCommented",
            L"\uFEFFAddress = 10.8.0.2/24\r\n dNS\t= 8.8.8.8, corp.example , fd00::53\n"
            L"DNS=1.1.1.1 # 9.9.9.9\nDNS = 2.2.2.2/32\nPostUp = 3.3.3.3\rAddRe\u017F\u017F = ::1",
            L"10.8.0.0/24, 1.1.1.1, 8.8.8.8, ::1, fd00::53"},
        KeptCase{"AllowedIpsOfEveryPeerThatClaimANetwork",
                 L"[Peer]\nAllowedIPs = 10.0.0.0/8, 0.0.0.0/1, 200.0.0.0/5, 198.51.100.0/24, "
                 L"172.31.0.0/16, 172.32.0.0/16, 192.168.0.0/16, 192.169.0.0/16\n[Peer]\n"
                 L"AllowedIPs = 100.64.0.0/10, 100.0.0.0/9, 11.0.0.0/23, fc00::/7, fe00::/7, "
                 L"2001:db8::/48, 2001:db8::/47, ::/0",
                 L"10.0.0.0/8, 100.64.0.0/10, 172.31.0.0/16, 192.168.0.0/16, 198.51.100.0/24, "
                 L"fc00::/7, 2001:db8::/48"},
        KeptCase{"EntriesThatDoNotParse",
                 L"Address = 10.8.0.300, 010.1.1.1, 1.2.3, 1.2.3.4/33, 1.2.3.4/, 1.2.3.4/08, "
                 L"::1/129, 1::2::3, 1:2:3:4:5:6:7:8:9, :1::, fe80::1%1, 12345::, 10.8.0.2, "
                 L"1:2:3:4:5:6:7::, ::ffff:1.2.3.4, 2001:DB8::1/64",
                 L"10.8.0.2, 2001:db8::/64, ::ffff:102:304, 1:2:3:4:5:6:7:0"}),
    [](const auto& info) { return info.param.name; });

// What the connect wrote is what stays in the tunnel, logged once, at most 16 entries named.
TEST_F(ConnectTest, ConnectKeepsWhatItsConfigurationKeepsInTheTunnel) {
    std::wstring resolvers = L"DNS = 10.0.0.1";
    for (int host = 2; host <= 18; ++host) {
        resolvers += L", 10.0.0." + std::to_wstring(host);
    }
    W().programRuns = {CreatesService()};
    EXPECT_TRUE(ConnectTunnel(resolvers + L"\nPostUp = x\rAddress = 10.9.0.1"));
    EXPECT_NE(Log().find("  tunnel destinations kept in the tunnel: 10.0.0.1, 10.0.0.2, 10.0.0.3, "
                         "10.0.0.4, 10.0.0.5, 10.0.0.6, 10.0.0.7, 10.0.0.8, 10.0.0.9, 10.0.0.10, "
                         "10.0.0.11, 10.0.0.12, 10.0.0.13, 10.0.0.14, 10.0.0.15, 10.0.0.16 and 2 "
                         "more\r\n"),
              std::string::npos)
        << Log();
    EXPECT_EQ(TunnelDestinationCount(), 18u) << "a dropped script line keeps nothing";
}

// Script lines never reach the file: the tunnel program could run them as Local System.
TEST_F(ConnectTest, ConfigurationBytesAreTheUtf8TextUpToItsFirstNulWithoutScriptLines) {
    const struct {
        std::wstring text;
        std::string bytes;
        std::string dropped;  // the keys the log names, empty when none
    } cases[] = {
        {L"", "", ""},
        {std::wstring(L"ab\0PostUp = x", 14), "ab", ""},
        {L"Name = \u00C4\u20AC", "Name = \xC3\x84\xE2\x82\xAC", ""},
        {L"[Interface]\nPostUp = calc\r\nAddress = 1\n", "[Interface]\nAddress = 1\n", "PostUp"},
        {L" pOsTuP\u00A0= a\n[Peer]\nPREDOWN=b\npostdown =c\n\tpreup= d\nPostUp=e", "[Peer]",
         "PostUp, PreDown, PostDown, PreUp"},
        {L"Po\u017Ftup = long s\nAddress = 1\rPostUp = after a lone CR\nB = 2", "B = 2", "PostUp"},
        {L"# PostUp = x\nDNS = 1 # PostUp = y\nPostUpX = 1\nPost Up = 2",
         "# PostUp = x\nDNS = 1 # PostUp = y\nPostUpX = 1\nPost Up = 2", ""}};
    for (const auto& [text, bytes, dropped] : cases) {
        W().files.erase(kTestLog);
        W().programRuns = {CreatesService()};
        EXPECT_TRUE(ConnectTunnel(text));
        EXPECT_EQ(W().files[kConfig], bytes);
        EXPECT_EQ(Log().find("script keys dropped from the configuration: " + dropped + "\r\n") !=
                      std::string::npos,
                  !dropped.empty())
            << Log();
    }
}

// A watch for a tunnel still starting must not decide the tunnel while a connect does.
TEST_F(ConnectTest, ConnectEndsAStartWatchBeforeItRunsTheTunnelProgram) {
    static size_t runsWhenSettled;
    runsWhenSettled = 99;
    W().services[kService] = InState(platform::kServiceStartPending);
    ASSERT_TRUE(StartTunnelStartWatch(UINT64_MAX, [](TunnelStartOutcome outcome) {
        runsWhenSettled = outcome == TunnelStartOutcome::Ended ? W().commandLines.size() : 98;
    }));
    W().programRuns = {RemovesService(), CreatesService()};
    EXPECT_TRUE(ConnectTunnel(L"[Interface]"));
    EXPECT_EQ(runsWhenSettled, 0u);
}

TEST_F(ConnectTest, LeftoverServiceIsRemovedFirstWithUpTo12SecondsOfWaiting) {
    W().services[kService] = InState(platform::kServiceRunning);
    W().programRuns = {LeavesService(), CreatesService()};
    EXPECT_TRUE(ConnectTunnel(L"x"));
    EXPECT_EQ(W().commandLines, (std::vector<std::wstring>{kUninstallLine, kInstallLine}));
    ExpectElapsed(12000);
}

TEST_F(ConnectTest, ConnectStopsARunningSnifferAndItsRoutesBeforeInstalling) {
    StartRunningSniffer();
    Seed([&](SplitParts& s) { s.ipv4.held.insert(NetworkOrder(192, 0, 2, 10)); });
    bool stoppedBeforeInstall = false;
    W().programRuns = {{true, 0, [&] {
                            stoppedBeforeInstall = !SnifferRunning() && !W().deletedRoutes4.empty();
                            W().services[kService] = InState(platform::kServiceRunning);
                        }}};
    EXPECT_TRUE(ConnectTunnel(L"x"));
    EXPECT_TRUE(stoppedBeforeInstall);
    EXPECT_TRUE(SnifferRunning()) << "started again for the listed app";
}

TEST_F(ConnectTest, InstallThatFailsOnceIsRetriedAfterTheRemovalWaitAndAPause) {
    W().programRuns = {{true, 1, [] { W().services[kService] = InState(1); }}, CreatesService()};
    EXPECT_TRUE(ConnectTunnel(L"x"));
    EXPECT_EQ(W().commandLines, (std::vector<std::wstring>{kInstallLine, kInstallLine}));
    ExpectElapsed(4000 + 500);
    EXPECT_EQ(W().sleeps.back(), 500u);
    EXPECT_EQ(Log().find("failed"), std::string::npos);
}

TEST_F(ConnectTest, ThreeFailedInstallsGiveUpWithTheTunnelMarkedDown) {
    SetTunnelUp(true);  // from an earlier connect whose service the first step removed
    W().services[kService] = InState(platform::kServiceRunning);
    ChangeSplitApps(L"chrome.exe");
    W().programRuns = {RemovesService(), Fails(1), {true, 259, nullptr}, {false, 0, nullptr}};
    EXPECT_FALSE(ConnectTunnel(L"x"));
    EXPECT_EQ(W().commandLines, (std::vector<std::wstring>{kUninstallLine, kInstallLine,
                                                           kInstallLine, kInstallLine}));
    EXPECT_EQ(W().sleeps, Sleeps(3, 500));
    EXPECT_EQ(W().files.count(kConfig), 1u);
    EXPECT_FALSE(IsTunnelUp());
    EXPECT_FALSE(SnifferRunning());
    EXPECT_NE(Log().find("physical default route: ifIndex=7\r\n"), std::string::npos);
    EXPECT_NE(Log().find("  tunnel install failed\r\n"), std::string::npos);
    ChangeSplitApps(L"firefox.exe");
    EXPECT_FALSE(SnifferRunning()) << "no sniffer without a tunnel";
}

TEST_F(ConnectTest, TunnelThatNeverRunsIsRolledBack) {
    Seed([&](SplitParts& s) {
        s.ipv4.held.insert(NetworkOrder(192, 0, 2, 10));
        s.apps = {L"chrome.exe"};
    });
    W().programRuns = {CreatesService(2), LeavesService()};
    EXPECT_FALSE(ConnectTunnel(L"DNS = 10.0.0.1"));
    EXPECT_EQ(TunnelDestinationCount(), 0u) << "no tunnel keeps anything";
    ExpectElapsed(15000 + 8000, 2);
    EXPECT_LT(W().serviceProbes, 200) << "quick looks for a second only";
    EXPECT_EQ(W().commandLines, (std::vector<std::wstring>{kInstallLine, kUninstallLine}));
    EXPECT_FALSE(IsTunnelUp());
    EXPECT_FALSE(SnifferRunning());
    EXPECT_EQ(W().deletedRoutes4.size(), 1u);
    EXPECT_TRUE(State().bypassRoutes.empty());
    EXPECT_NE(Log().find("  tunnel did not come up; uninstalling to restore connectivity\r\n"),
              std::string::npos);
}

TEST_F(ConnectTest, TunnelThatRunsLateIsUp) {
    W().programRuns = {{true, 0, [] {
                            fake::Service starting = InState(2);
                            starting.runsAt = fake::ClockMs() + 2000;
                            W().services[kService] = starting;
                        }}};
    EXPECT_TRUE(ConnectTunnel(L"x"));
    EXPECT_GE(fake::ClockMs(), 2000u);
    EXPECT_LT(fake::ClockMs(), 2500u) << "noticed at the first look after it runs";
}

// The last answer alone decides: a tunnel seen running by the wait but dead at the final
// look is rolled back.
TEST_F(ConnectTest, ServiceThatDiesAfterTheWaitIsRolledBack) {
    W().programRuns = {{true, 0,
                        [] {
                            fake::Service dying = InState(platform::kServiceRunning);
                            dying.statusReadsUntilStopped = 1;
                            W().services[kService] = dying;
                        }},
                       RemovesService()};
    EXPECT_FALSE(ConnectTunnel(L"x"));
    EXPECT_FALSE(IsTunnelUp());
    EXPECT_EQ(W().commandLines, (std::vector<std::wstring>{kInstallLine, kUninstallLine}));
}

TEST_F(ConnectTest, DisconnectWaitsForTheServiceToStop) {
    W().services[kService] = InState(platform::kServiceRunning);
    SetTunnelUp(true);
    LearnTunnelDestinations(L"DNS = 10.0.0.1");
    W().programRuns = {{true, 0, [] { W().services[kService].stopsAt = fake::ClockMs() + 1000; }}};
    DisconnectTunnel();
    EXPECT_EQ(W().commandLines, std::vector<std::wstring>{kUninstallLine});
    EXPECT_GE(fake::ClockMs(), 1000u);
    EXPECT_LT(fake::ClockMs(), 1400u);
    EXPECT_FALSE(IsTunnelUp());
    EXPECT_EQ(TunnelDestinationCount(), 0u);
}

TEST_F(ConnectTest, DisconnectGivesUpAfterEightSecondsAndStillMarksTheTunnelDown) {
    W().services[kService] = InState(platform::kServiceRunning);
    SetTunnelUp(true);
    W().programRuns = {LeavesService()};
    DisconnectTunnel();
    ExpectElapsed(8000);
    EXPECT_FALSE(IsTunnelUp());
}

TEST_F(ConnectTest, DisconnectWithoutTheExecutableRunsNothingButStillWaits) {
    W().files.erase(kAwg);
    W().services[kService] = InState(platform::kServiceRunning);
    SetTunnelUp(true);
    DisconnectTunnel();
    EXPECT_TRUE(W().commandLines.empty());
    ExpectElapsed(8000);
    EXPECT_FALSE(IsTunnelUp());
    EXPECT_EQ(W().files.count(kTestLog), 0u);
}

TEST_F(ConnectTest, DisconnectWithoutAServiceRunsNothingAndDoesNotSleep) {
    DisconnectTunnel();
    EXPECT_TRUE(W().commandLines.empty());
    EXPECT_TRUE(W().sleeps.empty());
    EXPECT_FALSE(IsTunnelUp());
}

TEST_F(ConnectTest, DisconnectStopsTheSnifferAndItsRoutesBeforeUninstalling) {
    StartRunningSniffer();
    W().services[kService] = InState(platform::kServiceRunning);
    Seed([&](SplitParts& s) { s.ipv4.held.insert(NetworkOrder(192, 0, 2, 10)); });
    bool stoppedFirst = false;
    W().programRuns = {{true, 0, [&] {
                            stoppedFirst = !SnifferRunning() && W().deletedRoutes4.size() == 1;
                            W().services.erase(kService);
                        }}};
    DisconnectTunnel();
    EXPECT_TRUE(stoppedFirst);
    EXPECT_TRUE(State().bypassRoutes.empty());
}

TEST_F(ConnectTest, BadOrEmptyBase64LeavesEveryPieceOfStateUntouched) {
    StartRunningSniffer();
    W().services[kService] = {};
    for (const char* request : {"connect not*base64", "connect", "connect ", "connect  \r"}) {
        EXPECT_EQ(CommandDispatcher(request), "ERR bad base64") << "no configuration is empty";
    }
    EXPECT_TRUE(W().commandLines.empty()) << "the running tunnel stays";
    EXPECT_EQ(W().files.count(kConfig), 0u);
    EXPECT_TRUE(IsTunnelUp());
    EXPECT_TRUE(SnifferRunning());
}

TEST_F(ConnectTest, TunnelCommandsThroughTheDispatcher) {
    EXPECT_EQ(CommandDispatcher("status"), "STOPPED");
    W().programRuns = {CreatesService()};
    EXPECT_EQ(CommandDispatcher("CONNECT W0ludGVyZmFjZV0="), "OK");
    EXPECT_EQ(W().files[kConfig], "[Interface]");
    EXPECT_EQ(CommandDispatcher("Status with words"), "RUNNING");
    EXPECT_EQ(CommandDispatcher("splitapps A.exe ; B.EXE"), "OK");
    EXPECT_EQ(Apps(), (std::set<std::wstring>{L"a.exe", L"b.exe"}));
    EXPECT_TRUE(SnifferRunning());
    EXPECT_EQ(CommandDispatcher("splitapps"), "OK");
    EXPECT_FALSE(SnifferRunning());
    W().programRuns = {RemovesService()};
    EXPECT_EQ(CommandDispatcher("disconnect"), "OK");
    EXPECT_EQ(CommandDispatcher("status"), "STOPPED");
    EXPECT_EQ(CommandDispatcher("disconnect"), "OK") << "also with no tunnel";
    W().programRuns = {Fails(1), Fails(1), Fails(1)};
    EXPECT_EQ(CommandDispatcher("connect  W0ludGVyZmFjZV0="), "ERR connect failed");
    EXPECT_EQ(CommandDispatcher("connect\tW0ludGVyZmFjZV0="), "ERR unknown");
}

TEST_F(ConnectTest, InvalidUtf8InTheConfigurationBecomesReplacementCharacters) {
    W().programRuns = {CreatesService()};
    EXPECT_EQ(CommandDispatcher("connect Qf9C"), "OK");  // "A", 0xFF, "B"
    EXPECT_EQ(W().files[kConfig],
              "A\xEF\xBF\xBD"
              "B");
}

}  // namespace
