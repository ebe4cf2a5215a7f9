#include "common/access_rules.h"

namespace {

bool IsAdministrative(platform::Principal who, bool currentUserIsAdministrator) {
    return who == platform::Principal::System || who == platform::Principal::Administrators ||
           who == platform::Principal::TrustedInstaller ||
           (currentUserIsAdministrator && who == platform::Principal::CurrentUser);
}

}  // namespace

bool OnlyAdministratorsCanChange(const platform::SecurityFacts& security,
                                 bool currentUserIsAdministrator) {
    if (!security.read || security.nullDacl ||
        !IsAdministrative(security.owner, currentUserIsAdministrator)) {
        return false;
    }
    for (const platform::AccessEntry& entry : security.entries) {
        // A deny entry never grants; CREATOR OWNER in an entry that applies is no one's, but
        // read as anyone's all the same.
        if (entry.allows && !entry.inheritOnly && (entry.mask & platform::kRightsThatChange) != 0 &&
            !IsAdministrative(entry.who, currentUserIsAdministrator)) {
            return false;
        }
    }
    return true;
}

bool OthersReachTheEntry(const platform::SecurityFacts& security, bool currentUserIsAdministrator) {
    if (!security.read || security.nullDacl) {
        return true;
    }
    for (const platform::AccessEntry& entry : security.entries) {
        if (entry.allows && !entry.inheritOnly &&
            !IsAdministrative(entry.who, currentUserIsAdministrator)) {
            return true;
        }
    }
    return false;
}
