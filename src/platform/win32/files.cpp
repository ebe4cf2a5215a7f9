#include <windows.h>

#include <vector>

#include "platform/platform.h"
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

void CreateDirectoryIfMissing(const std::wstring& path) {
    CreateDirectoryW(path.c_str(), nullptr);
}

namespace {

void WriteAll(HANDLE file, const std::string& bytes) {
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

bool AppendToFile(const std::wstring& path, const std::string& bytes) {
    // Append-only access: every write goes to the current end of the file.
    UniqueHandle file = OpenUnlinkedFile(path, FILE_APPEND_DATA, FILE_SHARE_READ);
    if (!file.valid()) {
        return false;
    }
    WriteAll(file.get(), bytes);
    return true;
}

uint32_t WriteWholeFile(const std::wstring& path, const std::string& bytes,
                        bool administratorsOnly) {
    // Truncated only once it is known to be no link, so a shared file is never emptied.
    UniqueHandle file = administratorsOnly ? CreateAdministratorsOnlyFile(path, GENERIC_WRITE)
                                           : OpenUnlinkedFile(path, GENERIC_WRITE, 0);
    if (!file.valid() || !SetEndOfFile(file.get())) {
        const DWORD error = GetLastError();
        return error != ERROR_SUCCESS ? error : ERROR_ACCESS_DENIED;
    }
    WriteAll(file.get(), bytes);
    return 0;
}

bool ReadWholeFile(const std::wstring& path, size_t maxBytes, std::string& bytes) {
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info{};
    if (!file.valid() || !GetFileInformationByHandle(file.get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        info.nFileSizeHigh != 0 || info.nFileSizeLow > maxBytes) {
        return false;
    }
    bytes.resize(info.nFileSizeLow);
    DWORD read = 0;
    return bytes.empty() ||
           (ReadFile(file.get(), bytes.data(), info.nFileSizeLow, &read, nullptr) &&
            read == info.nFileSizeLow);
}

std::optional<uint64_t> FileSize(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        return std::nullopt;
    }
    return (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

bool MoveReplacing(const std::wstring& source, const std::wstring& target) {
    return MoveFileExW(source.c_str(), target.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != FALSE;
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

}  // namespace platform
