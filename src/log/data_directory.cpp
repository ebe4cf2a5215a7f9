#include "log/data_directory.h"

#include "common/access_rules.h"
#include "common/names.h"

const std::wstring kConfigFileName = TunnelName + L".conf";

namespace {

constexpr size_t kMaxBaseLength = 259;  // what fits a MAX_PATH buffer with its NUL
constexpr int kTakeOverAttempts = 2;

std::wstring BaseDirectory() {
    const auto value = platform::EnvironmentVariable(L"ProgramData");
    if (value && !value->empty() && value->size() <= kMaxBaseLength) {
        return *value;  // verbatim: a trailing backslash stays
    }
    return L"C:\\ProgramData";
}

std::wstring DirectoryPath() {
    return BaseDirectory() + L"\\Orvanta";
}

// Who owns what the helper creates: the service's files are its own, a foreground helper's
// belong to Administrators.
platform::Owner CreatorOwner() {
    return platform::RunningAsLocalSystem() ? platform::Owner::System
                                            : platform::Owner::Administrators;
}

// Held, and neither a link nor reached through one; null otherwise.
platform::HeldEntry* HoldDirectory(const std::wstring& path, platform::EntryFacts& facts) {
    platform::HeldEntry* held = platform::HoldEntry(path, true, facts);
    if (held != nullptr && (facts.isLink || !facts.pathMatches)) {
        platform::ReleaseEntry(held);
        return nullptr;
    }
    return held;
}

// The service's way (and the installer's): the directory is its own or none. One that anyone
// else could have prepared is moved aside, never adopted, since users keep every handle they
// opened in it, and created anew; nothing in the old one is read. A link in its place is moved
// aside as well; a path that leads elsewhere through a parent is not used at all.
platform::HeldEntry* TakeOver(const std::wstring& path, platform::Owner owner) {
    for (int attempt = 0; attempt < kTakeOverAttempts; ++attempt) {
        platform::CreateProtectedDirectory(path, owner);  // it may well exist
        platform::EntryFacts facts;
        platform::HeldEntry* held = HoldDirectory(path, facts);
        if (held != nullptr &&
            OnlyAdministratorsCanChange(facts.security, platform::RunningAsAdministrator())) {
            return held;
        }
        platform::ReleaseEntry(held);
        if (facts.error == 0 && !facts.isLink && !facts.pathMatches) {
            return nullptr;
        }
        const std::wstring aside = path.substr(path.find_last_of(L'\\') + 1) + L".untrusted-" +
                                   std::to_wstring(platform::TickCountMs());
        if (platform::MoveEntryAside(path, aside) != 0) {
            return nullptr;  // e.g. someone keeps a file in it open
        }
    }
    return nullptr;
}

// The verified directory, held open for as long as this object lives.
class VerifiedDirectory {
  public:
    VerifiedDirectory() : path_(DirectoryPath()) {
        if (platform::RunningAsLocalSystem()) {
            held_ = TakeOver(path_, platform::Owner::System);
            administratorsOnly_ = held_ != nullptr;
        } else {
            UseAsFound();
        }
        if (held_ == nullptr) {
            path_.clear();
        }
    }
    ~VerifiedDirectory() { platform::ReleaseEntry(held_); }
    VerifiedDirectory(const VerifiedDirectory&) = delete;
    VerifiedDirectory& operator=(const VerifiedDirectory&) = delete;
    const std::wstring& path() const { return path_; }
    DataFile File(const std::wstring& name) const {
        return DataFile(held_, path_, name, administratorsOnly_);
    }

  private:
    // A helper in the foreground: an administrator's creates the directory owned by
    // Administrators with the protected DACL; an ordinary user's, which may not, creates it
    // plainly and writes with that user's rights. Nothing moves what it finds.
    void UseAsFound() {
        if (platform::CreateProtectedDirectory(path_, platform::Owner::Administrators) ==
            platform::kErrorInvalidOwner) {
            platform::CreateDirectoryIfMissing(path_);
        }
        platform::EntryFacts facts;
        held_ = HoldDirectory(path_, facts);
        administratorsOnly_ =
            held_ != nullptr &&
            OnlyAdministratorsCanChange(facts.security, platform::RunningAsAdministrator());
    }

    std::wstring path_;
    platform::HeldEntry* held_ = nullptr;
    bool administratorsOnly_ = false;
};

}  // namespace

bool DataFile::Append(const std::string& bytes) const {
    return platform::AppendToFileIn(directory_, name_, bytes) == 0;
}

uint32_t DataFile::Replace(const std::string& bytes) const {
    return platform::ReplaceFileIn(directory_, name_, bytes, CreatorOwner());
}

bool DataFile::Read(size_t maxBytes, std::string& bytes) const {
    return platform::ReadFileIn(directory_, name_, maxBytes, bytes) == 0;
}

std::optional<uint64_t> DataFile::Size() const {
    return platform::FileSizeIn(directory_, name_);
}

bool DataFile::RenameTo(const std::wstring& name) const {
    return platform::RenameFileIn(directory_, name_, name) == 0;
}

bool DataFile::Delete() const {
    return platform::DeleteFileIn(directory_, name_) == 0;
}

std::wstring DataDirectory() {
    return VerifiedDirectory().path();
}

bool UseDataFile(const std::wstring& name, const std::function<bool(const DataFile&)>& use) {
    const VerifiedDirectory directory;
    return !directory.path().empty() && use(directory.File(name));
}

bool PrepareDataDirectory() {
    platform::HeldEntry* held = TakeOver(DirectoryPath(), CreatorOwner());
    platform::ReleaseEntry(held);
    return held != nullptr;
}
