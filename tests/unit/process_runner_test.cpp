// Running the tunnel program, bounded.
#include <gtest/gtest.h>

#include "fresh_world.h"
#include "tunnel/process_runner.h"

namespace {

const std::wstring kLog = L"C:\\ProgramData\\Orvanta\\helper.log";

class ProcessRunnerTest : public FreshWorldTest {};

TEST_F(ProcessRunnerTest, RunnerQuotesThePathAndWaitsThirtySeconds) {
    W().programRuns = {{true, 3, nullptr}};
    EXPECT_EQ(RunProcess(L"D:\\My Tools\\awg\\amneziawg.exe", L"/uninstalltunnelservice Orvanta"),
              3);
    EXPECT_EQ(W().commandLines,
              std::vector<std::wstring>{
                  L"\"D:\\My Tools\\awg\\amneziawg.exe\" /uninstalltunnelservice Orvanta"});
    EXPECT_EQ(W().processWaits, std::vector<uint32_t>{30000});
}

TEST_F(ProcessRunnerTest, RunnerPassesExitCodesThrough) {
    W().programRuns = {{true, 0, nullptr}, {true, 259, nullptr}, {true, 0xFFFFFFFFu, nullptr}};
    EXPECT_EQ(RunProcess(L"a.exe", L""), 0);
    EXPECT_EQ(RunProcess(L"a.exe", L""), kStillActive);
    EXPECT_EQ(RunProcess(L"a.exe", L""), -1);
    EXPECT_EQ(W().commandLines.front(), L"\"a.exe\" ");  // an empty argument leaves the blank
    EXPECT_EQ(W().files.count(kLog), 0u) << "only a failed start is logged";
}

TEST_F(ProcessRunnerTest, RunnerLogsAStartThatFailsAndARunItHadToEnd) {
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

}  // namespace
