// Keeping the data directory out of ordinary users' hands, and safe library loading.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32_handle.h"

namespace platform {

using win32::UniqueHandle;

namespace {

// Owner SYSTEM; SYSTEM and Administrators full control, Authenticated Users read and execute;
// nothing inherited from the parent; inherited by the files and folders created inside.
const wchar_t kProtectedSddl[] = L"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FRFX;;;AU)";
// For the tunnel configuration, which holds a private key: no one else may read it.
const wchar_t kAdministratorsOnlySddl[] = L"D:P(A;;FA;;;SY)(A;;FA;;;BA)";

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

bool IsSystemOrAdministrators(PSID sid) {
    return IsWellKnown(sid, WinLocalSystemSid) || IsWellKnown(sid, WinBuiltinAdministratorsSid);
}

// True when an allowing entry lets anyone but SYSTEM and Administrators change the directory.
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
            header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            continue;
        }
        auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        if ((ace->Mask & writeRights) != 0 && !IsSystemOrAdministrators(&ace->SidStart)) {
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
    return owner == nullptr || !IsSystemOrAdministrators(owner) || OthersCanWrite(dacl);
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

}  // namespace

bool CreateProtectedDirectory(const std::wstring& path) {
    LocalMemory descriptor;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kProtectedSddl, SDDL_REVISION_1,
                                                              descriptor.out(), nullptr)) {
        return false;
    }
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor.get(), FALSE};
    return CreateDirectoryW(path.c_str(), &attributes) != FALSE;
}

DirectoryInspection InspectDirectory(const std::wstring& path, bool takeBackIfForeign) {
    DirectoryInspection inspection;
    const DWORD access =
        READ_CONTROL | FILE_READ_ATTRIBUTES | (takeBackIfForeign ? WRITE_DAC | WRITE_OWNER : 0);
    UniqueHandle directory(CreateFileW(
        path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!directory.valid()) {
        return inspection;
    }
    inspection.opened = true;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(directory.get(), &info)) {
        inspection.isReparsePoint = true;  // unknown: treat as unusable
        return inspection;
    }
    inspection.isReparsePoint = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    inspection.pathMatches = SamePath(FinalPath(directory.get()), path);
    if (inspection.isReparsePoint || !inspection.pathMatches) {
        return inspection;
    }
    inspection.foreign = IsForeign(directory.get());
    if (inspection.foreign && takeBackIfForeign) {
        inspection.takenBack = SetProtectedSecurity(directory.get());
    }
    return inspection;
}

namespace {

bool IsLinked(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    return !GetFileInformationByHandle(file, &info) ||
           (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks > 1;
}

// Removes the directory entry itself, never what a link points to.
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

void ProtectExistingFile(const std::wstring& path) {
    UniqueHandle file = OpenEntry(path, READ_CONTROL | WRITE_DAC | WRITE_OWNER,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
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

bool RestrictToAdministrators(HANDLE file) {
    return SetSecurityFromSddl(file, kAdministratorsOnlySddl);
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
