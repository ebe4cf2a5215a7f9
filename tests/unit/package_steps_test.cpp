// The package's steps around the tunnel service and the data files.
#include "app/entry.h"
#include "service_fixture.h"

namespace {

class PackageStepsTest : public ServiceFixture {};

// Around the package's file operations: a running tunnel is stopped and noted, and started
// again only when noted; a removal takes the tunnel, its key and the state, not the log.
TEST_F(PackageStepsTest, PackageStepsStopAndRestartOnlyARunningTunnelAndRemovalTakesTheKey) {
    const std::wstring dir = L"C:\\ProgramData\\Orvanta\\", tunnel = L"AmneziaWGTunnel$Orvanta";
    for (const bool running : {true, false}) {
        SCOPED_TRACE(running);
        W().scmCalls.clear();
        W().services[tunnel].state =
            running ? platform::kServiceRunning : platform::kServiceStopped;
        EXPECT_EQ(HelperMain({L"h", L"--stop-tunnel-for-upgrade"}), 0);
        EXPECT_EQ(W().services[tunnel].state, platform::kServiceStopped);
        EXPECT_EQ(W().files.count(dir + L"tunnel.restart"), running ? 1u : 0u);
        EXPECT_EQ(HelperMain({L"h", L"--start-tunnel-after-upgrade"}), 0);
        EXPECT_EQ(HelperMain({L"h", L"--start-tunnel-after-upgrade"}), 0);  // taken once
        const std::vector<std::string> calls = {"stop AmneziaWGTunnel$Orvanta",
                                                "start AmneziaWGTunnel$Orvanta"};
        EXPECT_EQ(W().scmCalls, running ? calls : std::vector<std::string>{});
    }
    W().files[L"C:\\Program Files\\Orvanta\\awg\\amneziawg.exe"] = "";
    W().files[dir + L"Orvanta.conf"] = "[Interface]";
    W().files[dir + L"helper.state"] = "x";
    W().files[dir + L"helper.log"] = "";
    W().programRuns = {{true, 0, [tunnel] { W().services.erase(tunnel); }}};
    EXPECT_EQ(HelperMain({L"h", L"--remove-tunnel-and-key"}), 0);
    ASSERT_EQ(W().commandLines.size(), 1u);
    EXPECT_NE(W().commandLines[0].find(L"/uninstalltunnelservice Orvanta"), std::wstring::npos);
    EXPECT_EQ(W().files.count(dir + L"Orvanta.conf") + W().files.count(dir + L"helper.state"), 0u);
    EXPECT_EQ(W().files.count(dir + L"helper.log"), 1u);
}

// Each package step as the installer runs them, in turn: what it did to the tunnel service and
// the data files, and the log lines that say so, failures included.
struct PackageCase {
    const char* name;
    std::function<void()> arrange;
    std::vector<const wchar_t*> steps;
    std::vector<std::string> scmCalls;
    std::vector<std::string> lines;             // after the timestamp
    std::map<std::wstring, std::string> files;  // "" for gone; names in the data directory, or
                                                // "removal\" ones in the program's folder
};

class PackageStepTest : public ServiceFixture, public ::testing::WithParamInterface<PackageCase> {};

const std::wstring kData = L"C:\\ProgramData\\Orvanta\\", kTunnel = L"AmneziaWGTunnel$Orvanta";

void TunnelRunsWithItsKey() {
    fake::TheWorld().services[kTunnel].state = platform::kServiceRunning;
    fake::TheWorld().files[L"C:\\Program Files\\Orvanta\\awg\\amneziawg.exe"] = "";
    for (const wchar_t* name : {L"Orvanta.conf", L"helper.state", L"tunnel.reinstall"}) {
        fake::TheWorld().files[L"C:\\Program Files\\Orvanta\\removal\\" + std::wstring(name)] = "";
    }
    fake::TheWorld().files[kData + L"Orvanta.conf"] = "key";
    fake::TheWorld().files[kData + L"helper.state"] = "state";
    fake::TheWorld().programRuns = {{true, 0, [] { fake::TheWorld().services.erase(kTunnel); }},
                                    {true, 0, [] { fake::TheWorld().services[kTunnel] = {}; }}};
}

TEST_P(PackageStepTest, DoesWhatItLogsAndLogsWhatFailed) {
    const PackageCase& c = GetParam();
    W().services[kTunnel].state = platform::kServiceRunning;
    c.arrange();
    for (const wchar_t* step : c.steps) {
        EXPECT_EQ(HelperMain({L"h", step}), 0);
    }
    EXPECT_EQ(W().scmCalls, c.scmCalls);
    std::string log;
    for (const std::string& line : c.lines) {
        log += "2026-06-27 09:05:03  " + line + "\r\n";
    }
    EXPECT_EQ(W().files[kData + L"helper.log"], log);
    for (const auto& [name, bytes] : c.files) {
        const std::wstring path =
            name.rfind(L"removal", 0) == 0 ? L"C:\\Program Files\\Orvanta\\" + name : kData + name;
        EXPECT_EQ(W().files.count(path) > 0 ? W().files[path] : "", bytes)
            << platform::WideToUtf8(name);
    }
}

const std::vector<std::string> kStopAndStart = {"stop AmneziaWGTunnel$Orvanta",
                                                "start AmneziaWGTunnel$Orvanta"};
const std::string kStopped = "tunnel service stopped for an update of the helper";

INSTANTIATE_TEST_SUITE_P(
    Steps, PackageStepTest,
    ::testing::Values(
        PackageCase{"NoteUnwrittenLeavesTheTunnelRunning",
                    [] { fake::TheWorld().directories.insert(kData + L"tunnel.restart"); },
                    {L"--stop-tunnel-for-upgrade", L"--start-tunnel-after-upgrade"},
                    {},
                    {"tunnel service left running for the update: tunnel.restart not written"},
                    {{L"tunnel.restart", ""}}},
        PackageCase{"NoteBesideUsersFilesIsNotTrusted",
                    [] {
                        fake::TheWorld().directories.insert(L"C:\\ProgramData\\Orvanta");
                        fake::TheWorld().security[L"C:\\ProgramData\\Orvanta"] =
                            fake::UsersCanChange();
                        fake::TheWorld().files[kData + L"tunnel.restart"] = "1";
                    },
                    {L"--start-tunnel-after-upgrade"},
                    {},
                    {"tunnel.restart ignored: others can write beside it"},
                    {{L"tunnel.restart", "1"}}},
        PackageCase{"NoteThatCannotBeDeletedIsNotActedOn",
                    [] { fake::TheWorld().deletesFail = true; },
                    {L"--stop-tunnel-for-upgrade", L"--start-tunnel-after-upgrade"},
                    {kStopAndStart[0]},
                    {kStopped, "tunnel.restart not deleted; not acted on"},
                    {}},
        PackageCase{"RemovalSetsTheKeyAsideAndDeletesTheNote",
                    [] {
                        TunnelRunsWithItsKey();
                        fake::TheWorld().files[kData + L"tunnel.restart"] = "1";
                    },
                    {L"--remove-tunnel-and-key"},
                    {},
                    {"tunnel service removed with the helper",
                     "Orvanta.conf set aside until the removal is committed",
                     "helper.state set aside until the removal is committed",
                     "tunnel.reinstall set aside until the removal is committed"},
                    {{L"Orvanta.conf", ""},
                     {L"helper.state", ""},
                     {L"tunnel.restart", ""},
                     {L"removal\\Orvanta.conf", "key"},
                     {L"removal\\helper.state", "state"},
                     {L"removal\\tunnel.reinstall", "1"}}},
        PackageCase{"RolledBackRemovalBringsTheKeyAndTheTunnelBack",
                    TunnelRunsWithItsKey,
                    {L"--remove-tunnel-and-key", L"--restore-tunnel-and-key"},
                    {},
                    {"tunnel service removed with the helper",
                     "Orvanta.conf set aside until the removal is committed",
                     "helper.state set aside until the removal is committed",
                     "tunnel.reinstall set aside until the removal is committed",
                     "Orvanta.conf restored: the removal was rolled back",
                     "helper.state restored: the removal was rolled back",
                     "tunnel.reinstall restored: the removal was rolled back",
                     "tunnel service installed again: the removal was rolled back"},
                    {{L"Orvanta.conf", "key"},
                     {L"helper.state", "state"},
                     {L"tunnel.reinstall", ""},
                     {L"removal\\Orvanta.conf", ""}}},
        PackageCase{"NothingToRemoveOrRestore",
                    [] { fake::TheWorld().services.clear(); },
                    {L"--remove-tunnel-and-key", L"--restore-tunnel-and-key"},
                    {},
                    {"no tunnel service to remove with the helper"},
                    {}},
        PackageCase{"TunnelThatCannotBeInstalledAgainIsLoggedSo",
                    [] {
                        TunnelRunsWithItsKey();
                        fake::TheWorld().programRuns.back() = {true, 1, [] {}};
                    },
                    {L"--remove-tunnel-and-key", L"--restore-tunnel-and-key"},
                    {},
                    {"tunnel service removed with the helper",
                     "Orvanta.conf set aside until the removal is committed",
                     "helper.state set aside until the removal is committed",
                     "tunnel.reinstall set aside until the removal is committed",
                     "Orvanta.conf restored: the removal was rolled back",
                     "helper.state restored: the removal was rolled back",
                     "tunnel.reinstall restored: the removal was rolled back",
                     "tunnel service not installed again after a rolled-back removal"},
                    {{L"tunnel.reinstall", ""}}},
        PackageCase{"KeyThatCannotBeSetAsideIsDeletedOrLoggedAsKept",
                    [] {
                        TunnelRunsWithItsKey();
                        fake::TheWorld().modulePath = L"D:\\Orvanta\\OrvantaHelper.exe";
                        fake::TheWorld().programRuns.clear();  // no tunnel program on D:
                        fake::UserOpens(kData + L"helper.state", 0x1, 0x1);
                    },
                    {L"--remove-tunnel-and-key"},
                    {"remove AmneziaWGTunnel$Orvanta"},
                    {"tunnel service removed with the helper",
                     "Orvanta.conf deleted at once, not set aside for a rollback: err=17",
                     "helper.state not removed: neither set aside nor deleted, err=17",
                     "tunnel.reinstall deleted at once, not set aside for a rollback: err=17"},
                    {{L"Orvanta.conf", ""}, {L"helper.state", "state"}}},
        PackageCase{
            "KeyThatCannotBeRestoredIsLoggedAndLeftAside",
            [] {
                fake::TheWorld().files[L"C:\\Program Files\\Orvanta\\removal\\Orvanta.conf"] =
                    "key";
                fake::TheWorld().files[kData + L"Orvanta.conf"] = "newer";
            },
            {L"--restore-tunnel-and-key"},
            {},
            {"Orvanta.conf not restored after a rolled-back removal err=183"},
            {{L"Orvanta.conf", "newer"}, {L"removal\\Orvanta.conf", "key"}}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
