#include "log/data_directory.h"

#include "common/names.h"
#include "platform/platform.h"

namespace {

constexpr size_t kMaxBaseLength = 259;  // what fits a MAX_PATH buffer with its NUL
const std::wstring kLogFileName = L"helper.log";
std::wstring ConfigFileName() {
    return TunnelName + L".conf";
}

std::wstring BaseDirectory() {
    const auto value = platform::EnvironmentVariable(L"ProgramData");
    if (value && !value->empty() && value->size() <= kMaxBaseLength) {
        return *value;  // verbatim: a trailing backslash stays
    }
    return L"C:\\ProgramData";
}

// Created owned by SYSTEM where the process may do so (as the service does); otherwise, or
// when it exists, as it stands.
void CreateDataDirectory(const std::wstring& directory) {
    if (!platform::CreateProtectedDirectory(directory)) {
        platform::CreateDirectoryIfMissing(directory);
    }
}

}  // namespace

std::wstring DataDirectory() {
    const std::wstring directory = BaseDirectory() + L"\\Orvanta";
    CreateDataDirectory(directory);
    const platform::DirectoryInspection found =
        platform::InspectDirectory(directory, platform::RunningAsLocalSystem());
    if (found.opened && (found.isReparsePoint || !found.pathMatches)) {
        return {};  // a link to somewhere else: nothing is written through it
    }
    if (found.takenBack) {
        // Files planted while the directory was someone else's are taken back (or removed, when
        // they are links) before anything is written to them.
        platform::ProtectExistingFile(directory + L"\\" + kLogFileName);
        platform::ProtectExistingFile(directory + L"\\" + ConfigFileName());
    }
    return directory;
}

namespace {

std::wstring FileInDataDirectory(const std::wstring& name) {
    const std::wstring directory = DataDirectory();
    return directory.empty() ? std::wstring() : directory + L"\\" + name;
}

}  // namespace

std::wstring LogFilePath() {
    return FileInDataDirectory(L"helper.log");
}

std::wstring ConfigFilePath() {
    return FileInDataDirectory(TunnelName + L".conf");
}
