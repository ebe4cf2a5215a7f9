// The tunnel connect against the fake world.
#include "split/route_manager.h"
#include "tunnel/configuration.h"
#include "tunnel/connect.h"
#include "tunnel/service_monitor.h"
#include "tunnel/tunnel_start_watch.h"
#include "split/address_text.h"
#include "tunnel_fixture.h"

namespace {

class ConnectTest : public TunnelFixture {};

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
    RememberRoute(MappedAddress(NetworkOrder(198, 51, 100, 7)), L"chrome.exe");
    W().threadsHeld = true;
    EXPECT_TRUE(ConnectTunnel(L"[Peer]\nAllowedIPs = ::/0, 0.0.0.0/0\n"));
    EXPECT_TRUE(W().createdRoutes4.empty()) << "the reply goes before any remembered route";
    W().threadsHeld = false;
    EXPECT_TRUE(SnifferRunning());
    EXPECT_TRUE(fake::WaitUntilReceiving());
    EXPECT_TRUE(fake::WaitUntil([] { return BypassRoutesHeld(); }));
    EXPECT_NE(Log().find("  the only peer allows 0.0.0.0/0, ::/0: the tunnel program then blocks "
                         "traffic outside the tunnel and bypassed applications get no "
                         "connection; allow 0.0.0.0/1, 128.0.0.0/1, ::/1, 8000::/1 instead\r\n"),
              std::string::npos)
        << Log();
}

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

}  // namespace
