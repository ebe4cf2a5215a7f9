#include <windows.h>
#include <winternl.h>

#include <algorithm>
#include <vector>

#include "platform/files.h"
#include "platform/security.h"
#include "platform/win32/win32_handle.h"

namespace platform {

using win32::UniqueHandle;

std::optional<std::wstring> EnvironmentVariable(const std::wstring& name) {
    std::vector<wchar_t> buffer(260);
    for (;;) {
        SetLastError(ERROR_SUCCESS);
        const DWORD length =
            GetEnvironmentVariableW(name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            if (GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
                return std::nullopt;
            }
            return std::wstring();
        }
        if (length < buffer.size()) {
            return std::wstring(buffer.data(), length);
        }
        buffer.resize(length);  // the call reported the size it needs, NUL included
    }
}

uint32_t CreateDirectoryIfMissing(const std::wstring& path) {
    return CreateDirectoryW(path.c_str(), nullptr) ? 0 : GetLastError();
}

namespace {

// Native names the SDK declares only for drivers.
constexpr ULONG kFileOpen = 1, kFileCreate = 2, kFileOpenIf = 3;
constexpr ULONG kNonDirectoryFile = 0x40, kDeleteOnClose = 0x1000, kOpenReparsePoint = 0x200000;
constexpr ULONG kFileRenameInformation = 10, kFileRenameInformationEx = 65;
constexpr ULONG kRenameReplaceIfExists = 0x1, kRenamePosixSemantics = 0x2;

// Opens `name` relative to the held directory's handle: the directory that was checked is
// the one used, whatever has happened to its path since. Invalid, with `error`, on failure.
UniqueHandle OpenIn(HeldEntry* directory, const std::wstring& name, ACCESS_MASK access, ULONG share,
                    ULONG disposition, ULONG options, DWORD& error, void* descriptor = nullptr) {
    UNICODE_STRING text;
    text.Buffer = const_cast<PWSTR>(name.c_str());
    text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, HeldHandle(directory),
                               descriptor);
    IO_STATUS_BLOCK status{};
    HANDLE file = nullptr;
    const NTSTATUS result = NtCreateFile(
        &file, access | SYNCHRONIZE, &attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL, share,
        disposition, options | kNonDirectoryFile | kOpenReparsePoint | FILE_SYNCHRONOUS_IO_NONALERT,
        nullptr, 0);
    if (result < 0) {
        error = RtlNtStatusToDosError(result);
        return UniqueHandle();
    }
    return UniqueHandle(file);
}

bool IsLinked(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info{};
    return !GetFileInformationByHandle(file, &info) ||
           (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info.nNumberOfLinks > 1;
}

// Opens for appending without following links; a link found in the file's place is removed
// and a plain file opened instead, so no write ever lands in a file another name shares.
UniqueHandle OpenUnlinkedForAppend(HeldEntry* directory, const std::wstring& name, DWORD& error) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        UniqueHandle file = OpenIn(directory, name, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                   FILE_SHARE_READ, kFileOpenIf, 0, error);
        if (!file.valid() || !IsLinked(file.get())) {
            return file;
        }
        file.reset();
        DeleteFileIn(directory, name);
    }
    error = ERROR_ACCESS_DENIED;  // still a link after it was deleted
    return UniqueHandle();
}

bool WriteAll(HANDLE file, const std::string& bytes) {
    DWORD written = 0;
    return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
           written == bytes.size();
}

// FILE_RENAME_INFORMATION(_EX): flags (or the replace byte), root directory, name length, name.
uint32_t SetRename(HANDLE entry, HANDLE directory, ULONG kind, ULONG flags,
                   const std::wstring& newName) {
    struct Rename {
        ULONG flags;
        HANDLE rootDirectory;
        ULONG fileNameLength;
        WCHAR fileName[1];
    };
    std::vector<unsigned char> buffer(sizeof(Rename) + newName.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<Rename*>(buffer.data());
    rename->flags = flags;
    rename->rootDirectory = directory;  // the name is relative to it: no path is looked up
    rename->fileNameLength = static_cast<ULONG>(newName.size() * sizeof(wchar_t));
    std::copy(newName.begin(), newName.end(), rename->fileName);
    IO_STATUS_BLOCK status{};
    const NTSTATUS result =
        NtSetInformationFile(entry, &status, rename, static_cast<ULONG>(buffer.size()),
                             static_cast<FILE_INFORMATION_CLASS>(kind));
    return result < 0 ? RtlNtStatusToDosError(result) : 0;
}

}  // namespace

uint32_t RenameWithin(HANDLE entry, HANDLE directory, const std::wstring& newName, bool replace) {
    if (replace) {
        const uint32_t posix = SetRename(entry, directory, kFileRenameInformationEx,
                                         kRenameReplaceIfExists | kRenamePosixSemantics, newName);
        // Older Windows, and file systems without POSIX semantics, refuse the class or flag.
        if (posix != ERROR_INVALID_PARAMETER && posix != ERROR_NOT_SUPPORTED &&
            posix != ERROR_INVALID_FUNCTION) {
            return posix;
        }
    }
    return SetRename(entry, directory, kFileRenameInformation, replace ? 1 : 0, newName);
}

uint32_t AppendToFileIn(HeldEntry* directory, const std::wstring& name, const std::string& bytes) {
    // Append-only access: every write goes to the current end of the file.
    DWORD error = 0;
    UniqueHandle file = OpenUnlinkedForAppend(directory, name, error);
    if (!file.valid()) {
        return error;
    }
    WriteAll(file.get(), bytes);
    return 0;
}

uint32_t ReplaceFileIn(HeldEntry* directory, const std::wstring& name, const std::string& bytes,
                       Owner owner) {
    const std::wstring temporary = name + L".tmp";
    DeleteFileIn(directory, temporary);  // left by a write that failed halfway
    win32::LocalMemory descriptor;
    DWORD error =
        win32::DescriptorFromSddl(OwnerSddl(owner) + L"D:P(A;;FA;;;SY)(A;;FA;;;BA)", descriptor);
    if (error != 0) {
        return error;
    }
    UniqueHandle file = OpenIn(directory, temporary, GENERIC_WRITE | DELETE, 0, kFileCreate, 0,
                               error, descriptor.get());
    if (!file.valid()) {
        return error;
    }
    if (!WriteAll(file.get(), bytes)) {
        error = GetLastError();
    } else {
        error = RenameWithin(file.get(), HeldHandle(directory), name, true);
    }
    if (error != 0) {
        file.reset();
        DeleteFileIn(directory, temporary);
    }
    return error;
}

uint32_t ReadFileIn(HeldEntry* directory, const std::wstring& name, size_t maxBytes,
                    std::string& bytes) {
    DWORD error = 0;
    UniqueHandle file = OpenIn(directory, name, FILE_READ_DATA | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ, kFileOpen, 0, error);
    if (!file.valid()) {
        return error;
    }
    LARGE_INTEGER size{};
    if (IsLinked(file.get()) || !GetFileSizeEx(file.get(), &size) ||
        static_cast<uint64_t>(size.QuadPart) > maxBytes) {
        return ERROR_ACCESS_DENIED;  // a link, or larger than any file the helper writes
    }
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    if (!bytes.empty() &&
        !ReadFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr)) {
        return GetLastError();
    }
    return read == bytes.size() ? 0 : ERROR_HANDLE_EOF;
}

std::optional<uint64_t> FileSizeIn(HeldEntry* directory, const std::wstring& name) {
    // Attributes only: no data access, so no share mode of anyone else's stands in the way.
    DWORD error = 0;
    UniqueHandle file =
        OpenIn(directory, name, FILE_READ_ATTRIBUTES,
               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, kFileOpen, 0, error);
    LARGE_INTEGER size{};
    if (!file.valid() || !GetFileSizeEx(file.get(), &size)) {
        return std::nullopt;
    }
    return static_cast<uint64_t>(size.QuadPart);
}

uint32_t RenameFileIn(HeldEntry* directory, const std::wstring& from, const std::wstring& to,
                      bool replace) {
    DWORD error = 0;
    UniqueHandle file =
        OpenIn(directory, from, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
               kFileOpen, 0, error);
    return file.valid() ? RenameWithin(file.get(), HeldHandle(directory), to, replace) : error;
}

uint32_t MoveFileOutOf(HeldEntry* directory, const std::wstring& name,
                       const std::wstring& targetPath) {
    DWORD error = 0;
    UniqueHandle file =
        OpenIn(directory, name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
               kFileOpen, 0, error);
    // No root directory: the new name is a full NT path.
    return file.valid() ? RenameWithin(file.get(), nullptr, L"\\??\\" + targetPath, true) : error;
}

uint32_t MoveFileInto(HeldEntry* directory, const std::wstring& sourcePath,
                      const std::wstring& name) {
    UniqueHandle file(CreateFileW(sourcePath.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) {
        return GetLastError();
    }
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size) || IsLinked(file.get())) {
        return ERROR_ACCESS_DENIED;
    }
    return size.QuadPart == 0 ? ERROR_FILE_NOT_FOUND
                              : RenameWithin(file.get(), HeldHandle(directory), name, false);
}

uint32_t DeleteFileIn(HeldEntry* directory, const std::wstring& name) {
    DWORD error = 0;
    OpenIn(directory, name, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
           kFileOpen, kDeleteOnClose, error);  // deleted when this handle closes
    return error;
}

bool PathExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring ModuleFilePath() {
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) {
            return {};
        }
        if (length < buffer.size()) {
            return std::wstring(buffer.data(), length);
        }
        if (buffer.size() >= 32768) {  // longer than any Windows path: give up
            return {};
        }
        buffer.resize(buffer.size() * 2);  // truncated: try again with more room
    }
}

std::wstring SystemDirectory() {
    std::vector<wchar_t> buffer(MAX_PATH);
    // Too small a buffer gets the size it needs, its NUL included; the path, no NUL.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const UINT length = GetSystemDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
        if (length == 0) {
            return {};
        }
        if (length < buffer.size()) {
            return std::wstring(buffer.data(), length);
        }
        buffer.resize(length);
    }
    return {};
}

}  // namespace platform
