// Keeping the data directory out of ordinary users' hands, and safe library loading.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <memory>
#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32_handle.h"

namespace platform {

using win32::UniqueHandle;

namespace {

// Owner SYSTEM; SYSTEM and Administrators full control, Authenticated Users read and execute;
// nothing inherited from the parent; inherited by the files and folders created inside.
const wchar_t kProtectedSddl[] = L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;AU)";
// For the tunnel configuration, which holds a private key: owned by SYSTEM, and no one else
// may read it.
const wchar_t kAdministratorsOnlySddl[] = L"O:SYD:P(A;;FA;;;SY)(A;;FA;;;BA)";
const wchar_t kTrustedInstallerSid[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

class LocalMemory {
  public:
    ~LocalMemory() { LocalFree(memory_); }
    void** out() { return &memory_; }
    void* get() const { return memory_; }

  private:
    void* memory_ = nullptr;
};

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
    return IsWellKnownSid(sid, type) != FALSE;
}

bool IsTrustedInstaller(PSID sid) {
    PSID trustedInstaller = nullptr;
    if (!ConvertStringSidToSidW(kTrustedInstallerSid, &trustedInstaller)) {
        return false;
    }
    const bool same = EqualSid(sid, trustedInstaller) != FALSE;
    LocalFree(trustedInstaller);
    return same;
}

// The accounts that may change what the helper runs, loads or writes as SYSTEM.
bool IsAdministrative(PSID sid) {
    return IsWellKnown(sid, WinLocalSystemSid) || IsWellKnown(sid, WinBuiltinAdministratorsSid) ||
           IsTrustedInstaller(sid);
}

// True when an entry that applies to the object lets anyone else change it: write or append
// data (in a folder: add files or folders), delete it or entries in it, change its DACL or
// owner. Inherit-only entries (such as CREATOR OWNER) apply to children only.
bool OthersCanWrite(PACL dacl) {
    if (dacl == nullptr) {
        return true;  // a null DACL grants everything to everyone
    }
    const ACCESS_MASK writeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA |
                                    FILE_WRITE_ATTRIBUTES | FILE_DELETE_CHILD | DELETE | WRITE_DAC |
                                    WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACE_HEADER* header = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&header)) ||
            header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) {
            continue;
        }
        auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        if ((ace->Mask & writeRights) != 0 && !IsAdministrative(&ace->SidStart)) {
            return true;
        }
    }
    return false;
}

bool IsForeign(HANDLE handle) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    LocalMemory descriptor;
    if (GetSecurityInfo(
            handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
            nullptr, &dacl, nullptr,
            reinterpret_cast<PSECURITY_DESCRIPTOR*>(descriptor.out())) != ERROR_SUCCESS) {
        return true;
    }
    return owner == nullptr || !IsAdministrative(owner) || OthersCanWrite(dacl);
}

// Sets the owner (when the SDDL names one) and the DACL of the SDDL text, protected from
// inheritance, through the handle.
bool SetSecurityFromSddl(HANDLE handle, const wchar_t* sddl) {
    LocalMemory descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1,
                                                              descriptor.out(), nullptr)) {
        return false;
    }
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    GetSecurityDescriptorOwner(descriptor.get(), &owner, &defaulted);
    GetSecurityDescriptorDacl(descriptor.get(), &present, &dacl, &defaulted);
    const SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION |
                                      PROTECTED_DACL_SECURITY_INFORMATION |
                                      (owner != nullptr ? OWNER_SECURITY_INFORMATION : 0);
    return SetSecurityInfo(handle, SE_FILE_OBJECT, what, owner, nullptr, dacl, nullptr) ==
           ERROR_SUCCESS;
}

bool SetProtectedSecurity(HANDLE handle) {
    return SetSecurityFromSddl(handle, kProtectedSddl);
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

// Enables, for its lifetime, the privileges LocalSystem holds but keeps disabled that let it
// open and take back a directory or file whose owner denied it access.
class TakeBackPrivileges {
  public:
    TakeBackPrivileges() {
        HANDLE token = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token)) {
            return;
        }
        token_.reset(token);
        const wchar_t* names[kCount] = {SE_TAKE_OWNERSHIP_NAME, SE_RESTORE_NAME, SE_BACKUP_NAME};
        Privileges wanted{};
        wanted.count = kCount;
        for (DWORD i = 0; i < kCount; ++i) {
            LookupPrivilegeValueW(nullptr, names[i], &wanted.privileges[i].Luid);
            wanted.privileges[i].Attributes = SE_PRIVILEGE_ENABLED;
        }
        DWORD size = 0;
        adjusted_ = AdjustTokenPrivileges(token_.get(), FALSE, wanted.header(), sizeof(previous_),
                                          previous_.header(), &size) != FALSE;
    }
    ~TakeBackPrivileges() {
        if (adjusted_) {
            AdjustTokenPrivileges(token_.get(), FALSE, previous_.header(), 0, nullptr, nullptr);
        }
    }
    TakeBackPrivileges(const TakeBackPrivileges&) = delete;
    TakeBackPrivileges& operator=(const TakeBackPrivileges&) = delete;

  private:
    static constexpr DWORD kCount = 3;
    // TOKEN_PRIVILEGES with room for all three.
    struct Privileges {
        DWORD count;
        LUID_AND_ATTRIBUTES privileges[kCount];
        TOKEN_PRIVILEGES* header() { return reinterpret_cast<TOKEN_PRIVILEGES*>(this); }
    };
    UniqueHandle token_;
    Privileges previous_{};
    bool adjusted_ = false;
};

// Opens the entry itself, never what a link points to, without delete sharing.
UniqueHandle OpenHeld(const std::wstring& path, DWORD access, DWORD share) {
    return UniqueHandle(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                    nullptr));
}

bool IsReparsePoint(HANDLE handle) {
    BY_HANDLE_FILE_INFORMATION info{};
    return !GetFileInformationByHandle(handle, &info) ||
           (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

}  // namespace

struct HeldDirectory {
    UniqueHandle handle;
};

struct HeldFile {
    std::vector<UniqueHandle> handles;  // the folders from the root down, then the file
};

bool CreateProtectedDirectory(const std::wstring& path) {
    LocalMemory descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedSddl, SDDL_REVISION_1,
                                                              descriptor.out(), nullptr)) {
        return false;
    }
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
    return CreateDirectoryW(path.c_str(), &attributes) != FALSE;
}

DirectoryInspection InspectDirectory(const std::wstring& path, bool takeBackIfForeign,
                                     HeldDirectory*& held) {
    held = nullptr;
    DirectoryInspection inspection;
    std::unique_ptr<TakeBackPrivileges> privileges;
    if (takeBackIfForeign) {
        privileges = std::make_unique<TakeBackPrivileges>();
    }
    const DWORD access =
        READ_CONTROL | FILE_READ_ATTRIBUTES | (takeBackIfForeign ? WRITE_DAC | WRITE_OWNER : 0);
    UniqueHandle directory = OpenHeld(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE);
    if (!directory.valid()) {
        return inspection;
    }
    inspection.opened = true;
    inspection.isReparsePoint = IsReparsePoint(directory.get());  // unknown counts as a link
    inspection.pathMatches = SamePath(FinalPath(directory.get()), path);
    if (inspection.isReparsePoint || !inspection.pathMatches) {
        return inspection;
    }
    inspection.foreign = IsForeign(directory.get());
    if (inspection.foreign && takeBackIfForeign) {
        inspection.takenBack = SetProtectedSecurity(directory.get());
    }
    held = new HeldDirectory{std::move(directory)};
    return inspection;
}

void ReleaseDirectory(HeldDirectory* held) {
    delete held;
}

HeldFile* HoldAdministratorsOnlyFile(const std::wstring& root, const std::wstring& path) {
    if (path.size() <= root.size() || path.compare(0, root.size(), root) != 0 ||
        path[root.size()] != L'\\') {
        return nullptr;
    }
    auto held = std::make_unique<HeldFile>();
    for (size_t end = root.size();; end = path.find(L'\\', end + 1)) {
        const bool isFile = end == std::wstring::npos;
        const DWORD share = isFile ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE;
        UniqueHandle entry = OpenHeld(isFile ? path : path.substr(0, end),
                                      READ_CONTROL | FILE_READ_ATTRIBUTES, share);
        if (!entry.valid() || IsReparsePoint(entry.get()) || IsForeign(entry.get())) {
            return nullptr;
        }
        held->handles.push_back(std::move(entry));
        if (isFile) {
            return held.release();
        }
    }
}

void ReleaseHeldFile(HeldFile* held) {
    delete held;
}

namespace {

bool IsLinked(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    return !GetFileInformationByHandle(file, &info) ||
           (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks > 1;
}

void DeleteEntry(const std::wstring& path) {
    UniqueHandle entry(CreateFileW(
        path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING,
        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_DELETE_ON_CLOSE,
        nullptr));
}

UniqueHandle OpenEntry(const std::wstring& path, DWORD access, DWORD share, DWORD disposition) {
    return UniqueHandle(CreateFileW(path.c_str(), access | FILE_READ_ATTRIBUTES, share, nullptr,
                                    disposition,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

}  // namespace

void DeletePath(const std::wstring& path) {
    DeleteEntry(path);
}

void ProtectExistingFile(const std::wstring& path) {
    TakeBackPrivileges privileges;
    UniqueHandle file(
        CreateFileW(path.c_str(), READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) {
        return;
    }
    if (IsLinked(file.get())) {
        file.reset();
        DeleteEntry(path);
        return;
    }
    SetProtectedSecurity(file.get());
}

// Opens without following links; a link found in the file's place is removed and a plain
// file opened instead, so no write ever lands in a file that another name shares.
UniqueHandle OpenUnlinkedFile(const std::wstring& path, DWORD access, DWORD share) {
    UniqueHandle file = OpenEntry(path, access, share, OPEN_ALWAYS);
    if (file.valid() && IsLinked(file.get())) {
        file.reset();
        DeleteEntry(path);
        file = OpenEntry(path, access, share, OPEN_ALWAYS);
        if (file.valid() && IsLinked(file.get())) {
            file.reset();
        }
    }
    return file;
}

UniqueHandle CreateAdministratorsOnlyFile(const std::wstring& path, DWORD access) {
    DeleteEntry(path);
    LocalMemory descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            kAdministratorsOnlySddl, SDDL_REVISION_1, descriptor.out(), nullptr)) {
        return UniqueHandle();
    }
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
    return UniqueHandle(CreateFileW(path.c_str(), access, 0, &attributes, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

bool RunningAsLocalSystem() {
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
        return false;
    }
    UniqueHandle token(rawToken);
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    return GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &size) &&
           IsWellKnown(reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, WinLocalSystemSid);
}

void UseSafeLibrarySearch() {
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
}

}  // namespace platform
