// Who may change what the helper trusts.
#include <gtest/gtest.h>

#include "common/access_rules.h"
#include "security_fixture.h"

namespace {

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

}  // namespace
