// The locator, the process runner and the tunnel service monitor against the fake world.
#include <algorithm>
#include <gtest/gtest.h>

#include "fresh_world.h"
#include "tunnel/locator.h"
#include "tunnel/process_runner.h"
#include "tunnel/service_monitor.h"

namespace {

const std::wstring kLog = L"C:\\ProgramData\\Orvanta\\helper.log";

class TunnelPrimitivesTest : public ::testing::Test {
  protected:
    void SetUp() override { FreshWorld(); }
    static fake::World& W() { return fake::TheWorld(); }
};

struct LocatorCase {
    const char* name;
    std::wstring modulePath;
    std::vector<std::wstring> existing;
    std::wstring directory;
    std::wstring found;
};

class LocatorTest : public TunnelPrimitivesTest,
                    public ::testing::WithParamInterface<LocatorCase> {};

TEST_P(LocatorTest, FindsTheFirstCandidateThatExists) {
    W().modulePath = GetParam().modulePath;
    for (const auto& path : GetParam().existing) {
        W().files[path] = "";
    }
    EXPECT_EQ(GetModuleDirectory(), GetParam().directory);
    EXPECT_EQ(FindTunnelExe(), GetParam().found);
}

INSTANTIATE_TEST_SUITE_P(
    Candidates, LocatorTest,
    ::testing::Values(
        LocatorCase{"AwgBeforeBeside",
                    L"D:\\My Tools\\helper.exe",
                    {L"D:\\My Tools\\awg\\amneziawg.exe", L"D:\\My Tools\\amneziawg.exe"},
                    L"D:\\My Tools",
                    L"D:\\My Tools\\awg\\amneziawg.exe"},
        LocatorCase{"OnlyBeside",
                    L"D:\\My Tools\\helper.exe",
                    {L"D:\\My Tools\\amneziawg.exe"},
                    L"D:\\My Tools",
                    L"D:\\My Tools\\amneziawg.exe"},
        LocatorCase{"Neither", L"D:\\My Tools\\helper.exe", {}, L"D:\\My Tools", L""},
        LocatorCase{
            "DriveRoot", L"C:\\app.exe", {L"C:\\amneziawg.exe"}, L"C:", L"C:\\amneziawg.exe"},
        LocatorCase{"ForwardSlashes",
                    L"C:/x/y/app.exe",
                    {L"C:/x/y\\awg\\amneziawg.exe"},
                    L"C:/x/y",
                    L"C:/x/y\\awg\\amneziawg.exe"},
        LocatorCase{
            "NoSeparator", L"app.exe", {L".\\awg\\amneziawg.exe"}, L".", L".\\awg\\amneziawg.exe"},
        LocatorCase{"PathUnreadable", L"", {L".\\amneziawg.exe"}, L".", L".\\amneziawg.exe"}),
    [](const auto& info) { return info.param.name; });

TEST_F(TunnelPrimitivesTest, RunnerQuotesThePathAndWaitsThirtySeconds) {
    W().programRuns = {{true, 3, nullptr}};
    EXPECT_EQ(RunProcess(L"D:\\My Tools\\awg\\amneziawg.exe", L"/uninstalltunnelservice Orvanta"),
              3);
    EXPECT_EQ(W().commandLines,
              std::vector<std::wstring>{
                  L"\"D:\\My Tools\\awg\\amneziawg.exe\" /uninstalltunnelservice Orvanta"});
    EXPECT_EQ(W().processWaits, std::vector<uint32_t>{30000});
}

TEST_F(TunnelPrimitivesTest, RunnerPassesExitCodesThrough) {
    W().programRuns = {{true, 0, nullptr}, {true, 259, nullptr}, {true, 0xFFFFFFFFu, nullptr}};
    EXPECT_EQ(RunProcess(L"a.exe", L""), 0);
    EXPECT_EQ(RunProcess(L"a.exe", L""), kStillActive);
    EXPECT_EQ(RunProcess(L"a.exe", L""), -1);
    EXPECT_EQ(W().commandLines.front(), L"\"a.exe\" ");  // an empty argument leaves the blank
    EXPECT_EQ(W().files.count(kLog), 0u) << "only a failed start is logged";
}

TEST_F(TunnelPrimitivesTest, RunnerLogsAStartThatFailsAndARunItHadToEnd) {
    bool acted = false;
    fake::ProgramRun hangs{true, 0, [&acted] { acted = true; }};
    hangs.outlivesWait = true;
    fake::ProgramRun unkillable = hangs;
    unkillable.cannotBeEnded = true;
    W().programRuns = {{false, 0, nullptr}, hangs, unkillable};
    EXPECT_EQ(RunProcess(L"C:\\missing.exe", L"/x"), -1);
    EXPECT_EQ(RunProcess(L"C:\\awg.exe", L"/y"), kStillActive) << "still a failure";
    EXPECT_EQ(RunProcess(L"C:\\awg.exe", L"/z"), kStillActive);
    EXPECT_EQ(W().endedProcesses, std::vector<std::wstring>{L"\"C:\\awg.exe\" /y"});
    EXPECT_FALSE(acted) << "ended before the runner returned, it can no longer act";
    EXPECT_EQ(
        W().files[kLog],
        "2026-06-27 09:05:03  CreateProcess failed: \"C:\\missing.exe\" /x\r\n"
        "2026-06-27 09:05:03  process still running after 30 s; ended: \"C:\\awg.exe\" /y\r\n"
        "2026-06-27 09:05:03  process still running after 30 s; not ended err=5: \"C:\\awg.exe\" "
        "/z\r\n");
}

struct MonitorCase {
    const char* name;
    bool managerOpens;
    std::optional<fake::Service> service;
    bool exists;
    bool running;
};

class MonitorTest : public TunnelPrimitivesTest,
                    public ::testing::WithParamInterface<MonitorCase> {};

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

TEST_F(TunnelPrimitivesTest, ServiceNameIsBuiltFromTheTunnelName) {
    EXPECT_EQ(TunnelServiceName(), L"AmneziaWGTunnel$Orvanta");
}

// Bounded on the clock, whose sleeps Windows rounds up to its 15.625 ms tick: quick looks
// during the first second, then every 300 ms, ending within a tick of the bound.
TEST_F(TunnelPrimitivesTest, RemovalWaitEndsAtItsBoundInElapsedTime) {
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

TEST_F(TunnelPrimitivesTest, RemovalWaitEndsWhenTheServiceIsGone) {
    WaitForTunnelServiceRemoval(12000);
    EXPECT_TRUE(W().sleeps.empty());
    fake::Service leaving;
    leaving.removedAt = 2000;
    W().services[TunnelServiceName()] = leaving;
    WaitForTunnelServiceRemoval(12000);
    EXPECT_GE(fake::ClockMs(), 2000u);
    EXPECT_LT(fake::ClockMs(), 2000u + 300u) << "seen at the first look after it went";
}

TEST_F(TunnelPrimitivesTest, RemovalWaitReturnsAtOnceWithoutAManager) {
    W().managerOpenFails = true;
    W().services[TunnelServiceName()] = fake::Service{};
    WaitForTunnelServiceRemoval(12000);
    EXPECT_TRUE(W().sleeps.empty());
    EXPECT_EQ(W().serviceProbes, 1);
}

}  // namespace
