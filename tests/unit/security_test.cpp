// The data directory kept out of ordinary users' hands, and the client's check of its server.
#include "app/entry.h"
#include "log/data_directory.h"
#include "log/helper_log.h"
#include "orvanta_client_logic.h"
#include "split_fixture.h"
#include "tunnel/connect.h"

namespace {

const std::wstring kDir = L"C:\\ProgramData\\Orvanta";
const std::wstring kLogFile = kDir + L"\\helper.log";
const std::wstring kConfFile = kDir + L"\\Orvanta.conf";
const std::wstring kVictim = L"C:\\Windows\\System32\\drivers\\etc\\hosts";

class SecurityTest : public SplitFixture {
  protected:
    void SetUp() override {
        SplitFixture::SetUp();
        W().files[L"C:\\Program Files\\Orvanta\\awg\\amneziawg.exe"] = "";
        W().files[kVictim] = "127.0.0.1 localhost";
        W().programRuns = {{true, 0, [] { W().services[L"AmneziaWGTunnel$Orvanta"] = {}; }}};
    }
    static bool Protected(const std::wstring& path) { return W().protectedPaths.count(path) > 0; }
    static bool Contains(const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    }
};

TEST_F(SecurityTest, NewDirectoryIsCreatedOwnedBySystemWithTheProtectedAcl) {
    HelperLog(L"line");
    EXPECT_TRUE(Protected(kDir));
    EXPECT_EQ(W().files[kLogFile], "2026-06-27 09:05:03  line\r\n");
}

TEST_F(SecurityTest, HelperThatMayNotSetTheOwnerCreatesAndWritesAsBefore) {
    W().protectedCreationFails = true;
    HelperLog(L"line");
    EXPECT_FALSE(Protected(kDir));
    EXPECT_EQ(W().directories.count(kDir), 1u);
    EXPECT_EQ(W().files[kLogFile], "2026-06-27 09:05:03  line\r\n");
    EXPECT_TRUE(ConnectTunnel(L"[Interface]"));
    EXPECT_EQ(W().files[kConfFile], "[Interface]");
}

TEST_F(SecurityTest, ForeignDirectoryIsTakenBackOnlyByLocalSystem) {
    W().directories.insert(kDir);
    W().foreignDirectories.insert(kDir);
    W().files[kLogFile] = "planted\r\n";
    W().files[kConfFile] = "planted";
    W().files[kDir + L"\\helper.state"] = "planted routes to delete";
    HelperLog(L"as a user");
    EXPECT_FALSE(Protected(kDir)) << "an ordinary user's helper leaves it as it is";
    EXPECT_EQ(W().files[kLogFile], "planted\r\n2026-06-27 09:05:03  as a user\r\n");

    W().runningAsLocalSystem = true;
    HelperLog(L"as the service");
    EXPECT_TRUE(Protected(kDir));
    EXPECT_TRUE(Protected(kLogFile));
    EXPECT_TRUE(Protected(kConfFile));
    EXPECT_EQ(W().files.count(kDir + L"\\helper.state"), 0u) << "never acted on";
}

TEST_F(SecurityTest, TakeBackDeletesFilesThatAreLinks) {
    W().runningAsLocalSystem = true;
    W().directories.insert(kDir);
    W().foreignDirectories.insert(kDir);
    W().hardLinks[kLogFile] = kVictim;
    W().reparsePoints.insert(kConfFile);
    DataDirectory();
    EXPECT_EQ(W().deletedEntries,
              (std::vector<std::wstring>{kLogFile, kConfFile, kDir + L"\\helper.state"}));
    EXPECT_EQ(W().files[kVictim], "127.0.0.1 localhost");
}

struct UnusableDirectoryCase {
    const char* name;
    void (*plant)(fake::World&);
    bool usedByAUsersHelper;
};

class UnusableDirectoryTest : public SecurityTest,
                              public ::testing::WithParamInterface<UnusableDirectoryCase> {};

// The service writes nothing (neither the log nor the configuration with its key) through a
// directory that leads elsewhere or that it could not make its own; a user's helper, which
// writes with that user's rights, still uses what is no link.
TEST_P(UnusableDirectoryTest, ServiceWritesNothingThroughIt) {
    W().directories.insert(kDir);
    GetParam().plant(W());
    W().runningAsLocalSystem = true;
    HelperLog(L"line");
    EXPECT_FALSE(ConnectTunnel(L"[Interface]"));
    EXPECT_EQ(W().files.count(kLogFile), 0u);
    EXPECT_EQ(W().files.count(kConfFile), 0u);
    EXPECT_TRUE(W().commandLines.empty()) << "no install without the configuration";
    EXPECT_FALSE(Protected(kDir));

    W().runningAsLocalSystem = false;
    HelperLog(L"line");
    EXPECT_EQ(W().files.count(kLogFile), GetParam().usedByAUsersHelper ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Directories, UnusableDirectoryTest,
    ::testing::Values(
        UnusableDirectoryCase{"Junction", [](fake::World& w) { w.reparsePoints.insert(kDir); },
                              false},
        UnusableDirectoryCase{"ParentIsALink",
                              [](fake::World& w) { w.redirectedDirectories.insert(kDir); }, false},
        UnusableDirectoryCase{"CannotBeOpened",
                              [](fake::World& w) { w.unopenableDirectories.insert(kDir); }, true},
        UnusableDirectoryCase{"ForeignAndNotTakenBack",
                              [](fake::World& w) {
                                  w.foreignDirectories.insert(kDir);
                                  w.takeBackFails = true;
                              },
                              true}),
    [](const auto& info) { return info.param.name; });

TEST_F(SecurityTest, DirectoryStaysHeldWhileTheFileInsideIsOpened) {
    W().runningAsLocalSystem = true;
    HelperLog(L"line");
    EXPECT_TRUE(ConnectTunnel(L"[Interface]"));
    const std::vector<std::wstring> expected = {L"hold " + kDir,       L"append " + kLogFile,
                                                L"release " + kDir,    L"hold " + kDir,
                                                L"write " + kConfFile, L"release " + kDir};
    std::vector<std::wstring> calls;
    for (const std::wstring& call : W().fileCalls) {
        if (call.find(kDir) != std::wstring::npos) {
            calls.push_back(call);
        }
    }
    calls.resize(std::min(calls.size(), expected.size()));
    EXPECT_EQ(calls, expected);
}

TEST_F(SecurityTest, ConfigurationIsNeverWrittenThroughALink) {
    DataDirectory();
    W().reparsePoints.insert(kConfFile);
    EXPECT_TRUE(ConnectTunnel(L"[Interface]"));
    EXPECT_EQ(W().files[kConfFile], "[Interface]");
    EXPECT_EQ(W().files[kVictim], "127.0.0.1 localhost");
    EXPECT_EQ(W().deletedEntries, std::vector<std::wstring>{kConfFile});
}

TEST_F(SecurityTest, LogWithASecondHardLinkIsReplacedNotAppendedTo) {
    DataDirectory();
    W().files[kLogFile] = W().files[kVictim];
    W().hardLinks[kLogFile] = kVictim;
    HelperLog(L"line");
    EXPECT_EQ(W().files[kLogFile], "2026-06-27 09:05:03  line\r\n");
    EXPECT_EQ(W().files[kVictim], "127.0.0.1 localhost");
}

TEST_F(SecurityTest, ServiceWritesTheConfigurationAsANewFileOnlyAdministratorsCanRead) {
    EXPECT_TRUE(ConnectTunnel(L"[Interface]"));
    EXPECT_EQ(W().administratorsOnlyFiles.count(kConfFile), 0u) << "a user's own helper";
    EXPECT_TRUE(W().deletedEntries.empty());
    W().runningAsLocalSystem = true;
    W().programRuns = {{true, 0, nullptr}};
    W().files[kConfFile] = "planted by a user who stays its owner";
    EXPECT_TRUE(ConnectTunnel(L"[Interface]"));
    EXPECT_EQ(W().deletedEntries, std::vector<std::wstring>{kConfFile}) << "never rewritten";
    EXPECT_EQ(W().administratorsOnlyFiles.count(kConfFile), 1u);
    EXPECT_EQ(W().files[kConfFile], "[Interface]");
}

struct BesideHelperCase {
    const char* name;
    std::wstring writable;  // a file or folder ordinary users may change, or nothing
    bool runAsService;
    bool loadBesideHelper;
};

class BesideHelperTest : public SecurityTest,
                         public ::testing::WithParamInterface<BesideHelperCase> {};

// As SYSTEM the helper runs amneziawg.exe and loads WinDivert.dll from its directory only when
// no ordinary user could have put them there; a user's own helper runs them as they are.
TEST_P(BesideHelperTest, ServiceRunsAndLoadsOnlyWhatUsersCannotChange) {
    const std::wstring awg = L"C:\\Program Files\\Orvanta\\awg\\amneziawg.exe";
    W().files[kDivertBesideHelper] = "";
    W().divert.loadablePaths = {kDivertBesideHelper};
    W().writableByUsers = {GetParam().writable};
    W().runningAsLocalSystem = true;
    const bool run = GetParam().runAsService;
    EXPECT_EQ(ConnectTunnel(L"[Interface]"), run);
    EXPECT_EQ(W().commandLines.size(), run ? 1u : 0u);
    EXPECT_EQ(Contains(Log(), "amneziawg.exe is writable by non-administrators; not run"), !run);
    if (run) {
        EXPECT_EQ(W().fileCalls.front(), L"hold " + awg) << "held from before the first run";
        EXPECT_EQ(W().fileCalls.back(), L"release " + awg);
    }

    const bool load = GetParam().loadBesideHelper;
    StartSniffer();
    if (load) {
        ASSERT_TRUE(fake::WaitUntilReceiving());
    }
    StopSniffer();  // joined: its load attempts are all made
    EXPECT_EQ(W().divert.loadAttempts.front(),
              load ? L"path:" + kDivertBesideHelper : std::wstring(L"system search:WinDivert.dll"));
    EXPECT_EQ(Contains(Log(), "WinDivert.dll beside the helper is writable by non-administrators"),
              !load);

    W().runningAsLocalSystem = false;
    W().services.clear();
    W().programRuns = {{true, 0, [] { W().services[L"AmneziaWGTunnel$Orvanta"] = {}; }}};
    EXPECT_TRUE(ConnectTunnel(L"[Interface]")) << "a user's helper runs it as it is";
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

TEST_F(SecurityTest, EveryModeRestrictsLibraryLoadingToTheSafeDirectoriesFirst) {
    HelperMain({L"h", L"--uninstall"});
    EXPECT_TRUE(W().safeLibrarySearch);
}

TEST(ClientTrustTest, OnlyTheServiceOrWithoutOneAPipeOwnedBySystemOrAdministratorsIsTrusted) {
    EXPECT_TRUE(orvanta::ServerIsTrusted(1234, 1234, false));
    EXPECT_TRUE(orvanta::ServerIsTrusted(1234, 1234, true));
    EXPECT_FALSE(orvanta::ServerIsTrusted(666, 1234, false)) << "a squatter beside the service";
    EXPECT_FALSE(orvanta::ServerIsTrusted(666, 1234, true))
        << "a squatter's extra instance shows the service's owner";
    EXPECT_FALSE(orvanta::ServerIsTrusted(666, 0, false)) << "a squatter, no service running";
    EXPECT_FALSE(orvanta::ServerIsTrusted(0, 0, false)) << "server unknown";
    EXPECT_TRUE(orvanta::ServerIsTrusted(666, 0, true)) << "an elevated --console helper";
    EXPECT_TRUE(orvanta::ServerIsTrusted(0, 0, true));
}

}  // namespace
