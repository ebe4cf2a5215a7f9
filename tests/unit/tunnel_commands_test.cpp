// The tunnel commands through the dispatcher.
#include "control/dispatcher.h"
#include "tunnel_fixture.h"

namespace {

class TunnelCommandsTest : public TunnelFixture {};

TEST_F(TunnelCommandsTest, BadOrEmptyBase64LeavesEveryPieceOfStateUntouched) {
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

TEST_F(TunnelCommandsTest, TunnelCommandsThroughTheDispatcher) {
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

TEST_F(TunnelCommandsTest, InvalidUtf8InTheConfigurationBecomesReplacementCharacters) {
    W().programRuns = {CreatesService()};
    EXPECT_EQ(CommandDispatcher("connect Qf9C"), "OK");  // "A", 0xFF, "B"
    EXPECT_EQ(W().files[kConfig],
              "A\xEF\xBF\xBD"
              "B");
}

}  // namespace
