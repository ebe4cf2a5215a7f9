// The service runtime, the installer and the command line against the fake world.
#include "app/entry.h"
#include "control/pipe_server.h"
#include "service/installer.h"
#include "service/recovery.h"
#include "service/runtime.h"
#include "split/physical_route.h"
#include "split/route_family.h"
#include "split/route_manager.h"
#include "split_fixture.h"

namespace {

class ServiceTest : public SplitFixture {
  protected:
    static void StopWhenIdle() {
        W().whenNoClientsLeft = [] { ServiceControlHandler(1, 0, nullptr, nullptr); };
    }
    static void ExpectReport(size_t index, uint32_t state, uint32_t accepted,
                             uint32_t win32ExitCode = 0, uint32_t checkpoint = 0) {
        SCOPED_TRACE(index);
        ASSERT_LT(index, W().statusReports.size());
        const platform::ServiceStatusReport& r = W().statusReports[index];
        EXPECT_EQ(r.serviceType, 0x10u);
        EXPECT_EQ(r.currentState, state);
        EXPECT_EQ(r.controlsAccepted, accepted);
        EXPECT_EQ(r.win32ExitCode, win32ExitCode);
        EXPECT_EQ(r.serviceExitCode, 0u);
        EXPECT_EQ(r.checkpoint, checkpoint);
        EXPECT_EQ(r.waitHint, 5000u);
    }
};

TEST_F(ServiceTest, StartAndStopReportEachStateInTurn) {
    StopWhenIdle();
    fake::PipeClient client;
    client.writes = {"ping\n"};
    W().waitingClients.push_back(client);
    EXPECT_EQ(HelperMain({L"OrvantaHelper.exe", L"--run"}), 0);
    ASSERT_EQ(W().statusReports.size(), 4u);
    ExpectReport(0, 2, 0);        // start pending
    ExpectReport(1, 4, 5);        // running, accepts stop and shutdown
    ExpectReport(2, 3, 0, 0, 1);  // stop pending, from the handler
    ExpectReport(3, 1, 0);        // stopped
    EXPECT_EQ(W().servedClients.front().reply, "OK\n");
    EXPECT_EQ(Log(),
              "2026-06-27 09:05:03  service starting\r\n"
              "2026-06-27 09:05:03  state file missing; ignored\r\n"
              "2026-06-27 09:05:03  service stopping\r\n");
}

// A stop that arrives during a long command waits for it: meanwhile the service manager sees
// the stop progress, once a second, until the stopped report.
TEST_F(ServiceTest, PendingStopReportsProgressUntilTheServiceHasStopped) {
    W().whenNoClientsLeft = [] {
        ServiceControlHandler(1, 0, nullptr, nullptr);
        ASSERT_EQ(W().timers.size(), 1u);
        W().timers[0]();  // two seconds of a command still running
        W().timers[0]();
    };
    ServiceMain(0, nullptr);
    ASSERT_EQ(W().statusReports.size(), 6u);
    for (uint32_t checkpoint = 1; checkpoint <= 3; ++checkpoint) {
        ExpectReport(1 + checkpoint, 3, 0, 0, checkpoint);
    }
    ExpectReport(5, 1, 0);
    EXPECT_TRUE(W().timers.empty()) << "no progress report after the stopped one";
}

// In the foreground, Ctrl+C (or a closed console) ends the pipe loop; splitting then stops
// and its routes go before the process exits, as in the service. The tunnel stays up.
TEST_F(ServiceTest, ConsoleStopRemovesTheRoutesAndLeavesTheTunnel) {
    W().divert.loadablePaths = {kDivertBesideHelper};
    W().services[L"AmneziaWGTunnel$Orvanta"] = fake::Service{};
    W().whenNoClientsLeft = [] {
        SetTunnelUp(true);
        W().routeTable = {DefaultRow(7, NetworkOrder(192, 168, 1, 1), 35)};
        ChangeSplitApps(L"chrome.exe");
        AddBypassRoute(NetworkOrder(192, 0, 2, 10));
        ASSERT_TRUE(fake::WaitUntilReceiving());
        platform::SignalEvent(W().consoleStop);  // what the console control handler does
    };
    EXPECT_EQ(HelperMain({L"OrvantaHelper.exe", L"--console"}), 0);
    EXPECT_FALSE(SnifferRunning());
    ASSERT_EQ(W().deletedRoutes4.size(), 1u);
    EXPECT_EQ(W().deletedRoutes4[0].dest, NetworkOrder(192, 0, 2, 10));
    EXPECT_TRUE(W().consoleStopDone);
    EXPECT_EQ(W().services.count(L"AmneziaWGTunnel$Orvanta"), 1u);
}

// Asked while the pipe serves: only a stop or a shutdown reports and ends the pipe loop.
TEST_F(ServiceTest, HandlerAnswersStopShutdownAndInterrogateOnly) {
    for (uint32_t control : {1u, 5u}) {
        W().whenNoClientsLeft = [control] {
            const size_t reports = W().statusReports.size();
            const std::pair<uint32_t, uint32_t> answers[] = {
                {4, 0}, {2, 120}, {3, 120}, {0x40, 120}};
            for (const auto& [other, result] : answers) {
                EXPECT_EQ(ServiceControlHandler(other, 0, nullptr, nullptr), result) << other;
            }
            EXPECT_EQ(W().statusReports.size(), reports);
            EXPECT_FALSE(platform::IsEventSignalled(W().pipeStop));
            EXPECT_EQ(ServiceControlHandler(control, 0, nullptr, nullptr), 0u);
            EXPECT_TRUE(platform::IsEventSignalled(W().pipeStop)) << control;
            EXPECT_EQ(W().statusReports.back().currentState, 3u);
        };
        ServiceMain(0, nullptr);
    }
}

TEST_F(ServiceTest, FailedHandlerRegistrationReportsAndStartsNothing) {
    W().handlerRegistrationFails = true;
    ServiceMain(0, nullptr);
    EXPECT_TRUE(W().statusReports.empty());
    EXPECT_EQ(W().instancesCreated, 0);
    EXPECT_EQ(W().files.count(kTestLog), 0u);
}

TEST_F(ServiceTest, StopEventThatCannotBeCreatedEndsTheServiceWithItsErrorCode) {
    W().eventCreationFails = true;
    ServiceMain(0, nullptr);
    ASSERT_EQ(W().statusReports.size(), 2u);
    ExpectReport(0, 2, 0);
    ExpectReport(1, 1, 0, 1450);
    EXPECT_EQ(W().instancesCreated, 0);
}

// Serving no one while reporting running would keep the failure actions from restarting it.
TEST_F(ServiceTest, PipeNameTakenFor30SecondsStopsTheServiceAsFailed) {
    W().pipeNameTakenFor = 1000;
    ServiceMain(0, nullptr);
    ASSERT_EQ(W().statusReports.size(), 3u);
    ExpectReport(2, 1, 0, 5);
    EXPECT_EQ(HelperMain({L"h", L"--console"}), 1);
}

TEST_F(ServiceTest, StopEndsARunningSnifferAndRemovesItsRoutesButLeavesTheTunnel) {
    W().divert.loadablePaths = {kDivertBesideHelper};
    W().services[L"AmneziaWGTunnel$Orvanta"] = fake::Service{};
    SetTunnelUp(true);
    UseSplitStateFile(true);
    W().routeTable = {DefaultRow(7, NetworkOrder(192, 168, 1, 1), 35)};
    ChangeSplitApps(L"chrome.exe");
    ASSERT_TRUE(fake::WaitUntilReceiving());
    AddBypassRoute(NetworkOrder(192, 0, 2, 10));
    SaveSplitState();
    StopWhenIdle();
    ServiceMain(0, nullptr);
    EXPECT_FALSE(SnifferRunning());
    EXPECT_EQ(W().deletedRoutes4.size(), 1u);
    EXPECT_EQ(W().services.count(L"AmneziaWGTunnel$Orvanta"), 1u);
    EXPECT_TRUE(W().commandLines.empty());
    EXPECT_NE(Log().find("WinDivert sniffer stopped\r\n2026-06-27 09:05:03  service stopping"),
              std::string::npos);
}

TEST_F(ServiceTest, StopWithoutASnifferLeavesTheRoutingTableAlone) {
    Seed([&](SplitParts& s) { s.ipv4.held.insert(NetworkOrder(192, 0, 2, 10)); });
    StopWhenIdle();
    ServiceMain(0, nullptr);
    EXPECT_TRUE(W().deletedRoutes4.empty());
    EXPECT_EQ(W().statusReports.back().currentState, 1u);
}

TEST_F(ServiceTest, InstallCreatesTheServiceWithTheQuotedPathAndStartsIt) {
    W().modulePath = L"C:\\Program Files\\Orvanta\\" + std::wstring(280, L'x') + L".exe";
    EXPECT_EQ(HelperMain({L"h", L"--install"}), 0);
    EXPECT_EQ(W().scmCalls,
              (std::vector<std::string>{"open manager to create", "open service to change",
                                        "create", "failure actions", "failure flag", "start"}));
    const platform::OwnServiceConfig& config = W().installed.at(L"OrvantaHelper");
    EXPECT_EQ(config.displayName, L"Orvanta Helper");
    EXPECT_EQ(config.commandLine, L"\"" + W().modulePath + L"\" --run");
    EXPECT_EQ(W().failureActions.count(L"OrvantaHelper"), 1u);
    EXPECT_EQ(W().openScmHandles, 0);
}

TEST_F(ServiceTest, InstallOverAnExistingServiceRewritesItsConfiguration) {
    W().installed[L"OrvantaHelper"] = {L"OrvantaHelper", L"old", L"\"D:\\old.exe\" --run"};
    EXPECT_EQ(InstallService(), 0);
    EXPECT_EQ(W().scmCalls,
              (std::vector<std::string>{"open manager to create", "open service to change",
                                        "change", "failure actions", "failure flag", "start"}));
    EXPECT_EQ(W().installed.at(L"OrvantaHelper").commandLine,
              L"\"C:\\Program Files\\Orvanta\\OrvantaHelper.exe\" --run");
    // Restarted 1 s, 5 s and 30 s after failures, counted afresh after a day; error stops too.
    const platform::RestartPolicy& restart = W().failureActions.at(L"OrvantaHelper");
    EXPECT_EQ(restart.delaysMs, (std::vector<uint32_t>{1000, 5000, 30000}));
    EXPECT_EQ(restart.resetSeconds, 86400u);
    EXPECT_EQ(W().errorStopsCount.count(L"OrvantaHelper"), 1u);
    EXPECT_EQ(W().openScmHandles, 0);
    // A refusal leaves the service registered and started.
    W().failureActionsRefused = true;
    W().scmCalls.clear();
    EXPECT_EQ(InstallService(), 0);
    EXPECT_EQ(W().scmCalls.back(), "start");
}

TEST_F(ServiceTest, InstallReportsAManagerNotOpenedAndARefusedCreation) {
    W().managerOpenFails = true;
    EXPECT_EQ(InstallService(), 1);
    W().managerOpenFails = false;
    W().serviceCreationFails = true;
    EXPECT_EQ(InstallService(), 2);
    EXPECT_EQ(W().openScmHandles, 0);
    EXPECT_TRUE(W().installed.empty());
}

// Around the package's file operations: a running tunnel is stopped and noted, and started
// again only when noted; a removal takes the tunnel, its key and the state, not the log.
TEST_F(ServiceTest, PackageStepsStopAndRestartOnlyARunningTunnelAndRemovalTakesTheKey) {
    const std::wstring dir = L"C:\\ProgramData\\Orvanta\\", tunnel = L"AmneziaWGTunnel$Orvanta";
    for (const bool running : {true, false}) {
        SCOPED_TRACE(running);
        W().scmCalls.clear();
        W().services[tunnel].state =
            running ? platform::kServiceRunning : platform::kServiceStopped;
        EXPECT_EQ(HelperMain({L"h", L"--stop-tunnel-for-upgrade"}), 0);
        EXPECT_EQ(W().services[tunnel].state, platform::kServiceStopped);
        EXPECT_EQ(W().files.count(dir + L"tunnel.restart"), running ? 1u : 0u);
        EXPECT_EQ(HelperMain({L"h", L"--start-tunnel-after-upgrade"}), 0);
        EXPECT_EQ(HelperMain({L"h", L"--start-tunnel-after-upgrade"}), 0);  // taken once
        const std::vector<std::string> calls = {"stop AmneziaWGTunnel$Orvanta",
                                                "start AmneziaWGTunnel$Orvanta"};
        EXPECT_EQ(W().scmCalls, running ? calls : std::vector<std::string>{});
    }
    W().files[L"C:\\Program Files\\Orvanta\\awg\\amneziawg.exe"] = "";
    W().files[dir + L"Orvanta.conf"] = "[Interface]";
    W().files[dir + L"helper.state"] = "x";
    W().files[dir + L"helper.log"] = "";
    W().programRuns = {{true, 0, [tunnel] { W().services.erase(tunnel); }}};
    EXPECT_EQ(HelperMain({L"h", L"--remove-tunnel-and-key"}), 0);
    ASSERT_EQ(W().commandLines.size(), 1u);
    EXPECT_NE(W().commandLines[0].find(L"/uninstalltunnelservice Orvanta"), std::wstring::npos);
    EXPECT_EQ(W().files.count(dir + L"Orvanta.conf") + W().files.count(dir + L"helper.state"), 0u);
    EXPECT_EQ(W().files.count(dir + L"helper.log"), 1u);
}

// Each package step as the installer runs them, in turn: what it did to the tunnel service and
// the data files, and the log lines that say so, failures included.
struct PackageCase {
    const char* name;
    std::function<void()> arrange;
    std::vector<const wchar_t*> steps;
    std::vector<std::string> scmCalls;
    std::vector<std::string> lines;             // after the timestamp
    std::map<std::wstring, std::string> files;  // "" for gone; names in the data directory, or
                                                // "removal\" ones in the program's folder
};

class PackageStepTest : public ServiceTest, public ::testing::WithParamInterface<PackageCase> {};

const std::wstring kData = L"C:\\ProgramData\\Orvanta\\", kTunnel = L"AmneziaWGTunnel$Orvanta";

void TunnelRunsWithItsKey() {
    fake::TheWorld().services[kTunnel].state = platform::kServiceRunning;
    fake::TheWorld().files[L"C:\\Program Files\\Orvanta\\awg\\amneziawg.exe"] = "";
    for (const wchar_t* name : {L"Orvanta.conf", L"helper.state", L"tunnel.reinstall"}) {
        fake::TheWorld().files[L"C:\\Program Files\\Orvanta\\removal\\" + std::wstring(name)] = "";
    }
    fake::TheWorld().files[kData + L"Orvanta.conf"] = "key";
    fake::TheWorld().files[kData + L"helper.state"] = "state";
    fake::TheWorld().programRuns = {{true, 0, [] { fake::TheWorld().services.erase(kTunnel); }},
                                    {true, 0, [] { fake::TheWorld().services[kTunnel] = {}; }}};
}

TEST_P(PackageStepTest, DoesWhatItLogsAndLogsWhatFailed) {
    const PackageCase& c = GetParam();
    W().services[kTunnel].state = platform::kServiceRunning;
    c.arrange();
    for (const wchar_t* step : c.steps) {
        EXPECT_EQ(HelperMain({L"h", step}), 0);
    }
    EXPECT_EQ(W().scmCalls, c.scmCalls);
    std::string log;
    for (const std::string& line : c.lines) {
        log += "2026-06-27 09:05:03  " + line + "\r\n";
    }
    EXPECT_EQ(W().files[kData + L"helper.log"], log);
    for (const auto& [name, bytes] : c.files) {
        const std::wstring path =
            name.rfind(L"removal", 0) == 0 ? L"C:\\Program Files\\Orvanta\\" + name : kData + name;
        EXPECT_EQ(W().files.count(path) > 0 ? W().files[path] : "", bytes)
            << platform::WideToUtf8(name);
    }
}

const std::vector<std::string> kStopAndStart = {"stop AmneziaWGTunnel$Orvanta",
                                                "start AmneziaWGTunnel$Orvanta"};
const std::string kStopped = "tunnel service stopped for an update of the helper";

INSTANTIATE_TEST_SUITE_P(
    Steps, PackageStepTest,
    ::testing::Values(
        PackageCase{"NoteUnwrittenLeavesTheTunnelRunning",
                    [] { fake::TheWorld().directories.insert(kData + L"tunnel.restart"); },
                    {L"--stop-tunnel-for-upgrade", L"--start-tunnel-after-upgrade"},
                    {},
                    {"tunnel service left running for the update: tunnel.restart not written"},
                    {{L"tunnel.restart", ""}}},
        PackageCase{"NoteBesideUsersFilesIsNotTrusted",
                    [] {
                        fake::TheWorld().directories.insert(L"C:\\ProgramData\\Orvanta");
                        fake::TheWorld().security[L"C:\\ProgramData\\Orvanta"] =
                            fake::UsersCanChange();
                        fake::TheWorld().files[kData + L"tunnel.restart"] = "1";
                    },
                    {L"--start-tunnel-after-upgrade"},
                    {},
                    {"tunnel.restart ignored: others can write beside it"},
                    {{L"tunnel.restart", "1"}}},
        PackageCase{"NoteThatCannotBeDeletedIsNotActedOn",
                    [] { fake::TheWorld().deletesFail = true; },
                    {L"--stop-tunnel-for-upgrade", L"--start-tunnel-after-upgrade"},
                    {kStopAndStart[0]},
                    {kStopped, "tunnel.restart not deleted; not acted on"},
                    {}},
        PackageCase{"RemovalSetsTheKeyAsideAndDeletesTheNote",
                    [] {
                        TunnelRunsWithItsKey();
                        fake::TheWorld().files[kData + L"tunnel.restart"] = "1";
                    },
                    {L"--remove-tunnel-and-key"},
                    {},
                    {"tunnel service removed with the helper",
                     "Orvanta.conf set aside until the removal is committed",
                     "helper.state set aside until the removal is committed",
                     "tunnel.reinstall set aside until the removal is committed"},
                    {{L"Orvanta.conf", ""},
                     {L"helper.state", ""},
                     {L"tunnel.restart", ""},
                     {L"removal\\Orvanta.conf", "key"},
                     {L"removal\\helper.state", "state"},
                     {L"removal\\tunnel.reinstall", "1"}}},
        PackageCase{"RolledBackRemovalBringsTheKeyAndTheTunnelBack",
                    TunnelRunsWithItsKey,
                    {L"--remove-tunnel-and-key", L"--restore-tunnel-and-key"},
                    {},
                    {"tunnel service removed with the helper",
                     "Orvanta.conf set aside until the removal is committed",
                     "helper.state set aside until the removal is committed",
                     "tunnel.reinstall set aside until the removal is committed",
                     "Orvanta.conf restored: the removal was rolled back",
                     "helper.state restored: the removal was rolled back",
                     "tunnel.reinstall restored: the removal was rolled back",
                     "tunnel service installed again: the removal was rolled back"},
                    {{L"Orvanta.conf", "key"},
                     {L"helper.state", "state"},
                     {L"tunnel.reinstall", ""},
                     {L"removal\\Orvanta.conf", ""}}},
        PackageCase{"NothingToRemoveOrRestore",
                    [] { fake::TheWorld().services.clear(); },
                    {L"--remove-tunnel-and-key", L"--restore-tunnel-and-key"},
                    {},
                    {"no tunnel service to remove with the helper"},
                    {}},
        PackageCase{"TunnelThatCannotBeInstalledAgainIsLoggedSo",
                    [] {
                        TunnelRunsWithItsKey();
                        fake::TheWorld().programRuns.back() = {true, 1, [] {}};
                    },
                    {L"--remove-tunnel-and-key", L"--restore-tunnel-and-key"},
                    {},
                    {"tunnel service removed with the helper",
                     "Orvanta.conf set aside until the removal is committed",
                     "helper.state set aside until the removal is committed",
                     "tunnel.reinstall set aside until the removal is committed",
                     "Orvanta.conf restored: the removal was rolled back",
                     "helper.state restored: the removal was rolled back",
                     "tunnel.reinstall restored: the removal was rolled back",
                     "tunnel service not installed again after a rolled-back removal"},
                    {{L"tunnel.reinstall", ""}}},
        PackageCase{"KeyThatCannotBeSetAsideIsDeletedOrLoggedAsKept",
                    [] {
                        TunnelRunsWithItsKey();
                        fake::TheWorld().modulePath = L"D:\\Orvanta\\OrvantaHelper.exe";
                        fake::TheWorld().programRuns.clear();  // no tunnel program on D:
                        fake::UserOpens(kData + L"helper.state", 0x1, 0x1);
                    },
                    {L"--remove-tunnel-and-key"},
                    {"remove AmneziaWGTunnel$Orvanta"},
                    {"tunnel service removed with the helper",
                     "Orvanta.conf deleted at once, not set aside for a rollback: err=17",
                     "helper.state not removed: neither set aside nor deleted, err=17",
                     "tunnel.reinstall deleted at once, not set aside for a rollback: err=17"},
                    {{L"Orvanta.conf", ""}, {L"helper.state", "state"}}}),
    [](const auto& info) { return info.param.name; });

TEST_F(ServiceTest, UninstallStopsAndDeletesAndIsFineWithoutTheService) {
    W().installed[L"OrvantaHelper"] = {};
    EXPECT_EQ(HelperMain({L"h", L"--uninstall"}), 0);
    EXPECT_EQ(W().scmCalls, (std::vector<std::string>{"open manager to connect",
                                                      "open service to remove", "stop", "delete"}));
    EXPECT_TRUE(W().installed.empty());
    W().scmCalls.clear();
    EXPECT_EQ(UninstallService(), 0);
    EXPECT_EQ(W().scmCalls,
              (std::vector<std::string>{"open manager to connect", "open service to remove"}));
    W().managerOpenFails = true;
    EXPECT_EQ(UninstallService(), 1);
    EXPECT_EQ(W().openScmHandles, 0);
}

// A service deleted while another process holds it open stays, refusing changes (1072), until
// that process lets go; and a stop takes its time. Both are waited for, bounded on the clock.
struct MarkedCase {
    const char* name;
    bool install;
    uint64_t goesOrStopsAfterMs;  // UINT64_MAX: never
    int exitCode;
    uint64_t elapsedMs;  // at least, and less than one more poll
};

class MarkedForDeletionTest : public ServiceTest,
                              public ::testing::WithParamInterface<MarkedCase> {};

TEST_P(MarkedForDeletionTest, InstallAndUninstallWaitBoundedForTheServiceManager) {
    const MarkedCase& c = GetParam();
    W().installed[L"OrvantaHelper"] = {};
    if (c.install) {
        W().heldOpenUntil[L"OrvantaHelper"] = UINT64_MAX;
        EXPECT_EQ(UninstallService(), 0);  // the holder keeps it, marked for deletion
        W().heldOpenUntil[L"OrvantaHelper"] = c.goesOrStopsAfterMs == UINT64_MAX
                                                  ? UINT64_MAX
                                                  : fake::ClockMs() + c.goesOrStopsAfterMs;
    } else {
        W().stopTakesMs = c.goesOrStopsAfterMs;
    }
    const uint64_t start = fake::ClockMs();
    EXPECT_EQ(c.install ? InstallService() : UninstallService(), c.exitCode);
    EXPECT_GE(fake::ClockMs() - start, c.elapsedMs);
    EXPECT_LT(fake::ClockMs() - start, c.elapsedMs + 250);
    EXPECT_EQ(W().installed.count(L"OrvantaHelper"), c.install ? 1u : 0u) << "made anew, or kept";
    EXPECT_EQ(W().markedForDeletion.size(), c.exitCode == 0 ? 0u : 1u);
    EXPECT_EQ(W().openScmHandles, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Services, MarkedForDeletionTest,
    ::testing::Values(MarkedCase{"InstallAfterItWent", true, 2000, 0, 2000},
                      MarkedCase{"InstallWhileItStays", true, UINT64_MAX, 2, 5000},
                      MarkedCase{"UninstallWaitsForTheStop", false, 1500, 0, 1500},
                      MarkedCase{"UninstallGivesUpOnAStopThatNeverComes", false, UINT64_MAX, 0,
                                 30000}),
    [](const auto& info) { return info.param.name; });

TEST_F(ServiceTest, OnlyTheExactFirstArgumentSelectsAMode) {
    const std::pair<std::vector<std::wstring>, HelperMode> cases[] = {
        {{L"h"}, HelperMode::Service},
        {{L"h", L"--run"}, HelperMode::Service},
        {{L"h", L"--install"}, HelperMode::Install},
        {{L"h", L"--uninstall"}, HelperMode::Uninstall},
        {{L"h", L"--console", L"--install"}, HelperMode::Console},
        {{L"h", L"--Install"}, HelperMode::Service},
        {{L"h", L"-install"}, HelperMode::Service},
        {{L"h", L"--install=1"}, HelperMode::Service},
        {{L"h", L" --console"}, HelperMode::Service},
        {{L"h", L""}, HelperMode::Service},
        {{L"h", L"--run", L"--install"}, HelperMode::Service}};
    for (const auto& [arguments, mode] : cases) {
        EXPECT_EQ(SelectMode(arguments), mode) << arguments.size();
    }
}

TEST_F(ServiceTest, HandStartedServiceModeExitsWithOne) {
    W().dispatcherFails = true;
    EXPECT_EQ(HelperMain({L"h"}), 1);
    EXPECT_EQ(HelperMain({L"h", L"--Install"}), 1);
    EXPECT_TRUE(W().scmCalls.empty());
}

}  // namespace

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
