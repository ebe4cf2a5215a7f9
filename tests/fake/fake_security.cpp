// Security of the fake world's files and folders: their owners and access entries as the tests
// set them, holds under Windows' share rules, and directories made protected or moved aside.
#include "fake_file_system.h"

using namespace fake::files;

namespace platform {

namespace {

HeldEntry* Open(const std::wstring& path, bool isDirectory, EntryFacts& facts, fake::Open hold,
                bool mayProtect = false) {
    fake::World& w = fake::TheWorld();
    std::unique_lock<std::mutex> lock(w.fileSystemLock);
    facts = {};
    if (Exists(path)) {  // READ_CONTROL breaks an oplock too: only attributes do not
        facts.error = WaitOutOplock(lock, path);
        if (facts.error != 0) {
            return nullptr;
        }
    }
    if (IsPending(path)) {
        facts.error = kAccessDenied;
        return nullptr;
    }
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
    return new HeldEntry{path, w.opens.emplace(path, hold), &w, mayProtect};
}

}  // namespace

HeldEntry* HoldEntry(const std::wstring& path, bool isDirectory, EntryFacts& facts,
                     bool mayProtect) {
    return Open(path, isDirectory, facts,
                isDirectory ? fake::Open{0x1 | 0x20000 | 0x80, kShareRead | kShareWrite}
                            : fake::Open{0x1 | 0x20 | 0x20000 | 0x80, kShareRead},
                mayProtect);
}

uint32_t ReadEntry(const std::wstring& path, bool isDirectory, EntryFacts& facts) {
    // READ_CONTROL and attributes alone: no share mode applies, and nothing stays open.
    ReleaseEntry(
        Open(path, isDirectory, facts, {0x20000 | 0x80, kShareRead | kShareWrite | kShareDelete}));
    return facts.error;
}

void ReleaseEntry(HeldEntry* entry) {
    if (entry != nullptr) {
        fake::World& w = fake::TheWorld();
        std::lock_guard<std::mutex> lock(w.fileSystemLock);
        if (entry->world == &w) {
            w.opens.erase(entry->open);
            w.fileCalls.push_back(L"release " + entry->path);
        }
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
    w.security[path] = {true,
                        owner == Owner::System ? Principal::System : Principal::Administrators,
                        false, kProtectedDirectoryAccess};
    return 0;
}

uint32_t ProtectHeldDirectory(HeldEntry* directory) {
    fake::World& w = fake::TheWorld();
    std::lock_guard<std::mutex> lock(w.fileSystemLock);
    if (!directory->mayProtect) {
        return kAccessDenied;  // changing the DACL needs WRITE_DAC on the handle
    }
    w.fileCalls.push_back(L"protect " + directory->path);
    w.security[directory->path].entries = kProtectedDirectoryAccess;  // nothing inside changes
    return 0;
}

uint32_t MoveEntryAside(const std::wstring& path, const std::wstring& newName) {
    fake::World& w = fake::TheWorld();
    std::unique_lock<std::mutex> lock(w.fileSystemLock);
    if (const uint32_t error = WaitOutOplock(lock, path); error != 0) {
        return error;
    }
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
    // A handle on the directory itself stays with it, under its new name.
    while (w.opens.count(path) > 0) {
        auto open = w.opens.extract(path);
        open.key() = to;
        w.opens.insert(std::move(open));
    }
    w.movedAside.push_back(to);
    return 0;
}

bool RunningAsLocalSystem() {
    return fake::TheWorld().runningAsLocalSystem;
}

bool RunningAsAdministrator() {
    return fake::TheWorld().administrator || fake::TheWorld().runningAsLocalSystem;
}

void UseSafeLibrarySearch() {
    fake::TheWorld().safeLibrarySearch = true;
}

}  // namespace platform
