#pragma once

// Security as plain data, entries held against change, what the helper creates protected, and
// who the process runs as. Whom to trust is decided above this layer (common/access_rules.h).

#include <cstdint>
#include <string>
#include <vector>

#include "platform/files.h"

namespace platform {

enum class Principal {
    System,
    Administrators,
    TrustedInstaller,
    CreatorOwner,
    CurrentUser,  // the account this process runs as, when it is none of the above
    AuthenticatedUsers,
    Other,
};
struct AccessEntry {
    bool allows = true;        // an allow entry (deny entries never grant)
    bool inheritOnly = false;  // applies to what is created inside, not to the object
    uint32_t mask = 0;         // file rights, generic rights included as written
    Principal who = Principal::Other;
    bool passedOn = false;  // inherited by the files and folders created inside
};
struct SecurityFacts {
    bool read = false;  // false: the owner and DACL could not be read
    Principal owner = Principal::Other;
    bool nullDacl = false;  // no DACL at all: everyone may do everything
    std::vector<AccessEntry> entries;
};
// The rights that change a file or folder: write or append data (in a folder: add files or
// folders), write extended attributes, delete what is in it, write attributes, delete it,
// change its DACL or owner; and the generic rights that include them.
constexpr uint32_t kRightsThatChange =
    0x2 | 0x4 | 0x10 | 0x40 | 0x100 | 0x10000 | 0x40000 | 0x80000 | 0x40000000 | 0x10000000;

// What opening an entry itself (never what a link points to) showed.
struct EntryFacts {
    uint32_t error = 0;        // the open's Win32 error; 0 when it was opened
    bool isLink = false;       // a reparse point, a second hard link, or another kind of entry
    bool pathMatches = false;  // its final path is the path asked for (no link on the way)
    SecurityFacts security;
};
// What the helper's protected directories grant: SYSTEM and Administrators full control, and
// Authenticated Users read and execute on the files inside only (inherit-only), nothing on the
// directory itself: no user can open it with data access, so none can shut the helper out of it
// with a share mode or an oplock while the helper does not hold it.
inline const std::vector<AccessEntry> kProtectedDirectoryAccess = {
    {true, false, 0x1F01FF, Principal::System, true},
    {true, false, 0x1F01FF, Principal::Administrators, true},
    {true, true, 0x1200A9, Principal::AuthenticatedUsers, true},
};

// An entry held open with data access (a folder for listing, a file for reading and running)
// and without delete sharing (a file without write sharing either), so that nobody can rename,
// delete, replace or change it while it is held. Windows checks share modes only between opens
// with data access, so a hold without it would hold nothing. Null, with the error in `facts`,
// when it cannot be opened, also when someone already holds it with delete or write access.
// With `mayProtect`, the hold may also change the entry's access list (ProtectHeldDirectory).
HeldEntry* HoldEntry(const std::wstring& path, bool isDirectory, EntryFacts& facts,
                     bool mayProtect = false);
void ReleaseEntry(HeldEntry* entry);
// What the entry itself shows to an open for its security and attributes alone, which no share
// mode blocks and which holds nothing: for telling whose an entry is that cannot be held. Returns
// the open's Win32 error (also in `facts`), 0 when the facts were read.
uint32_t ReadEntry(const std::wstring& path, bool isDirectory, EntryFacts& facts);

constexpr uint32_t kErrorInvalidOwner = 1307;    // the caller may not give it that owner
constexpr uint32_t kErrorSharingViolation = 32;  // another open's share mode shuts this one out
// Creates the directory with the owner and a protected DACL of kProtectedDirectoryAccess.
// Returns 0 or the Win32 error (183 when it exists).
uint32_t CreateProtectedDirectory(const std::wstring& path, Owner owner);
// Gives a directory held with `mayProtect` the protected DACL of kProtectedDirectoryAccess
// through the held handle, without opening it again and without touching what is inside (the
// files keep their own lists). Returns 0 or the Win32 error (5 for a hold without the right).
uint32_t ProtectHeldDirectory(HeldEntry* directory);
// Renames the entry itself (a link stays a link) to `newName` beside it, so that nothing in it
// is ever used again. Returns 0 or the Win32 error.
uint32_t MoveEntryAside(const std::wstring& path, const std::wstring& newName);

bool RunningAsLocalSystem();
// True when the process's token holds the Administrators group enabled (an elevated
// administrator, or SYSTEM).
bool RunningAsAdministrator();
// Makes the process load libraries only from the safe default directories (the executable's
// directory, System32, directories added by an administrator), never the current directory or
// PATH.
void UseSafeLibrarySearch();

}  // namespace platform
