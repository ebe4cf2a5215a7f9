// The data directory kept out of ordinary users' hands, and the client's check of its server.
#include "app/entry.h"
#include "common/access_rules.h"
#include "log/data_directory.h"
#include "log/helper_log.h"
#include "orvanta_client_logic.h"
#include "service/runtime.h"
#include "split_fixture.h"
#include "tunnel/connect.h"

namespace {

const std::wstring kDir = L"C:\\ProgramData\\Orvanta";
const std::wstring kLogFile = kDir + L"\\helper.log";
const std::wstring kConfFile = kDir + L"\\Orvanta.conf";
const std::wstring kVictim = L"C:\\Windows\\System32\\drivers\\etc\\hosts";
const std::wstring kAwg = L"C:\\Program Files\\Orvanta\\awg\\amneziawg.exe";

class SecurityTest : public SplitFixture {
  protected:
    void SetUp() override {
        SplitFixture::SetUp();
        W().files[kAwg] = "";
        W().files[kVictim] = "127.0.0.1 localhost";
        W().programRuns = {{true, 0, [] { W().services[L"AmneziaWGTunnel$Orvanta"] = {}; }}};
    }
    static bool Protected(const std::wstring& path) { return W().protectedPaths.count(path) > 0; }
    static bool Contains(const std::string& text, const std::string& part) {
        return text.find(part) != std::string::npos;
    }
};

TEST_F(SecurityTest, NewDirectoryIsCreatedWithTheProtectedAcl) {
    HelperLog(L"line");
    EXPECT_TRUE(Protected(kDir));
    EXPECT_EQ(W().files[kLogFile], "2026-06-27 09:05:03  line\r\n");
}

constexpr uint32_t kRead = 0x1, kDelete = 0x10000, kShareAll = 7, kShareReadWrite = 3,
                   kShareDelete = 4, kShareRead = 1;

// A directory an ordinary user made, with files planted in it.
void UserPreparesTheDirectory(fake::World& w) {
    w.directories.insert(kDir);
    w.security[kDir] = fake::UsersCanChange();
    w.files[kLogFile] = "planted\r\n";
    w.files[kConfFile] = "planted";
    w.files[kDir + L"\\helper.state"] = "planted routes to delete";
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

// The data directory as older versions made it: users could open the folder itself.
const std::vector<platform::AccessEntry> kOlderVersionsAccess = {
    {true, false, 0x1F01FF, platform::Principal::System, true},
    {true, false, 0x1F01FF, platform::Principal::Administrators, true},
    {true, false, 0x1200A9, platform::Principal::AuthenticatedUsers, true}};
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

class AttackTest : public SecurityTest, public ::testing::WithParamInterface<AttackCase> {};

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
                      AttackCase{"UserTriesTheServicesDirectory", true,
                                 &UserTriesTheServicesDirectory, true, true, nullptr, nullptr,
                                 true},
                      AttackCase{"OlderVersionsDirectoryIsClosedToUsers", true,
                                 &OlderVersionMadeTheDirectory, true, true, nullptr, nullptr,
                                 true}),
    [](const auto& info) { return info.param.name; });

TEST_F(SecurityTest, HeldDirectoryCanBeNeitherRenamedNorDeletedByAUser) {
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

// Users may read the log, and a reader that does not share delete keeps it from rotating: it
// then grows to twice its bound and no further.
TEST_F(SecurityTest, LogStaysBoundedWhateverAReaderDoes) {
    constexpr size_t kBound = 8 * 1024 * 1024;
    HelperLog(L"x");
    ASSERT_TRUE(fake::UserOpens(kLogFile, kRead, kShareReadWrite));
    W().files[kLogFile].resize(2 * kBound - 30, '.');
    HelperLog(L"x");  // 24 bytes: still within twice the bound
    HelperLog(L"x");  // dropped
    EXPECT_EQ(W().files[kLogFile].size(), 2 * kBound - 6);
    EXPECT_EQ(W().files.count(kLogFile + L".1"), 0u);
}

TEST_F(SecurityTest, OrdinaryUsersForegroundHelperLogsButNeverWritesTheKeyWhereUsersCanWrite) {
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

TEST_F(SecurityTest, InstallMakesTheDataDirectoryTheServicesOwnBeforeAnyUserCan) {
    for (const bool asService : {false, true}) {
        FreshWorld();
        W().runningAsLocalSystem = asService;
        UserPreparesTheDirectory(W());
        EXPECT_EQ(HelperMain({L"h", L"--install"}), 0);
        EXPECT_EQ(W().movedAside.size(), 1u);
        EXPECT_TRUE(Protected(kDir));
        EXPECT_EQ(W().security[kDir].owner,
                  asService ? platform::Principal::System : platform::Principal::Administrators);
    }
}

TEST_F(SecurityTest, DirectoryStaysHeldWhileTheFileInsideIsOpened) {
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

TEST_F(SecurityTest, ConfigurationIsNeverWrittenThroughALink) {
    DataDirectory();
    W().reparsePoints.insert(kConfFile);
    EXPECT_TRUE(ConnectTunnel(L"[Interface]"));
    EXPECT_EQ(W().files[kConfFile], "[Interface]");
    EXPECT_EQ(W().files[kVictim], "127.0.0.1 localhost");
    EXPECT_EQ(W().reparsePoints.count(kConfFile), 0u) << "replaced, never written through";
}

TEST_F(SecurityTest, LogWithASecondHardLinkIsReplacedNotAppendedTo) {
    DataDirectory();
    W().files[kLogFile] = W().files[kVictim];
    W().hardLinks[kLogFile] = kVictim;
    HelperLog(L"line");
    EXPECT_EQ(W().files[kLogFile], "2026-06-27 09:05:03  line\r\n");
    EXPECT_EQ(W().files[kVictim], "127.0.0.1 localhost");
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

struct RuleCase {
    const char* name;
    platform::Principal owner;
    std::vector<platform::AccessEntry> entries;
    bool currentUserIsAdministrator;
    bool trusted;
    bool entriesAreAll = false;  // without the usual three, which let users read it
    bool othersReachIt = true;
};

class AccessRuleTest : public ::testing::TestWithParam<RuleCase> {};

TEST_P(AccessRuleTest, OnlyAdministratorsMayChangeWhatIsTrusted) {
    using platform::Principal;
    platform::SecurityFacts facts{true, GetParam().owner, false, {}};
    facts.entries = {{true, false, 0x1F01FF, Principal::System},
                     {true, false, 0x1F01FF, Principal::Administrators},
                     {true, false, 0x1200A9, Principal::Other}};  // users: read and execute
    if (GetParam().entriesAreAll) {
        facts.entries.clear();
    }
    facts.entries.insert(facts.entries.end(), GetParam().entries.begin(), GetParam().entries.end());
    EXPECT_EQ(OnlyAdministratorsCanChange(facts, GetParam().currentUserIsAdministrator),
              GetParam().trusted);
    EXPECT_EQ(OthersReachTheEntry(facts, GetParam().currentUserIsAdministrator),
              GetParam().othersReachIt);
}

using P = platform::Principal;
INSTANTIATE_TEST_SUITE_P(
    AccessLists, AccessRuleTest,
    ::testing::Values(
        RuleCase{"ProgramFilesLike",
                 P::TrustedInstaller,
                 {{true, true, 0x10000000, P::CreatorOwner}},
                 false,
                 true},
        RuleCase{"UsersMayWrite", P::System, {{true, false, 0x2, P::Other}}, false, false},
        RuleCase{"UsersHaveGenericWrite",
                 P::System,
                 {{true, false, 0x40000000, P::Other}},
                 false,
                 false},
        RuleCase{
            "UsersMayDeleteChildren", P::System, {{true, false, 0x40, P::Other}}, false, false},
        RuleCase{"InheritOnlyForWhatIsInside",
                 P::System,
                 {{true, true, 0x1F01FF, P::Other}},
                 false,
                 true},
        RuleCase{
            "DenyEntriesNeverGrant", P::System, {{false, false, 0x1F01FF, P::Other}}, false, true},
        RuleCase{"ObjectEntryOfAnyoneElse",
                 P::System,
                 {{true, false, 0xFFFFFFFF, P::Other}},
                 false,
                 false},
        RuleCase{"OwnedByAUser", P::Other, {}, false, false},
        RuleCase{"OwnedByTheAdministratorRunningIt",
                 P::CurrentUser,
                 {{true, false, 0x1F01FF, P::CurrentUser}},
                 true,
                 true},
        RuleCase{"OwnedByTheOrdinaryUserRunningIt", P::CurrentUser, {}, false, false},
        RuleCase{"DataDirectoryAsCreatedOrCorrected", P::System,
                 platform::kProtectedDirectoryAccess, false, true, true, false},
        RuleCase{"DataDirectoryOfAnOlderVersion", P::System, kOlderVersionsAccess, false, true,
                 true, true}),
    [](const auto& info) { return info.param.name; });

TEST(AccessRuleTest, UnreadOrNullDaclIsTrustedByNobody) {
    EXPECT_FALSE(
        OnlyAdministratorsCanChange({false, platform::Principal::System, false, {}}, true));
    EXPECT_FALSE(OnlyAdministratorsCanChange({true, platform::Principal::System, true, {}}, true));
    EXPECT_TRUE(OthersReachTheEntry({false, platform::Principal::System, false, {}}, true));
    EXPECT_TRUE(OthersReachTheEntry({true, platform::Principal::System, true, {}}, true));
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
