// The service runtime, the installer and the command line against the fake world.
#include "app/entry.h"
#include "control/pipe_server.h"
#include "service/installer.h"
#include "service/runtime.h"
#include "split/route_manager.h"
#include "split/state_file.h"
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
        TunnelUp = true;
        PhysicalRoute = {7, NetworkOrder(192, 168, 1, 1), 25};
        SetSplitApps(L"chrome.exe");
        AddBypassRoute(NetworkOrder(192, 0, 2, 10));
        ASSERT_TRUE(fake::WaitUntilReceiving());
        platform::SignalEvent(W().consoleStop);  // what the console control handler does
    };
    EXPECT_EQ(HelperMain({L"OrvantaHelper.exe", L"--console"}), 0);
    EXPECT_FALSE(SnifferRunning);
    ASSERT_EQ(W().deletedRoutes.size(), 1u);
    EXPECT_EQ(W().deletedRoutes[0].dest, NetworkOrder(192, 0, 2, 10));
    EXPECT_TRUE(W().consoleStopDone);
    EXPECT_EQ(W().services.count(L"AmneziaWGTunnel$Orvanta"), 1u);
}

TEST_F(ServiceTest, HandlerAnswersStopShutdownAndInterrogateOnly) {
    StopEvent = platform::CreateManualResetEvent();
    const std::pair<uint32_t, uint32_t> answers[] = {{4, 0}, {2, 120}, {3, 120}, {0x40, 120}};
    for (const auto& [control, result] : answers) {
        EXPECT_EQ(ServiceControlHandler(control, 0, nullptr, nullptr), result) << control;
    }
    EXPECT_TRUE(W().statusReports.empty());
    EXPECT_FALSE(platform::IsEventSignalled(StopEvent));
    for (uint32_t control : {1u, 5u}) {
        StopEvent = platform::CreateManualResetEvent();
        EXPECT_EQ(ServiceControlHandler(control, 0, nullptr, nullptr), 0u);
        EXPECT_TRUE(platform::IsEventSignalled(StopEvent)) << control;
        EXPECT_EQ(W().statusReports.back().currentState, 3u);
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

TEST_F(ServiceTest, StopEndsARunningSnifferAndRemovesItsRoutesButLeavesTheTunnel) {
    W().divert.loadablePaths = {kDivertBesideHelper};
    W().services[L"AmneziaWGTunnel$Orvanta"] = fake::Service{};
    TunnelUp = true;
    SetSplitApps(L"chrome.exe");
    ASSERT_TRUE(fake::WaitUntilReceiving());
    {
        std::lock_guard<std::mutex> lock(StateMutex);
        BypassRouteSet.insert(NetworkOrder(192, 0, 2, 10));
    }
    SaveSplitState();
    StopWhenIdle();
    ServiceMain(0, nullptr);
    EXPECT_FALSE(SnifferRunning);
    EXPECT_EQ(W().deletedRoutes.size(), 1u);
    EXPECT_EQ(W().services.count(L"AmneziaWGTunnel$Orvanta"), 1u);
    EXPECT_TRUE(W().commandLines.empty());
    EXPECT_NE(Log().find("WinDivert sniffer stopped\r\n2026-06-27 09:05:03  service stopping"),
              std::string::npos);
}

TEST_F(ServiceTest, StopWithoutASnifferLeavesTheRoutingTableAlone) {
    {
        std::lock_guard<std::mutex> lock(StateMutex);
        BypassRouteSet.insert(NetworkOrder(192, 0, 2, 10));
    }
    StopWhenIdle();
    ServiceMain(0, nullptr);
    EXPECT_TRUE(W().deletedRoutes.empty());
    EXPECT_EQ(W().statusReports.back().currentState, 1u);
}

TEST_F(ServiceTest, InstallCreatesTheServiceWithTheQuotedPathAndStartsIt) {
    W().modulePath = L"C:\\Program Files\\Orvanta\\" + std::wstring(280, L'x') + L".exe";
    EXPECT_EQ(HelperMain({L"h", L"--install"}), 0);
    EXPECT_EQ(W().scmCalls, (std::vector<std::string>{"open manager 0x2", "open service 0x12",
                                                      "create", "start"}));
    const platform::OwnServiceConfig& config = W().installed.at(L"OrvantaHelper");
    EXPECT_EQ(config.displayName, L"Orvanta Helper");
    EXPECT_EQ(config.commandLine, L"\"" + W().modulePath + L"\" --run");
    EXPECT_EQ(config.serviceType, 0x10u);
    EXPECT_EQ(config.startType, 2u);
    EXPECT_EQ(config.errorControl, 1u);
    EXPECT_EQ(W().openScmHandles, 0);
}

TEST_F(ServiceTest, InstallOverAnExistingServiceRewritesItsConfiguration) {
    W().installed[L"OrvantaHelper"] = {
        L"OrvantaHelper", L"old", L"\"D:\\old.exe\" --run", 0x10, 3, 0};
    EXPECT_EQ(InstallService(), 0);
    EXPECT_EQ(W().scmCalls, (std::vector<std::string>{"open manager 0x2", "open service 0x12",
                                                      "change", "start"}));
    EXPECT_EQ(W().installed.at(L"OrvantaHelper").commandLine,
              L"\"C:\\Program Files\\Orvanta\\OrvantaHelper.exe\" --run");
    EXPECT_EQ(W().openScmHandles, 0);
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

TEST_F(ServiceTest, UninstallStopsAndDeletesAndIsFineWithoutTheService) {
    W().installed[L"OrvantaHelper"] = {};
    EXPECT_EQ(HelperMain({L"h", L"--uninstall"}), 0);
    EXPECT_EQ(W().scmCalls, (std::vector<std::string>{"open manager 0x1", "open service 0x10020",
                                                      "stop", "delete"}));
    EXPECT_TRUE(W().installed.empty());
    W().scmCalls.clear();
    EXPECT_EQ(UninstallService(), 0);
    EXPECT_EQ(W().scmCalls, (std::vector<std::string>{"open manager 0x1", "open service 0x10020"}));
    W().managerOpenFails = true;
    EXPECT_EQ(UninstallService(), 1);
    EXPECT_EQ(W().openScmHandles, 0);
}

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
