#include "log/data_directory.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <set>

#include "common/access_rules.h"
#include "common/bounded_use.h"
#include "common/names.h"
#include "log/helper_log.h"

const std::wstring kConfigFileName = TunnelName + L".conf";

namespace {

constexpr size_t kMaxBaseLength = 259;  // what fits a MAX_PATH buffer with its NUL
constexpr int kTakeOverAttempts = 2;
std::atomic<uint32_t> RemovedFiles{0};  // makes each name a removed file takes its own

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

// Whose the directory is, read from what the helper can see of it.
enum class Finding { Ours, NotOurs, Elsewhere, Unknown };

Finding Judge(const platform::EntryFacts& facts) {
    if (facts.isLink) {
        return Finding::NotOurs;  // a link in its place is moved aside
    }
    if (!facts.pathMatches) {
        return Finding::Elsewhere;  // a parent leads elsewhere: nothing there is the helper's
    }
    return OnlyAdministratorsCanChange(facts.security, platform::RunningAsAdministrator())
               ? Finding::Ours
               : Finding::NotOurs;
}

// Holds the directory and judges it; when the hold is refused (a user may keep it open with a
// share mode that shuts the hold out), judges what an open without data access shows. `error`
// receives the hold's error. Null unless held and ours. One of ours that an older version made
// open to users is closed to them on the held handle, which may change its access list.
platform::HeldEntry* HoldAndJudge(const std::wstring& path, Finding& finding, uint32_t& error) {
    platform::EntryFacts facts;
    platform::HeldEntry* held = platform::HoldEntry(path, true, facts, true);
    error = facts.error;
    if (held == nullptr) {
        finding = platform::ReadEntry(path, true, facts) == 0 ? Judge(facts) : Finding::Unknown;
        return nullptr;
    }
    finding = Judge(facts);
    if (finding != Finding::Ours) {
        platform::ReleaseEntry(held);
        return nullptr;
    }
    if (OthersReachTheEntry(facts.security, platform::RunningAsAdministrator())) {
        platform::ProtectHeldDirectory(held);  // failing, it is tried at the next take-over
    }
    return held;
}

// The service's way (and the installer's): the directory is its own or none. One that anyone
// else could have prepared is moved aside, never adopted, since users keep every handle they
// opened in it, and created anew; nothing in the old one is read. A link in its place is moved
// aside as well; a path that leads elsewhere through a parent is not used at all. Its own
// directory is never moved, even when it cannot be held now: `error` then tells why.
platform::HeldEntry* TakeOver(const std::wstring& path, platform::Owner owner, uint32_t& error) {
    for (int attempt = 0; attempt < kTakeOverAttempts; ++attempt) {
        platform::CreateProtectedDirectory(path, owner);  // it may well exist
        Finding finding = Finding::Unknown;
        platform::HeldEntry* held = HoldAndJudge(path, finding, error);
        if (held != nullptr || finding != Finding::NotOurs) {
            return held;
        }
        const std::wstring aside = path.substr(path.find_last_of(L'\\') + 1) + L".untrusted-" +
                                   std::to_wstring(platform::TickCountMs());
        error = platform::MoveEntryAside(path, aside);
        if (error != 0) {
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
            held_ = TakeOver(path_, platform::Owner::System, error_);
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
    uint32_t error() const { return held_ == nullptr ? error_ : 0; }
    bool writeFailed() const { return writeFailed_.load(); }
    DataFile File(const std::wstring& name) const {
        return DataFile(held_, path_, name, administratorsOnly_, &writeFailed_);
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
        held_ = platform::HoldEntry(path_, true, facts);
        error_ = facts.error;
        if (held_ != nullptr && (facts.isLink || !facts.pathMatches)) {
            platform::ReleaseEntry(held_);
            held_ = nullptr;
        }
        administratorsOnly_ =
            held_ != nullptr &&
            OnlyAdministratorsCanChange(facts.security, platform::RunningAsAdministrator());
    }

    std::wstring path_;
    platform::HeldEntry* held_ = nullptr;
    bool administratorsOnly_ = false;
    uint32_t error_ = 0;
    mutable std::atomic<bool> writeFailed_{false};
};

// The directory as last verified, shared by every thread's uses; a use in progress keeps its own
// reference, so letting go here never closes the hold under a write.
std::mutex HeldLock;
std::shared_ptr<const VerifiedDirectory> Held;

// The paths whose holders made a use wait past its bound, each logged once until a use of it
// succeeds again.
std::mutex HeldPathsLock;
std::set<std::wstring> HeldPaths;

void NoteHeld(const std::wstring& path, bool held) {
    {
        std::lock_guard<std::mutex> lock(HeldPathsLock);
        if (!held) {
            HeldPaths.erase(path);
            return;
        }
        if (!HeldPaths.insert(path).second) {
            return;
        }
    }
    HelperLog(path + L" held by another process");
}

// The held directory, verified first when none is held or a write through it failed: the
// failure may mean the hold no longer stands for what the path names. One that could not be
// held is returned unkept, and the next use tries again. The caller bounds it.
std::shared_ptr<const VerifiedDirectory> Verified() {
    std::lock_guard<std::mutex> lock(HeldLock);
    if (Held != nullptr && Held->writeFailed()) {
        Held.reset();  // released before the new check, which may have to move it aside
    }
    if (Held != nullptr) {
        return Held;
    }
    auto fresh = std::make_shared<const VerifiedDirectory>();
    if (!fresh->path().empty()) {
        Held = fresh;
    }
    return fresh;
}

}  // namespace

// Errors about the one file (missing, held by someone, locked) say nothing about the held
// directory: a user holding the log would otherwise have it checked anew for every line.
uint32_t DataFile::Noted(uint32_t error) const {
    constexpr uint32_t kFileNotFound = 2, kLockViolation = 33;
    if (error != 0 && error != kFileNotFound && error != platform::kErrorSharingViolation &&
        error != kLockViolation && error != platform::kErrorOperationAborted) {
        writeFailed_->store(true);
    }
    return error;
}

uint32_t DataFile::Append(const std::string& bytes) const {
    return Noted(platform::AppendToFileIn(directory_, name_, bytes));
}

uint32_t DataFile::Replace(const std::string& bytes) const {
    return Noted(platform::ReplaceFileIn(directory_, name_, bytes, CreatorOwner()));
}

uint32_t DataFile::Read(size_t maxBytes, std::string& bytes) const {
    return platform::ReadFileIn(directory_, name_, maxBytes, bytes);
}

std::optional<uint64_t> DataFile::Size() const {
    return platform::FileSizeIn(directory_, name_);
}

uint32_t DataFile::RenameTo(const std::wstring& name) const {
    return Noted(platform::RenameFileIn(directory_, name_, name, true));
}

uint32_t DataFile::Delete() const {
    // Deleted where it lies, the file would keep its name, delete-pending, for as long as a
    // reader that shares delete holds it, and no one could open or create that name meanwhile.
    // It gives up its name first, for one nobody asks for, and is deleted under that.
    const std::wstring removed = name_ + L".removed-" + std::to_wstring(platform::TickCountMs()) +
                                 L"-" + std::to_wstring(++RemovedFiles);
    if (const uint32_t error = Noted(platform::RenameFileIn(directory_, name_, removed, false));
        error != 0) {
        return error;
    }
    // Gone at once, or once the reader lets go; a failure leaves the file under its new name.
    return Noted(platform::DeleteFileIn(directory_, removed));
}

uint32_t DataFile::MoveOutTo(const std::wstring& targetPath) const {
    return Noted(platform::MoveFileOutOf(directory_, name_, targetPath));
}

uint32_t DataFile::MoveInFrom(const std::wstring& sourcePath) const {
    return Noted(platform::MoveFileInto(directory_, sourcePath, name_));
}

std::wstring DataDirectory() {
    BoundedFileUse bound;
    const std::wstring path = Verified()->path();
    NoteHeld(DirectoryPath(), bound.End());
    return path;
}

bool UseDataFile(const std::wstring& name, const std::function<bool(const DataFile&)>& use,
                 uint32_t* holdError) {
    BoundedFileUse bound;
    const std::shared_ptr<const VerifiedDirectory> directory = Verified();
    if (holdError != nullptr) {
        *holdError = directory->error();
    }
    const bool used = !directory->path().empty() && use(directory->File(name));
    const bool held = bound.End();
    if (directory->path().empty()) {
        NoteHeld(DirectoryPath(), held);
    } else if (name != kLogFileName) {  // the log counts the lines a holder cost it itself
        NoteHeld(directory->path() + L"\\" + name, held);
    }
    return used;
}

void ReleaseDataDirectory() {
    {
        std::lock_guard<std::mutex> lock(HeldLock);
        Held.reset();
    }
    std::lock_guard<std::mutex> lock(HeldPathsLock);
    HeldPaths.clear();
}

bool PrepareDataDirectory() {
    ReleaseDataDirectory();  // a hold of its own would keep it from moving a user's aside
    uint32_t error = 0;
    BoundedFileUse bound;
    platform::HeldEntry* held = TakeOver(DirectoryPath(), CreatorOwner(), error);
    NoteHeld(DirectoryPath(), bound.End());
    platform::ReleaseEntry(held);
    return held != nullptr;
}
