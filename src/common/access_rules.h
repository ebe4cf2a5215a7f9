#pragma once

#include "platform/platform.h"

// Whom the helper trusts with what it runs, loads and writes: an entry that only SYSTEM,
// Administrators or TrustedInstaller can change (and, with `currentUserIsAdministrator`, the
// administrator this process runs as, who may own what it creates). Its owner is one of them,
// and no entry that applies to it (inherit-only entries apply to what is created inside) lets
// anyone else write, append, delete, change its DACL or owner, or add or remove entries in it.
// An entry whose security cannot be read, or that has no DACL at all, is trusted by nobody.
bool OnlyAdministratorsCanChange(const platform::SecurityFacts& security,
                                 bool currentUserIsAdministrator);

// Whether anyone but those is granted anything on the entry itself (entries that are not
// inherit-only): such a one can open it and, with a share mode or an oplock, keep the helper out
// whenever the helper does not hold it. An unread or missing DACL counts as reaching it.
bool OthersReachTheEntry(const platform::SecurityFacts& security, bool currentUserIsAdministrator);
