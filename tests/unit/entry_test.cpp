// The command line: which mode an argument selects.
#include "app/entry.h"
#include "service_fixture.h"
#include "security_fixture.h"

namespace {

class EntryTest : public ServiceFixture {};

TEST_F(EntryTest, OnlyTheExactFirstArgumentSelectsAMode) {
    const std::pair<std::vector<std::wstring>, HelperMode> cases[] = {
        {{L"h"}, HelperMode::Service},
        {{L"h", L"--run"}, HelperMode::Service},
        {{L"h", L"--install"}, HelperMode::Install},
        {{L"h", L"--uninstall"}, HelperMode::Uninstall},
        {{L"h", L"--console", L"--install"}, HelperMode::Console},
        {{L"h", L"--Install"}, HelperMode::Service},
        {{L"h", L"-install"}, HelperMode::Service},
        {{L"h", L"--install=1"}, HelperMode::Service},
        {{L"h", L" --console"}, HelperMode::Service},
        {{L"h", L""}, HelperMode::Service},
        {{L"h", L"--run", L"--install"}, HelperMode::Service}};
    for (const auto& [arguments, mode] : cases) {
        EXPECT_EQ(SelectMode(arguments), mode) << arguments.size();
    }
}

TEST_F(EntryTest, HandStartedServiceModeExitsWithOne) {
    W().dispatcherFails = true;
    EXPECT_EQ(HelperMain({L"h"}), 1);
    EXPECT_EQ(HelperMain({L"h", L"--Install"}), 1);
    EXPECT_TRUE(W().scmCalls.empty());
}

class EntrySecurityTest : public SecurityFixture {};

TEST_F(EntrySecurityTest, EveryModeRestrictsLibraryLoadingToTheSafeDirectoriesFirst) {
    HelperMain({L"h", L"--uninstall"});
    EXPECT_TRUE(W().safeLibrarySearch);
}

}  // namespace
