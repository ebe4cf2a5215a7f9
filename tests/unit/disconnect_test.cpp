// The tunnel disconnect against the fake world.
#include "tunnel/configuration.h"
#include "tunnel/disconnect.h"
#include "tunnel_fixture.h"

namespace {

class DisconnectTest : public TunnelFixture {};

TEST_F(DisconnectTest, DisconnectWaitsForTheServiceToStop) {
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

TEST_F(DisconnectTest, DisconnectGivesUpAfterEightSecondsAndStillMarksTheTunnelDown) {
    W().services[kService] = InState(platform::kServiceRunning);
    SetTunnelUp(true);
    W().programRuns = {LeavesService()};
    DisconnectTunnel();
    ExpectElapsed(8000);
    EXPECT_FALSE(IsTunnelUp());
}

TEST_F(DisconnectTest, DisconnectWithoutTheExecutableRunsNothingButStillWaits) {
    W().files.erase(kAwg);
    W().services[kService] = InState(platform::kServiceRunning);
    SetTunnelUp(true);
    DisconnectTunnel();
    EXPECT_TRUE(W().commandLines.empty());
    ExpectElapsed(8000);
    EXPECT_FALSE(IsTunnelUp());
    EXPECT_EQ(W().files.count(kTestLog), 0u);
}

TEST_F(DisconnectTest, DisconnectWithoutAServiceRunsNothingAndDoesNotSleep) {
    DisconnectTunnel();
    EXPECT_TRUE(W().commandLines.empty());
    EXPECT_TRUE(W().sleeps.empty());
    EXPECT_FALSE(IsTunnelUp());
}

TEST_F(DisconnectTest, DisconnectStopsTheSnifferAndItsRoutesBeforeUninstalling) {
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

}  // namespace
