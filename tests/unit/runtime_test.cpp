// The service runtime: its status reports, its stop and what the stop ends.
#include "app/entry.h"
#include "control/pipe_server.h"
#include "split/physical_route.h"
#include "split/route_manager.h"
#include "service_fixture.h"

namespace {

class RuntimeTest : public ServiceFixture {};

TEST_F(RuntimeTest, StartAndStopReportEachStateInTurn) {
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
              "2026-06-27 09:05:03  route memory file missing; starting with an empty memory\r\n"
              "2026-06-27 09:05:03  state file missing; ignored\r\n"
              "2026-06-27 09:05:03  service stopping\r\n");
}

// A stop that arrives during a long command waits for it: meanwhile the service manager sees
// the stop progress, once a second, until the stopped report.
TEST_F(RuntimeTest, PendingStopReportsProgressUntilTheServiceHasStopped) {
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
TEST_F(RuntimeTest, ConsoleStopRemovesTheRoutesAndLeavesTheTunnel) {
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
TEST_F(RuntimeTest, HandlerAnswersStopShutdownAndInterrogateOnly) {
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

TEST_F(RuntimeTest, FailedHandlerRegistrationReportsAndStartsNothing) {
    W().handlerRegistrationFails = true;
    ServiceMain(0, nullptr);
    EXPECT_TRUE(W().statusReports.empty());
    EXPECT_EQ(W().instancesCreated, 0);
    EXPECT_EQ(W().files.count(kTestLog), 0u);
}

TEST_F(RuntimeTest, StopEventThatCannotBeCreatedEndsTheServiceWithItsErrorCode) {
    W().eventCreationFails = true;
    ServiceMain(0, nullptr);
    ASSERT_EQ(W().statusReports.size(), 2u);
    ExpectReport(0, 2, 0);
    ExpectReport(1, 1, 0, 1450);
    EXPECT_EQ(W().instancesCreated, 0);
}

// Serving no one while reporting running would keep the failure actions from restarting it.
TEST_F(RuntimeTest, PipeNameTakenFor30SecondsStopsTheServiceAsFailed) {
    W().pipeNameTakenFor = 1000;
    ServiceMain(0, nullptr);
    ASSERT_EQ(W().statusReports.size(), 3u);
    ExpectReport(2, 1, 0, 5);
    EXPECT_EQ(HelperMain({L"h", L"--console"}), 1);
}

TEST_F(RuntimeTest, StopEndsARunningSnifferAndRemovesItsRoutesButLeavesTheTunnel) {
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

TEST_F(RuntimeTest, StopWithoutASnifferLeavesTheRoutingTableAlone) {
    Seed([&](SplitParts& s) { s.ipv4.held.insert(NetworkOrder(192, 0, 2, 10)); });
    StopWhenIdle();
    ServiceMain(0, nullptr);
    EXPECT_TRUE(W().deletedRoutes4.empty());
    EXPECT_EQ(W().statusReports.back().currentState, 1u);
}

}  // namespace
