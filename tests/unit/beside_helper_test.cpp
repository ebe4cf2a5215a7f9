// What the helper runs and loads from beside itself.
#include <algorithm>

#include "security_fixture.h"
#include "split/split_apps.h"
#include "tunnel/connect.h"

namespace {

class BesideHelperFixture : public SecurityFixture {};

struct BesideHelperCase {
    const char* name;
    std::wstring writable;  // a file or folder ordinary users may change, or nothing
    bool runAsService;
    bool loadBesideHelper;
};

class BesideHelperTest : public BesideHelperFixture,
                         public ::testing::WithParamInterface<BesideHelperCase> {};

// As SYSTEM the helper runs amneziawg.exe and loads WinDivert.dll from its directory only when
// no ordinary user could have put them there; a user's own helper runs them as they are.
TEST_P(BesideHelperTest, ServiceRunsAndLoadsOnlyWhatUsersCannotChange) {
    const std::wstring awg = L"C:\\Program Files\\Orvanta\\awg\\amneziawg.exe";
    W().files[kDivertBesideHelper] = W().files[kDivertInSystem] = "";
    W().divert.loadablePaths = {kDivertBesideHelper};
    if (!GetParam().writable.empty()) {
        W().security[GetParam().writable] = fake::UsersCanChange();
    }
    W().runningAsLocalSystem = true;
    const bool run = GetParam().runAsService;
    EXPECT_EQ(ConnectTunnel(L"[Interface]"), run);
    EXPECT_EQ(W().commandLines.size(), run ? 1u : 0u);
    EXPECT_EQ(Contains(Log(), "amneziawg.exe is writable by non-administrators; not run"), !run);
    if (run) {
        const std::wstring top = L"C:\\Program Files\\Orvanta";
        EXPECT_EQ(W().fileCalls.front(), L"hold " + top) << "held from before the first run";
        EXPECT_NE(std::find(W().fileCalls.begin(), W().fileCalls.end(), L"hold " + awg),
                  W().fileCalls.end());
        EXPECT_EQ(W().fileCalls.back(), L"release " + top);
    }

    const bool load = GetParam().loadBesideHelper;
    StartSniffer();
    if (load) {
        ASSERT_TRUE(fake::WaitUntilReceiving());
    }
    StopSniffer();  // joined: its load attempts are all made
    EXPECT_EQ(W().divert.loadAttempts.front(),
              L"path:" + (load ? kDivertBesideHelper : kDivertInSystem));
    EXPECT_EQ(Contains(Log(), "WinDivert.dll beside the helper is writable by non-administrators"),
              !load);

    W().runningAsLocalSystem = false;
    W().services.clear();
    W().programRuns = {{true, 0, [] { W().services[L"AmneziaWGTunnel$Orvanta"] = {}; }}};
    EXPECT_TRUE(ConnectTunnel(L"[Interface]")) << "a user's helper runs it as it is";
    EXPECT_EQ(W().opens.count(awg), 0u) << "held for the run alone";
}

INSTANTIATE_TEST_SUITE_P(
    Files, BesideHelperTest,
    ::testing::Values(
        BesideHelperCase{"AdministratorsOnly", L"", true, true},
        BesideHelperCase{"ProgramWritable", L"C:\\Program Files\\Orvanta\\awg\\amneziawg.exe",
                         false, true},
        BesideHelperCase{"FolderWritable", L"C:\\Program Files\\Orvanta\\awg", false, true},
        BesideHelperCase{"HelperFolderWritable", L"C:\\Program Files\\Orvanta", false, false},
        BesideHelperCase{"LibraryWritable", kDivertBesideHelper, true, false}),
    [](const auto& info) { return info.param.name; });

}  // namespace
