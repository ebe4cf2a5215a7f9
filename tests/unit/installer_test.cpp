// Installing and uninstalling the helper's own service.
#include "app/entry.h"
#include "service/installer.h"
#include "service_fixture.h"
#include "security_fixture.h"

namespace {

class InstallerTest : public ServiceFixture {};

TEST_F(InstallerTest, InstallCreatesTheServiceWithTheQuotedPathAndStartsIt) {
    W().modulePath = L"C:\\Program Files\\Orvanta\\" + std::wstring(280, L'x') + L".exe";
    EXPECT_EQ(HelperMain({L"h", L"--install"}), 0);
    EXPECT_EQ(W().scmCalls,
              (std::vector<std::string>{"open manager to create", "open service to change",
                                        "create", "failure actions", "failure flag", "start"}));
    const platform::OwnServiceConfig& config = W().installed.at(L"OrvantaHelper");
    EXPECT_EQ(config.displayName, L"Orvanta Helper");
    EXPECT_EQ(config.commandLine, L"\"" + W().modulePath + L"\" --run");
    EXPECT_EQ(W().failureActions.count(L"OrvantaHelper"), 1u);
    EXPECT_EQ(W().openScmHandles, 0);
}

TEST_F(InstallerTest, InstallOverAnExistingServiceRewritesItsConfiguration) {
    W().installed[L"OrvantaHelper"] = {L"OrvantaHelper", L"old", L"\"D:\\old.exe\" --run"};
    EXPECT_EQ(InstallService(), 0);
    EXPECT_EQ(W().scmCalls,
              (std::vector<std::string>{"open manager to create", "open service to change",
                                        "change", "failure actions", "failure flag", "start"}));
    EXPECT_EQ(W().installed.at(L"OrvantaHelper").commandLine,
              L"\"C:\\Program Files\\Orvanta\\OrvantaHelper.exe\" --run");
    // Restarted 1 s, 5 s and 30 s after failures, counted afresh after a day; error stops too.
    const platform::RestartPolicy& restart = W().failureActions.at(L"OrvantaHelper");
    EXPECT_EQ(restart.delaysMs, (std::vector<uint32_t>{1000, 5000, 30000}));
    EXPECT_EQ(restart.resetSeconds, 86400u);
    EXPECT_EQ(W().errorStopsCount.count(L"OrvantaHelper"), 1u);
    EXPECT_EQ(W().openScmHandles, 0);
    // A refusal leaves the service registered and started.
    W().failureActionsRefused = true;
    W().scmCalls.clear();
    EXPECT_EQ(InstallService(), 0);
    EXPECT_EQ(W().scmCalls.back(), "start");
}

TEST_F(InstallerTest, InstallReportsAManagerNotOpenedAndARefusedCreation) {
    W().managerOpenFails = true;
    EXPECT_EQ(InstallService(), 1);
    W().managerOpenFails = false;
    W().serviceCreationFails = true;
    EXPECT_EQ(InstallService(), 2);
    EXPECT_EQ(W().openScmHandles, 0);
    EXPECT_TRUE(W().installed.empty());
}

TEST_F(InstallerTest, UninstallStopsAndDeletesAndIsFineWithoutTheService) {
    W().installed[L"OrvantaHelper"] = {};
    EXPECT_EQ(HelperMain({L"h", L"--uninstall"}), 0);
    EXPECT_EQ(W().scmCalls, (std::vector<std::string>{"open manager to connect",
                                                      "open service to remove", "stop", "delete"}));
    EXPECT_TRUE(W().installed.empty());
    W().scmCalls.clear();
    EXPECT_EQ(UninstallService(), 0);
    EXPECT_EQ(W().scmCalls,
              (std::vector<std::string>{"open manager to connect", "open service to remove"}));
    W().managerOpenFails = true;
    EXPECT_EQ(UninstallService(), 1);
    EXPECT_EQ(W().openScmHandles, 0);
}

// A service deleted while another process holds it open stays, refusing changes (1072), until
// that process lets go; and a stop takes its time. Both are waited for, bounded on the clock.
struct MarkedCase {
    const char* name;
    bool install;
    uint64_t goesOrStopsAfterMs;  // UINT64_MAX: never
    int exitCode;
    uint64_t elapsedMs;  // at least, and less than one more poll
};

class MarkedForDeletionTest : public ServiceFixture,
                              public ::testing::WithParamInterface<MarkedCase> {};

TEST_P(MarkedForDeletionTest, InstallAndUninstallWaitBoundedForTheServiceManager) {
    const MarkedCase& c = GetParam();
    W().installed[L"OrvantaHelper"] = {};
    if (c.install) {
        W().heldOpenUntil[L"OrvantaHelper"] = UINT64_MAX;
        EXPECT_EQ(UninstallService(), 0);  // the holder keeps it, marked for deletion
        W().heldOpenUntil[L"OrvantaHelper"] = c.goesOrStopsAfterMs == UINT64_MAX
                                                  ? UINT64_MAX
                                                  : fake::ClockMs() + c.goesOrStopsAfterMs;
    } else {
        W().stopTakesMs = c.goesOrStopsAfterMs;
    }
    const uint64_t start = fake::ClockMs();
    EXPECT_EQ(c.install ? InstallService() : UninstallService(), c.exitCode);
    EXPECT_GE(fake::ClockMs() - start, c.elapsedMs);
    EXPECT_LT(fake::ClockMs() - start, c.elapsedMs + 250);
    EXPECT_EQ(W().installed.count(L"OrvantaHelper"), c.install ? 1u : 0u) << "made anew, or kept";
    EXPECT_EQ(W().markedForDeletion.size(), c.exitCode == 0 ? 0u : 1u);
    EXPECT_EQ(W().openScmHandles, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Services, MarkedForDeletionTest,
    ::testing::Values(MarkedCase{"InstallAfterItWent", true, 2000, 0, 2000},
                      MarkedCase{"InstallWhileItStays", true, UINT64_MAX, 2, 5000},
                      MarkedCase{"UninstallWaitsForTheStop", false, 1500, 0, 1500},
                      MarkedCase{"UninstallGivesUpOnAStopThatNeverComes", false, UINT64_MAX, 0,
                                 30000}),
    [](const auto& info) { return info.param.name; });

class InstallerSecurityTest : public SecurityFixture {};

TEST_F(InstallerSecurityTest, InstallMakesTheDataDirectoryTheServicesOwnBeforeAnyUserCan) {
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

}  // namespace
