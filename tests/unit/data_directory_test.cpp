// The data directory kept out of ordinary users' hands.
#include <optional>

#include "app/entry.h"
#include "fresh_world.h"
#include "log/data_directory.h"
#include "log/helper_log.h"
#include "service/runtime.h"
#include "security_fixture.h"
#include "tunnel/connect.h"

namespace {

class UserDataDirectoryTest : public SecurityFixture {};

TEST_F(UserDataDirectoryTest, NewDirectoryIsCreatedWithTheProtectedAcl) {
    HelperLog(L"line");
    EXPECT_TRUE(Protected(kDir));
    EXPECT_EQ(W().files[kLogFile], "2026-06-27 09:05:03  line\r\n");
}

// Each case is an attack by a user of the machine, made before the helper acts; the helper then
// logs a line and connects, as the service (SYSTEM) or as an administrator in the foreground.
struct AttackCase {
    const char* name;
    bool asService;
    void (*attack)(fake::World& w);
    bool logged;                 // the line reached a log
    bool connected;              // the configuration was written and the tunnel installed
    const char* where;           // the directory it all went to, when not the data directory
    const char* line = nullptr;  // a line the log must hold once the user let go
    bool closedToUsers = false;  // the directory ends with the protected list, users shut out
};

const char kLogHeld[] = "  C:\\ProgramData\\Orvanta\\helper.log held by another process; ";
const char kAwgHeld[] =
    "  amneziawg.exe not checked: C:\\Program Files\\Orvanta\\awg\\amneziawg.exe held by "
    "another process; not run\r\n";

// A user who takes an oplock on the log, new or due for rotation, or on the tunnel program, and
// never lets it break.
void UserOplocksTheLog(fake::World& w, size_t size) {
    w.files[kLogFile] = std::string(size, '.');
    EXPECT_TRUE(fake::UserTakesOplock(kLogFile));
}
void UserOplocksANewLog(fake::World& w) {
    UserOplocksTheLog(w, 0);
}
void UserOplocksAFullLog(fake::World& w) {
    UserOplocksTheLog(w, 8 * 1024 * 1024);
}
void UserOplocksTheTunnelProgram(fake::World& w) {
    w.directories.insert(kDir);
    EXPECT_TRUE(fake::UserTakesOplock(kAwg));
}

void OlderVersionMadeTheDirectory(fake::World& w) {
    w.directories.insert(kDir);
    w.security[kDir] = {true, platform::Principal::System, false, kOlderVersionsAccess};
}

// The directory as the service made it, which a user tries to hold while the service does not.
void UserTriesTheServicesDirectory(fake::World& w) {
    w.directories.insert(kDir);
    w.security[kDir] = {true, platform::Principal::System, false,
                        platform::kProtectedDirectoryAccess};
    EXPECT_FALSE(fake::UserOpens(kDir, kRead, 0));
    EXPECT_FALSE(fake::UserTakesOplock(kDir));
}

bool SameEntries(const std::vector<platform::AccessEntry>& a,
                 const std::vector<platform::AccessEntry>& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const auto& x, const auto& y) {
        return x.allows == y.allows && x.inheritOnly == y.inheritOnly && x.mask == y.mask &&
               x.who == y.who && x.passedOn == y.passedOn;
    });
}

class AttackTest : public UserDataDirectoryTest,
                   public ::testing::WithParamInterface<AttackCase> {};

TEST_P(AttackTest, HelperWritesOnlyWhereNoUserCanReach) {
    const AttackCase& c = GetParam();
    W().runningAsLocalSystem = c.asService;
    c.attack(W());
    std::map<std::wstring, std::string> before;
    for (const auto& [path, bytes] : W().files) {
        if (path.rfind(kDir + L"\\", 0) == 0 && path != kLogFile) {
            before[path] = bytes;
        }
    }
    HelperLog(L"line");
    EXPECT_EQ(ConnectTunnel(L"[Interface]"), c.connected);
    EXPECT_EQ(W().commandLines.size(), c.connected ? 1u : 0u);
    EXPECT_EQ(Contains(W().files[kLogFile], "  line\r\n"), c.logged);
    EXPECT_TRUE(!c.closedToUsers ||
                SameEntries(W().security[kDir].entries, platform::kProtectedDirectoryAccess));
    if (c.connected) {
        EXPECT_EQ(W().files[kConfFile], "[Interface]");
        EXPECT_EQ(W().administratorsOnlyFiles.count(kConfFile), 1u);
        before.erase(kConfFile);
    }
    ASSERT_EQ(W().movedAside.size(), c.where != nullptr ? 1u : 0u);  // moved aside, never read
    const std::wstring now = c.where != nullptr ? W().movedAside[0] : kDir;
    if (c.where != nullptr) {
        EXPECT_EQ(now.rfind(std::wstring(kDir + L".untrusted-"), 0), 0u);
        EXPECT_TRUE(Protected(kDir));
    }
    for (const auto& [path, bytes] : before) {  // nothing lost
        EXPECT_EQ(W().files[now + path.substr(kDir.size())], bytes);
    }
    ReleaseDataDirectory();
    W().opens.clear();  // the user lets go: the next line finds a way unless the path leads away
    W().oplocks.clear();
    HelperLog(L"again");
    EXPECT_EQ(Contains(W().files[kLogFile], "  again\r\n"), W().redirectedDirectories.empty());
    EXPECT_TRUE(c.line == nullptr || Contains(W().files[kLogFile], c.line)) << c.line;
    EXPECT_FALSE(W().unboundedWait);
}

// The same attacks against the running service: it answers, and its stop ends in its bound.
TEST_P(AttackTest, ServiceAnswersAndStopsInItsBound) {
    const AttackCase& c = GetParam();
    W().runningAsLocalSystem = c.asService;
    c.attack(W());
    for (const char* request : {"ping\n", "status\n", "splitapps a.exe\n"}) {
        W().waitingClients.push_back(fake::PipeClient{});
        W().waitingClients.back().writes = {request};
    }
    uint64_t stopAsked = 0;
    W().whenNoClientsLeft = [&stopAsked] {
        stopAsked = fake::ClockMs();
        ServiceControlHandler(1, 0, nullptr, nullptr);
    };
    EXPECT_EQ(HelperMain({L"OrvantaHelper.exe", L"--run"}), 0);
    ASSERT_EQ(W().servedClients.size(), 3u);
    EXPECT_EQ(W().servedClients[0].reply + W().servedClients[1].reply + W().servedClients[2].reply,
              "OK\nSTOPPED\nOK\n");
    EXPECT_LE(fake::ClockMs() - stopAsked, 5000u) << "the stop's wait hint";
    EXPECT_FALSE(W().unboundedWait);
    W().opens.clear();
    W().oplocks.clear();
    HelperLog(L"again");
    const std::string log = W().files[kLogFile];
    size_t held = 0;
    for (size_t at = log.find("held by another process"); at != std::string::npos;
         at = log.find("held by another process", at + 1)) {
        ++held;
    }
    EXPECT_EQ(held, c.line != nullptr && Contains(c.line, "helper.log held") ? 1u : 0u) << log;
    EXPECT_EQ(Contains(log, "  again\r\n"), W().redirectedDirectories.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Attacks, AttackTest,
    ::testing::Values(AttackCase{"UserPreparedTheDirectory", true, &UserPreparesTheDirectory, true,
                                 true, "aside"},
                      AttackCase{"UserPreparedItAndKeepsAFileInsideOpen", true,
                                 [](fake::World& w) {
                                     UserPreparesTheDirectory(w);
                                     fake::UserOpens(kLogFile, kRead, kShareAll);
                                 },
                                 false, false, nullptr},
                      AttackCase{"UserPutAJunctionInItsPlace", true,
                                 [](fake::World& w) { w.reparsePoints.insert(kDir); }, true, true,
                                 "aside"},
                      AttackCase{"UserHoldsTheDirectoryWithDeleteAccess", true,
                                 [](fake::World& w) {
                                     w.directories.insert(kDir);
                                     fake::UserOpens(kDir, kDelete, kShareReadWrite);
                                 },
                                 false, false, nullptr},
                      AttackCase{"UserHoldsTheDirectorySharingDeleteOnly", true,
                                 [](fake::World& w) {
                                     w.files[kConfFile] = w.files[kDir + L"\\helper.state"] =
                                         "kept";
                                     fake::UserOpens(kDir, kRead, kShareDelete);
                                 },
                                 false, false, nullptr},
                      AttackCase{"ParentLeadsElsewhere", true,
                                 [](fake::World& w) {
                                     UserPreparesTheDirectory(w);  // held: read without data
                                     w.redirectedDirectories.insert(kDir);
                                     fake::UserOpens(kDir, kRead, kShareDelete);
                                 },
                                 false, false, nullptr},
                      AttackCase{"ForegroundHelperBehindARedirectedParent", false,
                                 [](fake::World& w) {
                                     w.directories.insert(kDir);
                                     w.redirectedDirectories.insert(kDir);
                                 },
                                 false, false, nullptr},
                      // Sharing delete, the user lets it be moved; the handle goes with it.
                      AttackCase{"UserPreparedItAndHoldsItSharingDeleteOnly", true,
                                 [](fake::World& w) {
                                     UserPreparesTheDirectory(w);
                                     fake::UserOpens(kDir, kRead, kShareDelete);
                                 },
                                 true, true, "aside"},
                      AttackCase{"AdministratorsForegroundHelperInAUsersDirectory", false,
                                 &UserPreparesTheDirectory, true, false, nullptr},
                      AttackCase{"ScannerHoldsTheOldConfigurationSharingDelete", true,
                                 [](fake::World& w) {
                                     w.directories.insert(kDir);
                                     w.files[kConfFile] = "old";
                                     fake::UserOpens(kConfFile, kRead, kShareAll);
                                 },
                                 true, true, nullptr},
                      AttackCase{"UserHoldsTheOldConfigurationSharingNothing", true,
                                 [](fake::World& w) {
                                     w.directories.insert(kDir);
                                     w.files[kConfFile] = "old";
                                     fake::UserOpens(kConfFile, kRead, 0);
                                 },
                                 true, false, nullptr},
                      AttackCase{"UserLocksTheTunnelProgram", true,
                                 [](fake::World& w) {
                                     w.directories.insert(kDir);
                                     fake::UserOpens(kAwg, kRead, 0);
                                 },
                                 true, false, nullptr,
                                 "  amneziawg.exe is in use by another process err=32; not run"},
                      AttackCase{"ReaderBlindsTheLog", true,
                                 [](fake::World& w) {
                                     w.files[kLogFile] = std::string(8 * 1024 * 1024, '.');
                                     w.files[kLogFile + L".1"] = "older";  // cannot be replaced:
                                     fake::UserOpens(kLogFile + L".1", kRead, kShareRead);
                                     fake::UserOpens(kLogFile, kRead, kShareAll);
                                 },
                                 true, true, nullptr}),
    [](const auto& info) { return info.param.name; });

// Oplocks no user acknowledges, and the data directory's own access list.
INSTANTIATE_TEST_SUITE_P(
    HeldPaths, AttackTest,
    ::testing::Values(AttackCase{"UserOplocksTheLogAtStartUp", true, &UserOplocksANewLog, false,
                                 true, nullptr, kLogHeld},
                      AttackCase{"UserOplocksTheLogAtRotation", true, &UserOplocksAFullLog, false,
                                 true, nullptr, kLogHeld},
                      AttackCase{"UserOplocksTheTunnelProgram", true, &UserOplocksTheTunnelProgram,
                                 true, false, nullptr, kAwgHeld},
                      AttackCase{"UserOplocksTheForegroundHelpersTunnelProgram", false,
                                 &UserOplocksTheTunnelProgram, true, false, nullptr, kAwgHeld},
                      AttackCase{"UserTriesTheServicesDirectory", true,
                                 &UserTriesTheServicesDirectory, true, true, nullptr, nullptr,
                                 true},
                      AttackCase{"OlderVersionsDirectoryIsClosedToUsers", true,
                                 &OlderVersionMadeTheDirectory, true, true, nullptr, nullptr,
                                 true}),
    [](const auto& info) { return info.param.name; });

TEST_F(UserDataDirectoryTest, HeldDirectoryCanBeNeitherRenamedNorDeletedByAUser) {
    W().runningAsLocalSystem = true;
    bool userCouldDelete = true;
    UseDataFile(kLogFileName, [&](const DataFile&) {
        userCouldDelete = fake::UserOpens(kDir, kDelete, kShareAll);
        return true;
    });
    EXPECT_FALSE(userCouldDelete);
    EXPECT_FALSE(fake::UserOpens(kDir, kDelete, kShareAll)) << "held between the uses";
    ReleaseDataDirectory();
    EXPECT_EQ(W().fileCalls.back(), L"release " + kDir) << "released at the end";
}

TEST_F(UserDataDirectoryTest,
       OrdinaryUsersForegroundHelperLogsButNeverWritesTheKeyWhereUsersCanWrite) {
    W().administrator = false;
    HelperLog(L"line");
    EXPECT_FALSE(Protected(kDir));
    EXPECT_EQ(W().files[kLogFile], "2026-06-27 09:05:03  line\r\n");
    EXPECT_FALSE(ConnectTunnel(L"[Interface]"));
    EXPECT_EQ(W().files.count(kConfFile), 0u);
    EXPECT_TRUE(Contains(W().files[kLogFile],
                         "  Orvanta.conf not written: non-administrators "
                         "can change the data directory\r\n"));
}

TEST_F(UserDataDirectoryTest, DirectoryStaysHeldWhileTheFileInsideIsOpened) {
    W().runningAsLocalSystem = true;
    HelperLog(L"line");
    EXPECT_TRUE(ConnectTunnel(L"[Interface]"));
    ReleaseDataDirectory();
    // Checked and held once, for every use, until its end.
    const std::vector<std::wstring> expected = {L"hold " + kDir, L"append " + kLogFile,
                                                L"write " + kConfFile};
    std::vector<std::wstring> calls;
    for (const std::wstring& call : W().fileCalls) {
        if (call.find(kDir) != std::wstring::npos) {
            calls.push_back(call);
        }
    }
    EXPECT_EQ(calls.back(), L"release " + kDir);
    calls.resize(std::min(calls.size(), expected.size()));
    EXPECT_EQ(calls, expected);
}

TEST_F(UserDataDirectoryTest, ConfigurationIsNeverWrittenThroughALink) {
    DataDirectory();
    W().reparsePoints.insert(kConfFile);
    EXPECT_TRUE(ConnectTunnel(L"[Interface]"));
    EXPECT_EQ(W().files[kConfFile], "[Interface]");
    EXPECT_EQ(W().files[kVictim], "127.0.0.1 localhost");
    EXPECT_EQ(W().reparsePoints.count(kConfFile), 0u) << "replaced, never written through";
}

struct DirectoryCase {
    const char* name;
    std::optional<std::wstring> programData;
    std::wstring directory;
};

class DataDirectoryTest : public FreshWorldTest,
                          public ::testing::WithParamInterface<DirectoryCase> {};

TEST_P(DataDirectoryTest, PathsFollowTheEnvironment) {
    if (GetParam().programData) {
        fake::TheWorld().environment[L"ProgramData"] = *GetParam().programData;
    }
    EXPECT_EQ(DataDirectory(), GetParam().directory);
    HelperLog(L"line");
    EXPECT_EQ(fake::TheWorld().files.count(GetParam().directory + L"\\helper.log"), 1u);
    EXPECT_EQ(fake::TheWorld().directories.count(GetParam().directory), 1u);
}

const std::wstring k259 = L"D:\\" + std::wstring(256, L'a');
const std::wstring k260 = k259 + L"b";

INSTANTIATE_TEST_SUITE_P(
    Environment, DataDirectoryTest,
    ::testing::Values(DirectoryCase{"Set", L"D:\\Data", L"D:\\Data\\Orvanta"},
                      DirectoryCase{"Unset", std::nullopt, L"C:\\ProgramData\\Orvanta"},
                      DirectoryCase{"Empty", L"", L"C:\\ProgramData\\Orvanta"},
                      DirectoryCase{"Length259", k259, k259 + L"\\Orvanta"},
                      DirectoryCase{"Length260", k260, L"C:\\ProgramData\\Orvanta"},
                      DirectoryCase{"TrailingBackslash", L"D:\\Data\\", L"D:\\Data\\\\Orvanta"}),
    [](const auto& info) { return info.param.name; });

}  // namespace
