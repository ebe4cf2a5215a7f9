// Looks at the tunnel service, and the bounded wait for its removal.
#include <algorithm>
#include <gtest/gtest.h>

#include "fresh_world.h"
#include "tunnel/service_monitor.h"

namespace {

class ServiceMonitorTest : public FreshWorldTest {};

struct MonitorCase {
    const char* name;
    bool managerOpens;
    std::optional<fake::Service> service;
    bool exists;
    bool running;
};

class MonitorTest : public FreshWorldTest, public ::testing::WithParamInterface<MonitorCase> {};

TEST_P(MonitorTest, QueriesFoldEveryFailureIntoFalse) {
    W().managerOpenFails = !GetParam().managerOpens;
    if (GetParam().service) {
        W().services[L"AmneziaWGTunnel$Orvanta"] = *GetParam().service;
    }
    EXPECT_EQ(TunnelServiceExists(), GetParam().exists);
    EXPECT_EQ(IsTunnelServiceRunning(), GetParam().running);
}

fake::Service InState(uint32_t state, bool queryFails = false) {
    fake::Service service;
    service.state = state;
    service.statusQueryFails = queryFails;
    return service;
}

INSTANTIATE_TEST_SUITE_P(
    States, MonitorTest,
    ::testing::Values(MonitorCase{"Running", true, InState(4), true, true},
                      MonitorCase{"StartPending", true, InState(2), true, false},
                      MonitorCase{"Stopped", true, InState(1), true, false},
                      MonitorCase{"StopPending", true, InState(3), true, false},
                      MonitorCase{"QueryFails", true, InState(4, true), true, false},
                      MonitorCase{"Missing", true, std::nullopt, false, false},
                      MonitorCase{"NoManager", false, InState(4), false, false}),
    [](const auto& info) { return info.param.name; });

TEST_F(ServiceMonitorTest, ServiceNameIsBuiltFromTheTunnelName) {
    EXPECT_EQ(TunnelServiceName(), L"AmneziaWGTunnel$Orvanta");
}

// Bounded on the clock, whose sleeps Windows rounds up to its 15.625 ms tick: quick looks
// during the first second, then every 300 ms, ending within a tick of the bound.
TEST_F(ServiceMonitorTest, RemovalWaitEndsAtItsBoundInElapsedTime) {
    W().services[TunnelServiceName()] = fake::Service{};
    for (const uint32_t timeout : {12000u, 8000u, 4000u, 0u}) {
        const uint64_t start = fake::ClockMs();
        W().serviceProbes = 0;
        WaitForTunnelServiceRemoval(timeout);
        EXPECT_GE(fake::ClockMs() - start, timeout);
        EXPECT_LT(fake::ClockMs() - start, timeout + 16u);
        EXPECT_LE(W().serviceProbes, timeout == 0 ? 1 : 65 + static_cast<int>(timeout) / 300);
    }
    // The first second's looks, one a tick, come first and all of them; then the slow ones.
    W().sleeps.clear();
    WaitForTunnelServiceRemoval(12000);
    const auto quick =
        std::find_if(W().sleeps.begin(), W().sleeps.end(), [](uint32_t ms) { return ms != 10u; });
    EXPECT_EQ(quick - W().sleeps.begin(), 64);
    ASSERT_NE(quick, W().sleeps.end());
    EXPECT_EQ(*quick, 300u);
}

TEST_F(ServiceMonitorTest, RemovalWaitEndsWhenTheServiceIsGone) {
    WaitForTunnelServiceRemoval(12000);
    EXPECT_TRUE(W().sleeps.empty());
    fake::Service leaving;
    leaving.removedAt = 2000;
    W().services[TunnelServiceName()] = leaving;
    WaitForTunnelServiceRemoval(12000);
    EXPECT_GE(fake::ClockMs(), 2000u);
    EXPECT_LT(fake::ClockMs(), 2000u + 300u) << "seen at the first look after it went";
}

TEST_F(ServiceMonitorTest, RemovalWaitReturnsAtOnceWithoutAManager) {
    W().managerOpenFails = true;
    W().services[TunnelServiceName()] = fake::Service{};
    WaitForTunnelServiceRemoval(12000);
    EXPECT_TRUE(W().sleeps.empty());
    EXPECT_EQ(W().serviceProbes, 1);
}

}  // namespace
