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
    HelperLog(L"as a user");
    EXPECT_FALSE(Protected(kDir)) << "an ordinary user's helper leaves it as it is";
    EXPECT_EQ(W().files[kLogFile], "planted\r\n2026-06-27 09:05:03  as a user\r\n");

    W().runningAsLocalSystem = true;
    HelperLog(L"as the service");
    EXPECT_TRUE(Protected(kDir));
    EXPECT_TRUE(Protected(kLogFile));
    EXPECT_TRUE(Protected(kConfFile));
}

TEST_F(SecurityTest, TakeBackDeletesFilesThatAreLinks) {
    W().runningAsLocalSystem = true;
    W().directories.insert(kDir);
    W().foreignDirectories.insert(kDir);
    W().hardLinks[kLogFile] = kVictim;
    W().reparsePoints.insert(kConfFile);
    DataDirectory();
    EXPECT_EQ(W().deletedEntries, (std::vector<std::wstring>{kLogFile, kConfFile}));
    EXPECT_EQ(W().files[kVictim], "127.0.0.1 localhost");
}

struct LinkedDirectoryCase {
    const char* name;
    bool reparsePoint;
    bool redirected;
};

class LinkedDirectoryTest : public SecurityTest,
                            public ::testing::WithParamInterface<LinkedDirectoryCase> {};

TEST_P(LinkedDirectoryTest, NothingIsWrittenThroughADirectoryThatLeadsElsewhere) {
    W().runningAsLocalSystem = true;
    W().directories.insert(kDir);
    if (GetParam().reparsePoint) {
        W().reparsePoints.insert(kDir);
    }
    if (GetParam().redirected) {
        W().redirectedDirectories.insert(kDir);
    }
    HelperLog(L"line");
    EXPECT_FALSE(ConnectTunnel(L"[Interface]"));
    EXPECT_EQ(W().files.count(kLogFile), 0u);
    EXPECT_EQ(W().files.count(kConfFile), 0u);
    EXPECT_TRUE(W().commandLines.empty()) << "no install without the configuration";
    EXPECT_FALSE(Protected(kDir)) << "and its security is not touched";
}

INSTANTIATE_TEST_SUITE_P(Links, LinkedDirectoryTest,
                         ::testing::Values(LinkedDirectoryCase{"Junction", true, false},
                                           LinkedDirectoryCase{"ParentIsALink", false, true}),
                         [](const auto& info) { return info.param.name; });

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

TEST_F(SecurityTest, ConfigurationWithItsPrivateKeyIsForAdministratorsOnlyWhenTheServiceWritesIt) {
    EXPECT_TRUE(ConnectTunnel(L"[Interface]"));
    EXPECT_EQ(W().administratorsOnlyFiles.count(kConfFile), 0u) << "a user's own helper";
    W().runningAsLocalSystem = true;
    W().programRuns = {{true, 0, nullptr}};
    EXPECT_TRUE(ConnectTunnel(L"[Interface]"));
    EXPECT_EQ(W().administratorsOnlyFiles.count(kConfFile), 1u);
}

TEST_F(SecurityTest, EveryModeRestrictsLibraryLoadingToTheSafeDirectoriesFirst) {
    HelperMain({L"h", L"--uninstall"});
    EXPECT_TRUE(W().safeLibrarySearch);
}

TEST(ClientTrustTest, OnlyTheServiceOrAPipeOwnedBySystemOrAdministratorsIsTrusted) {
    EXPECT_TRUE(orvanta::ServerIsTrusted(1234, 1234, false));
    EXPECT_FALSE(orvanta::ServerIsTrusted(666, 1234, false)) << "a squatter beside the service";
    EXPECT_FALSE(orvanta::ServerIsTrusted(666, 0, false)) << "a squatter, no service running";
    EXPECT_FALSE(orvanta::ServerIsTrusted(0, 0, false)) << "server unknown";
    EXPECT_TRUE(orvanta::ServerIsTrusted(666, 1234, true)) << "an elevated --console helper";
    EXPECT_TRUE(orvanta::ServerIsTrusted(0, 0, true));
}

}  // namespace
