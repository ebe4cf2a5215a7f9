// Files of the fake world: the environment, the helper's own path, and the files of a held
// directory, under Windows' share rules.
#include <cwctype>

#include "fake_file_system.h"

using namespace fake::files;

namespace platform {

std::optional<std::wstring> EnvironmentVariable(const std::wstring& name) {
    const auto& environment = fake::TheWorld().environment;
    const auto found = environment.find(name);
    if (found == environment.end()) {
        return std::nullopt;
    }
    return found->second;
}

uint32_t CreateDirectoryIfMissing(const std::wstring& path) {
    fake::World& w = fake::TheWorld();
    std::lock_guard<std::mutex> lock(w.fileSystemLock);
    if (Exists(path)) {
        return 183;  // ERROR_ALREADY_EXISTS
    }
    if (w.directoryCreationFails) {
        return 3;  // ERROR_PATH_NOT_FOUND
    }
    w.directories.insert(path);
    w.security[path] = fake::UsersCanChange();  // what ProgramData passes on to its creator
    return 0;
}

bool PathExists(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(fake::TheWorld().fileSystemLock);
    return Exists(path);
}

std::wstring ModuleFilePath() {
    return fake::TheWorld().modulePath;
}

std::wstring SystemDirectory() {
    return fake::TheWorld().systemDirectory;
}

uint32_t AppendToFileIn(HeldEntry* directory, const std::wstring& name, const std::string& bytes) {
    fake::World& w = fake::TheWorld();
    std::unique_lock<std::mutex> lock(w.fileSystemLock);
    const std::wstring path = directory->path + L"\\" + name;
    w.fileCalls.push_back(L"append " + path);
    if (const uint32_t error = WaitOutOplock(lock, path); error != 0) {
        return error;
    }
    if (IsPending(path)) {
        return kAccessDenied;
    }
    if (!SharingAllows(path, {0x4, kShareRead})) {
        return kSharingViolation;
    }
    if (IsLinked(path)) {
        Forget(path);
    }
    w.files[path] += bytes;
    return 0;
}

uint32_t ReplaceFileIn(HeldEntry* directory, const std::wstring& name, const std::string& bytes,
                       Owner) {
    fake::World& w = fake::TheWorld();
    std::unique_lock<std::mutex> lock(w.fileSystemLock);
    const std::wstring path = directory->path + L"\\" + name;
    w.fileCalls.push_back(L"write " + path);
    if (const uint32_t error = WaitOutOplock(lock, path); error != 0) {
        return error;  // the rename over it waits for the break
    }
    if (w.directories.count(path) > 0 || IsPending(path)) {
        return kAccessDenied;  // a folder has the name, or a file waits to be deleted
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

uint32_t ReadFileIn(HeldEntry* directory, const std::wstring& name, size_t maxBytes,
                    std::string& bytes) {
    fake::World& w = fake::TheWorld();
    std::unique_lock<std::mutex> lock(w.fileSystemLock);
    const std::wstring path = directory->path + L"\\" + name;
    if (const uint32_t error = WaitOutOplock(lock, path); error != 0) {
        return error;
    }
    const auto found = w.files.find(path);
    if (found == w.files.end()) {
        return kNotFound;
    }
    if (IsLinked(path) || IsPending(path) || found->second.size() > maxBytes ||
        !SharingAllows(path, {0x1, kShareRead})) {
        return kAccessDenied;
    }
    bytes = found->second;
    return 0;
}

std::optional<uint64_t> FileSizeIn(HeldEntry* directory, const std::wstring& name) {
    fake::World& w = fake::TheWorld();
    std::lock_guard<std::mutex> lock(w.fileSystemLock);
    const auto found = w.files.find(directory->path + L"\\" + name);
    return found == w.files.end() ? std::nullopt : std::optional<uint64_t>(found->second.size());
}

namespace {

// The file at `source` takes the name `target`; the handles open on it follow it.
void Relocate(const std::wstring& source, const std::wstring& target) {
    fake::World& w = fake::TheWorld();
    w.files[target] = std::move(w.files[source]);
    w.files.erase(source);
    w.administratorsOnlyFiles.erase(target);
    if (w.administratorsOnlyFiles.erase(source) > 0) {  // a file keeps its own security
        w.administratorsOnlyFiles.insert(target);
    }
    while (w.opens.count(source) > 0) {
        auto open = w.opens.extract(source);
        open.key() = target;
        w.opens.insert(std::move(open));
    }
}

}  // namespace

uint32_t RenameFileIn(HeldEntry* directory, const std::wstring& from, const std::wstring& to,
                      bool replace) {
    fake::World& w = fake::TheWorld();
    std::unique_lock<std::mutex> lock(w.fileSystemLock);
    const std::wstring source = directory->path + L"\\" + from;
    const std::wstring target = directory->path + L"\\" + to;
    for (const std::wstring& path : {source, target}) {
        if (const uint32_t error = WaitOutOplock(lock, path); error != 0) {
            return error;
        }
    }
    if (!replace && Exists(target) && w.files.count(source) > 0) {
        return 183;  // ERROR_ALREADY_EXISTS
    }
    if (w.files.count(source) == 0 || w.directories.count(target) > 0 || !RemovableNow(source) ||
        IsPending(source) || IsPending(target) || (Exists(target) && !RemovableNow(target))) {
        return kAccessDenied;
    }
    Relocate(source, target);
    return 0;
}

uint32_t MoveFileOutOf(HeldEntry* directory, const std::wstring& name,
                       const std::wstring& targetPath) {
    fake::World& w = fake::TheWorld();
    std::lock_guard<std::mutex> lock(w.fileSystemLock);
    const std::wstring source = directory->path + L"\\" + name;
    if (w.files.count(source) == 0) {
        return kNotFound;
    }
    if (towlower(source[0]) != towlower(targetPath[0])) {
        return 17;  // ERROR_NOT_SAME_DEVICE: a rename never crosses volumes
    }
    if (!RemovableNow(source) || IsPending(source) || IsPending(targetPath) ||
        (Exists(targetPath) && !RemovableNow(targetPath))) {
        return kAccessDenied;
    }
    Relocate(source, targetPath);
    return 0;
}

uint32_t MoveFileInto(HeldEntry* directory, const std::wstring& sourcePath,
                      const std::wstring& name) {
    fake::World& w = fake::TheWorld();
    std::lock_guard<std::mutex> lock(w.fileSystemLock);
    const std::wstring target = directory->path + L"\\" + name;
    const auto found = w.files.find(sourcePath);
    if (found == w.files.end() || found->second.empty()) {
        return kNotFound;
    }
    if (Exists(target)) {
        return 183;  // ERROR_ALREADY_EXISTS
    }
    if (!RemovableNow(sourcePath) || IsPending(sourcePath)) {
        return kAccessDenied;
    }
    Relocate(sourcePath, target);
    return 0;
}

uint32_t DeleteFileIn(HeldEntry* directory, const std::wstring& name) {
    fake::World& w = fake::TheWorld();
    std::unique_lock<std::mutex> lock(w.fileSystemLock);
    const std::wstring path = directory->path + L"\\" + name;
    if (const uint32_t error = WaitOutOplock(lock, path); error != 0) {
        return error;
    }
    if (!Exists(path)) {
        return kNotFound;
    }
    if (IsPending(path)) {
        return kAccessDenied;
    }
    if (!RemovableNow(path) || w.deletesFail) {
        return kSharingViolation;
    }
    if (w.opens.count(path) > 0) {
        w.deletePending.insert(path);  // the others share delete: gone when the last closes
    } else {
        Forget(path);
    }
    return 0;
}

}  // namespace platform

namespace fake {

bool UserOpens(const std::wstring& path, uint32_t access, uint32_t share) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> lock(w.fileSystemLock);
    if (!Exists(path) || IsPending(path) || !UsersMayOpen(path, access) ||
        !SharingAllows(path, {access, share})) {
        return false;
    }
    w.opens.emplace(path, Open{access, share});
    return true;
}

bool UserTakesOplock(const std::wstring& path) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> lock(w.fileSystemLock);
    if (!Exists(path) || IsPending(path) || !UsersMayOpen(path, kReadData) ||
        w.opens.count(path) > 0) {
        return false;
    }
    w.opens.emplace(path, Open{kReadData, kShareRead | kShareWrite | kShareDelete});
    w.oplocks.insert(path);
    return true;
}

void UserReleasesOplock(const std::wstring& path) {
    World& w = TheWorld();
    std::lock_guard<std::mutex> lock(w.fileSystemLock);
    if (w.oplocks.erase(path) > 0) {  // and closes the handle it held the oplock on
        const auto range = w.opens.equal_range(path);
        for (auto it = range.first; it != range.second; ++it) {
            if (it->second.access == kReadData && it->second.share == 7) {
                w.opens.erase(it);
                break;
            }
        }
    }
    w.oplockReleased.notify_all();
}

platform::SecurityFacts UsersCanChange() {
    platform::SecurityFacts facts{true, platform::Principal::Other, false, {}};
    facts.entries.push_back({true, false, 0x1F01FF, platform::Principal::Other});
    return facts;
}

}  // namespace fake
