#include "log/data_directory.h"

#include "common/names.h"
#include "platform/platform.h"

const std::wstring kConfigFileName = TunnelName + L".conf";

namespace {

constexpr size_t kMaxBaseLength = 259;  // what fits a MAX_PATH buffer with its NUL

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

// A link to somewhere else is never used. The service, which writes as SYSTEM, uses only a
// directory it could open and that is (or has just been made) its own: anything else may be a
// user's, through which a configuration would be written wherever that user chose. A helper run
// by an ordinary user writes only with that user's rights.
bool Usable(const platform::DirectoryInspection& found, bool asLocalSystem) {
    if (found.opened && (found.isReparsePoint || !found.pathMatches)) {
        return false;
    }
    return !asLocalSystem || (found.opened && (!found.foreign || found.takenBack));
}

// The verified directory, held open for as long as this object lives.
class VerifiedDirectory {
  public:
    VerifiedDirectory() : path_(BaseDirectory() + L"\\Orvanta") {
        CreateDataDirectory(path_);
        const bool asLocalSystem = platform::RunningAsLocalSystem();
        const platform::DirectoryInspection found =
            platform::InspectDirectory(path_, asLocalSystem, held_);
        if (!Usable(found, asLocalSystem)) {
            path_.clear();
        } else if (found.takenBack) {
            // Files planted while the directory was someone else's are taken back (or removed,
            // when they are links) before anything is written to them.
            platform::ProtectExistingFile(path_ + L"\\" + kLogFileName);
            platform::ProtectExistingFile(path_ + L"\\" + kConfigFileName);
            // A state file is read and acted on at start (routes deleted): one that was there
            // while someone else owned the directory is not the helper's.
            platform::DeletePath(path_ + L"\\" + kStateFileName);
        }
    }
    ~VerifiedDirectory() { platform::ReleaseDirectory(held_); }
    VerifiedDirectory(const VerifiedDirectory&) = delete;
    VerifiedDirectory& operator=(const VerifiedDirectory&) = delete;
    const std::wstring& path() const { return path_; }

  private:
    std::wstring path_;
    platform::HeldDirectory* held_ = nullptr;
};

}  // namespace

std::wstring DataDirectory() {
    return VerifiedDirectory().path();
}

bool UseDataFile(const std::wstring& name, const std::function<bool(const std::wstring&)>& use) {
    const VerifiedDirectory directory;
    return !directory.path().empty() && use(directory.path() + L"\\" + name);
}
