// Files, folders and their security in the fake world, under Windows' share rules: share modes
// are checked only between opens with data access (read, write, append, execute, delete), a
// folder with anything open inside cannot be renamed, and a rename or delete fails over a file
// that someone holds without delete sharing.
#include "fake_world.h"

namespace {

constexpr uint32_t kReadData = 0x1 | 0x20;  // read (or list), execute (or traverse)
constexpr uint32_t kWriteData = 0x2 | 0x4;  // write, append (or add file, add folder)
constexpr uint32_t kDelete = 0x10000;
constexpr uint32_t kShareRead = 1, kShareWrite = 2, kShareDelete = 4;
constexpr uint32_t kSharingViolation = 32, kAccessDenied = 5, kNotFound = 2;

bool OneWayConflict(const fake::Open& a, const fake::Open& b) {
    return ((a.access & kReadData) && !(b.share & kShareRead)) ||
           ((a.access & kWriteData) && !(b.share & kShareWrite)) ||
           ((a.access & kDelete) && !(b.share & kShareDelete));
}

bool HasDataAccess(uint32_t access) {
    return (access & (kReadData | kWriteData | kDelete)) != 0;
}

bool SharingAllows(const std::wstring& path, const fake::Open& wanted) {
    if (!HasDataAccess(wanted.access)) {
        return true;
    }
    const auto range = fake::TheWorld().opens.equal_range(path);
    for (auto it = range.first; it != range.second; ++it) {
        if (HasDataAccess(it->second.access) &&
            (OneWayConflict(it->second, wanted) || OneWayConflict(wanted, it->second))) {
            return false;
        }
    }
    return true;
}

bool IsUnder(const std::wstring& path, const std::wstring& directory) {
    return path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0 &&
           path[directory.size()] == L'\\';
}

// A folder is there when it was made, or when a file lies in it.
bool IsDirectory(const std::wstring& path) {
    const fake::World& w = fake::TheWorld();
    if (w.directories.count(path) > 0) {
        return true;
    }
    const auto next = w.files.upper_bound(path);
    return next != w.files.end() && IsUnder(next->first, path);
}

bool Exists(const std::wstring& path) {
    const fake::World& w = fake::TheWorld();
    return w.files.count(path) > 0 || w.reparsePoints.count(path) > 0 || IsDirectory(path);
}

bool IsLinked(const std::wstring& path) {
    const fake::World& w = fake::TheWorld();
    return w.reparsePoints.count(path) > 0 || w.hardLinks.count(path) > 0;
}

// Removes the name only; what a link points to or shares is left alone.
void Forget(const std::wstring& path) {
    fake::World& w = fake::TheWorld();
    w.reparsePoints.erase(path);
    w.hardLinks.erase(path);
    w.files.erase(path);
    w.security.erase(path);
    w.deletedEntries.push_back(path);
}

bool RemovableNow(const std::wstring& path) {
    return SharingAllows(path, {kDelete, kShareRead | kShareWrite | kShareDelete});
}

template <typename Map>
void Rename(Map& map, const std::wstring& from, const std::wstring& to) {
    auto found = map.find(from);
    if (found != map.end()) {
        auto value = std::move(found->second);
        map.erase(found);
        map[to] = std::move(value);
    }
}

void RenameSet(std::set<std::wstring>& set, const std::wstring& from, const std::wstring& to) {
    if (set.erase(from) > 0) {
        set.insert(to);
    }
}

}  // namespace

namespace platform {

struct HeldEntry {
    std::wstring path;
    std::multimap<std::wstring, fake::Open>::iterator open;
};

std::optional<std::wstring> EnvironmentVariable(const std::wstring& name) {
    const auto& environment = fake::TheWorld().environment;
    const auto found = environment.find(name);
    if (found == environment.end()) {
        return std::nullopt;
    }
    return found->second;
}

void CreateDirectoryIfMissing(const std::wstring& path) {
    fake::World& w = fake::TheWorld();
    std::lock_guard<std::mutex> lock(w.fileSystemLock);
    if (!w.directoryCreationFails && !Exists(path)) {
        w.directories.insert(path);
        w.security[path] = fake::UsersCanChange();  // what ProgramData passes on to its creator
    }
}

bool PathExists(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(fake::TheWorld().fileSystemLock);
    return Exists(path);
}

std::wstring ModuleFilePath() {
    return fake::TheWorld().modulePath;
}

bool RunningAsLocalSystem() {
    return fake::TheWorld().runningAsLocalSystem;
}

void UseSafeLibrarySearch() {
    fake::TheWorld().safeLibrarySearch = true;
}

bool RunningAsAdministrator() {
    return fake::TheWorld().administrator || fake::TheWorld().runningAsLocalSystem;
}

HeldEntry* HoldEntry(const std::wstring& path, bool isDirectory, EntryFacts& facts) {
    fake::World& w = fake::TheWorld();
    std::lock_guard<std::mutex> lock(w.fileSystemLock);
    facts = {};
    const fake::Open hold = isDirectory ? fake::Open{0x1 | 0x20000 | 0x80, kShareRead | kShareWrite}
                                        : fake::Open{0x1 | 0x20 | 0x20000 | 0x80, kShareRead};
    if (!Exists(path)) {
        facts.error = kNotFound;
        return nullptr;
    }
    if (!SharingAllows(path, hold)) {
        facts.error = kSharingViolation;
        return nullptr;
    }
    facts.isLink = IsLinked(path) || IsDirectory(path) != isDirectory;
    facts.pathMatches = w.redirectedDirectories.count(path) == 0;
    const auto found = w.security.find(path);
    facts.security = found != w.security.end() ? found->second
                                               : SecurityFacts{true, Principal::System, false, {}};
    w.fileCalls.push_back(L"hold " + path);
    return new HeldEntry{path, w.opens.emplace(path, hold)};
}

void ReleaseEntry(HeldEntry* entry) {
    if (entry != nullptr) {
        fake::World& w = fake::TheWorld();
        std::lock_guard<std::mutex> lock(w.fileSystemLock);
        w.opens.erase(entry->open);
        w.fileCalls.push_back(L"release " + entry->path);
        delete entry;
    }
}

uint32_t CreateProtectedDirectory(const std::wstring& path, Owner owner) {
    fake::World& w = fake::TheWorld();
    std::lock_guard<std::mutex> lock(w.fileSystemLock);
    const bool mayOwn =
        owner == Owner::System ? w.runningAsLocalSystem : w.administrator || w.runningAsLocalSystem;
    if (Exists(path)) {
        return 183;  // ERROR_ALREADY_EXISTS
    }
    if (w.directoryCreationFails) {
        return 3;  // ERROR_PATH_NOT_FOUND
    }
    if (!mayOwn) {
        return 1307;  // ERROR_INVALID_OWNER
    }
    w.directories.insert(path);
    w.protectedPaths.insert(path);
    return 0;
}

uint32_t MoveEntryAside(const std::wstring& path, const std::wstring& newName) {
    fake::World& w = fake::TheWorld();
    std::lock_guard<std::mutex> lock(w.fileSystemLock);
    for (const auto& [openPath, open] : w.opens) {
        if (IsUnder(openPath, path)) {
            return kAccessDenied;  // something inside is open
        }
    }
    if (!RemovableNow(path)) {
        return kSharingViolation;
    }
    const std::wstring to = path.substr(0, path.find_last_of(L'\\') + 1) + newName;
    std::vector<std::wstring> moving = {path};
    for (const auto& [file, bytes] : w.files) {
        if (IsUnder(file, path)) {
            moving.push_back(file);
        }
    }
    for (const std::wstring& from : moving) {
        const std::wstring target = to + from.substr(path.size());
        Rename(w.files, from, target);
        Rename(w.security, from, target);
        RenameSet(w.directories, from, target);
        RenameSet(w.reparsePoints, from, target);
        RenameSet(w.protectedPaths, from, target);
    }
    w.movedAside.push_back(to);
    return 0;
}

bool AppendToFileIn(HeldEntry* directory, const std::wstring& name, const std::string& bytes) {
    fake::World& w = fake::TheWorld();
    std::lock_guard<std::mutex> lock(w.fileSystemLock);
    const std::wstring path = directory->path + L"\\" + name;
    w.fileCalls.push_back(L"append " + path);
    if (!SharingAllows(path, {0x4, kShareRead})) {
        return false;
    }
    if (IsLinked(path)) {
        Forget(path);
    }
    w.files[path] += bytes;
    return true;
}

uint32_t ReplaceFileIn(HeldEntry* directory, const std::wstring& name, const std::string& bytes,
                       Owner) {
    fake::World& w = fake::TheWorld();
    std::lock_guard<std::mutex> lock(w.fileSystemLock);
    const std::wstring path = directory->path + L"\\" + name;
    w.fileCalls.push_back(L"write " + path);
    if (w.directories.count(path) > 0) {
        return kAccessDenied;  // a folder has the name
    }
    if (Exists(path) && !RemovableNow(path)) {
        return kAccessDenied;  // a holder without delete sharing keeps the name
    }
    w.reparsePoints.erase(path);  // the new file replaces the entry itself, link or not
    w.hardLinks.erase(path);
    w.security.erase(path);
    w.files[path] = bytes;
    w.administratorsOnlyFiles.insert(path);
    return 0;
}

bool ReadFileIn(HeldEntry* directory, const std::wstring& name, size_t maxBytes,
                std::string& bytes) {
    fake::World& w = fake::TheWorld();
    std::lock_guard<std::mutex> lock(w.fileSystemLock);
    const std::wstring path = directory->path + L"\\" + name;
    const auto found = w.files.find(path);
    if (found == w.files.end() || IsLinked(path) || found->second.size() > maxBytes ||
        !SharingAllows(path, {0x1, kShareRead})) {
        return false;
    }
    bytes = found->second;
    return true;
}

std::optional<uint64_t> FileSizeIn(HeldEntry* directory, const std::wstring& name) {
    fake::World& w = fake::TheWorld();
    std::lock_guard<std::mutex> lock(w.fileSystemLock);
    const auto found = w.files.find(directory->path + L"\\" + name);
    return found == w.files.end() ? std::nullopt : std::optional<uint64_t>(found->second.size());
}

bool RenameFileIn(HeldEntry* directory, const std::wstring& from, const std::wstring& to) {
    fake::World& w = fake::TheWorld();
    std::lock_guard<std::mutex> lock(w.fileSystemLock);
    const std::wstring source = directory->path + L"\\" + from;
    const std::wstring target = directory->path + L"\\" + to;
    if (w.files.count(source) == 0 || w.directories.count(target) > 0 || !RemovableNow(source) ||
        (Exists(target) && !RemovableNow(target))) {
        return false;
    }
    w.files[target] = std::move(w.files[source]);
    w.files.erase(source);
    return true;
}

bool DeleteFileIn(HeldEntry* directory, const std::wstring& name) {
    fake::World& w = fake::TheWorld();
    std::lock_guard<std::mutex> lock(w.fileSystemLock);
    const std::wstring path = directory->path + L"\\" + name;
    if (!Exists(path) || !RemovableNow(path)) {
        return false;
    }
    Forget(path);
    return true;
}

}  // namespace platform

namespace fake {

bool UserOpens(const std::wstring& path, uint32_t access, uint32_t share) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> lock(w.fileSystemLock);
    if (!Exists(path) || !SharingAllows(path, {access, share})) {
        return false;
    }
    w.opens.emplace(path, Open{access, share});
    return true;
}

platform::SecurityFacts UsersCanChange() {
    platform::SecurityFacts facts{true, platform::Principal::Other, false, {}};
    facts.entries.push_back({true, false, 0x1F01FF, platform::Principal::Other});
    return facts;
}

}  // namespace fake
