// Security read into plain data, entries held against change, and what the helper creates
// protected. The decisions (whom to trust) are made above this layer.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cwchar>
#include <vector>

#include "platform/security.h"
#include "platform/win32/win32_handle.h"

namespace platform {

using win32::UniqueHandle;

namespace {

const wchar_t kTrustedInstallerSid[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

using win32::LocalMemory;

// A SID's bytes, held where no pointer into another buffer can go stale; empty for null.
std::vector<BYTE> SidBytes(PSID sid) {
    if (sid == nullptr) {
        return {};
    }
    const auto* bytes = static_cast<const BYTE*>(sid);
    return std::vector<BYTE>(bytes, bytes + GetLengthSid(sid));
}

PSID AsSid(const std::vector<BYTE>& bytes) {
    return bytes.empty() ? nullptr : const_cast<BYTE*>(bytes.data());
}

// The account this process runs as, read once: it never changes, and it is asked for every
// entry of every access list checked. Null when the token could not be read.
PSID ProcessUserSid() {
    static const std::vector<BYTE> user = [] {
        HANDLE rawToken = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
            return std::vector<BYTE>();
        }
        UniqueHandle token(rawToken);
        alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
        DWORD size = 0;
        return GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &size)
                   ? SidBytes(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid)
                   : std::vector<BYTE>();
    }();
    return AsSid(user);
}

bool IsTrustedInstaller(PSID sid) {
    static const std::vector<BYTE> trustedInstaller = [] {
        LocalMemory converted;
        return ConvertStringSidToSidW(kTrustedInstallerSid,
                                      reinterpret_cast<PSID*>(converted.out()))
                   ? SidBytes(converted.get())
                   : std::vector<BYTE>();
    }();
    const PSID expected = AsSid(trustedInstaller);
    return expected != nullptr && EqualSid(sid, expected);
}

bool IsCurrentUser(PSID sid) {
    const PSID user = ProcessUserSid();
    return user != nullptr && EqualSid(user, sid);
}

Principal PrincipalOf(PSID sid) {
    if (IsWellKnownSid(sid, WinLocalSystemSid)) {
        return Principal::System;
    }
    if (IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) {
        return Principal::Administrators;
    }
    if (IsWellKnownSid(sid, WinCreatorOwnerSid)) {
        return Principal::CreatorOwner;
    }
    if (IsWellKnownSid(sid, WinAuthenticatedUserSid)) {
        return Principal::AuthenticatedUsers;
    }
    if (IsTrustedInstaller(sid)) {
        return Principal::TrustedInstaller;
    }
    return IsCurrentUser(sid) ? Principal::CurrentUser : Principal::Other;
}

AccessEntry EntryOf(const ACE_HEADER* header) {
    AccessEntry entry;
    entry.inheritOnly = (header->AceFlags & INHERIT_ONLY_ACE) != 0;
    entry.passedOn = (header->AceFlags & (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)) != 0;
    if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
        // Both share the layout of the allowed entry: header, mask, SID.
        const auto* ace = reinterpret_cast<const ACCESS_ALLOWED_ACE*>(header);
        entry.allows = header->AceType == ACCESS_ALLOWED_ACE_TYPE;
        entry.mask = ace->Mask;
        entry.who = PrincipalOf(const_cast<DWORD*>(&ace->SidStart));
    } else {
        entry.mask = 0xFFFFFFFFu;  // object and callback entries: taken as granting anything
    }
    return entry;
}

SecurityFacts ReadSecurity(HANDLE handle) {
    SecurityFacts facts;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    LocalMemory descriptor;
    if (GetSecurityInfo(
            handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
            nullptr, &dacl, nullptr,
            reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.out())) != ERROR_SUCCESS) {
        return facts;
    }
    facts.read = true;
    facts.owner = owner != nullptr ? PrincipalOf(owner) : Principal::Other;
    facts.nullDacl = dacl == nullptr;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (GetAce(dacl, i, reinterpret_cast<void**>(&header))) {
            facts.entries.push_back(EntryOf(header));
        }
    }
    return facts;
}

// The path as the file system names it: full, long names, without the \\?\ prefix.
std::wstring Canonical(const std::wstring& path) {
    std::wstring text = path;
    if (text.rfind(L"\\\\?\\UNC\\", 0) == 0) {
        text = L"\\\\" + text.substr(8);
    } else if (text.rfind(L"\\\\?\\", 0) == 0) {
        text = text.substr(4);
    }
    wchar_t full[4096];
    const DWORD fullLength = GetFullPathNameW(text.c_str(), 4096, full, nullptr);
    if (fullLength > 0 && fullLength < 4096) {
        text.assign(full, fullLength);
    }
    wchar_t longer[4096];
    const DWORD longLength = GetLongPathNameW(text.c_str(), longer, 4096);
    if (longLength > 0 && longLength < 4096) {
        text.assign(longer, longLength);
    }
    return text;
}

bool SamePath(const std::wstring& opened, const std::wstring& expected) {
    const std::wstring a = Canonical(opened);
    const std::wstring b = Canonical(expected);
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring FinalPath(HANDLE handle) {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()), 0);
        if (length == 0) {
            return {};
        }
        if (length < buffer.size()) {
            return std::wstring(buffer.data(), length);
        }
        buffer.resize(length + 1);
    }
}

// A reparse point, a second hard link, or not the kind of entry expected.
bool IsLinkOrOtherKind(HANDLE handle, bool isDirectory) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info)) {
        return true;
    }
    const bool directory = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    return (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
           directory != isDirectory || (!directory && info.nNumberOfLinks > 1);
}

// The protected DACL of kProtectedDirectoryAccess as SDDL text; an entry for anyone else than
// SYSTEM, Administrators or Authenticated Users makes text the conversion refuses.
std::wstring ProtectedDaclSddl() {
    std::wstring sddl = L"D:P";
    for (const AccessEntry& entry : kProtectedDirectoryAccess) {
        const wchar_t* who = entry.who == Principal::System               ? L"SY"
                             : entry.who == Principal::Administrators     ? L"BA"
                             : entry.who == Principal::AuthenticatedUsers ? L"AU"
                                                                          : L"?";
        const std::wstring flags =
            std::wstring(entry.passedOn ? L"OICI" : L"") + (entry.inheritOnly ? L"IO" : L"");
        wchar_t mask[16];
        swprintf(mask, 16, L"0x%lx", static_cast<unsigned long>(entry.mask));
        sddl += std::wstring(L"(") + (entry.allows ? L"A;" : L"D;") + flags + L";" + mask + L";;;" +
                who + L")";
    }
    return sddl;
}

}  // namespace

struct HeldEntry {
    UniqueHandle handle;
};

HANDLE HeldHandle(HeldEntry* entry) {
    return entry->handle.get();
}

namespace {

// Opens the entry itself (never what a link points to) and reads what it shows; invalid, with
// the error in `facts`, when it cannot be opened.
UniqueHandle OpenEntry(const std::wstring& path, bool isDirectory, DWORD access, DWORD share,
                       EntryFacts& facts) {
    facts = {};
    UniqueHandle entry(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                   nullptr));
    if (!entry.valid()) {
        facts.error = GetLastError();
        return entry;
    }
    facts.isLink = IsLinkOrOtherKind(entry.get(), isDirectory);
    facts.pathMatches = SamePath(FinalPath(entry.get()), path);
    facts.security = ReadSecurity(entry.get());
    return entry;
}

}  // namespace

HeldEntry* HoldEntry(const std::wstring& path, bool isDirectory, EntryFacts& facts,
                     bool mayProtect) {
    const DWORD access = READ_CONTROL | FILE_READ_ATTRIBUTES | (mayProtect ? WRITE_DAC : 0) |
                         (isDirectory ? FILE_LIST_DIRECTORY : FILE_READ_DATA | FILE_EXECUTE);
    const DWORD share = isDirectory ? FILE_SHARE_READ | FILE_SHARE_WRITE : FILE_SHARE_READ;
    UniqueHandle entry = OpenEntry(path, isDirectory, access, share, facts);
    return entry.valid() ? new HeldEntry{std::move(entry)} : nullptr;
}

uint32_t ReadEntry(const std::wstring& path, bool isDirectory, EntryFacts& facts) {
    // No data access: share modes are checked only between opens that have it.
    OpenEntry(path, isDirectory, READ_CONTROL | FILE_READ_ATTRIBUTES,
              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, facts);
    return facts.error;
}

void ReleaseEntry(HeldEntry* entry) {
    delete entry;
}

uint32_t CreateProtectedDirectory(const std::wstring& path, Owner owner) {
    const std::wstring sddl = OwnerSddl(owner) + ProtectedDaclSddl();
    LocalMemory descriptor;
    if (const uint32_t error = win32::DescriptorFromSddl(sddl, descriptor); error != 0) {
        return error;
    }
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
    return CreateDirectoryW(path.c_str(), &attributes) ? 0 : GetLastError();
}

uint32_t ProtectHeldDirectory(HeldEntry* directory) {
    // The low-level call sets the list on this object alone: the high-level SetSecurityInfo
    // would open every file inside to pass inherited entries on, and meet their holders' oplocks.
    LocalMemory descriptor;
    if (const uint32_t error = win32::DescriptorFromSddl(ProtectedDaclSddl(), descriptor);
        error != 0) {
        return error;
    }
    return SetKernelObjectSecurity(directory->handle.get(), DACL_SECURITY_INFORMATION,
                                   descriptor.get())
               ? 0
               : GetLastError();
}

uint32_t MoveEntryAside(const std::wstring& path, const std::wstring& newName) {
    const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;
    UniqueHandle entry(CreateFileW(path.c_str(), DELETE | SYNCHRONIZE, shareAll, nullptr,
                                   OPEN_EXISTING, flags, nullptr));
    if (!entry.valid()) {
        return GetLastError();
    }
    const std::wstring parentPath = path.substr(0, path.find_last_of(L'\\'));
    UniqueHandle parent(CreateFileW(parentPath.c_str(), FILE_TRAVERSE | SYNCHRONIZE, shareAll,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!parent.valid()) {
        return GetLastError();
    }
    return RenameWithin(entry.get(), parent.get(), newName, false);
}

bool RunningAsLocalSystem() {
    const PSID user = ProcessUserSid();
    return user != nullptr && IsWellKnownSid(user, WinLocalSystemSid);
}

bool RunningAsAdministrator() {
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(sid);
    BOOL member = FALSE;
    return CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
           CheckTokenMembership(nullptr, sid, &member) && member;
}

void UseSafeLibrarySearch() {
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
}

}  // namespace platform
