#pragma once

// The fake world's file system, as the fake's file and security calls share it: Windows' share
// rules (checked only between opens with data access), links, and entries known by path.

#include <chrono>

#include "fake_world.h"

namespace platform {
struct HeldEntry {
    std::wstring path;
    std::multimap<std::wstring, fake::Open>::iterator open;
    const fake::World* world;  // a hold kept past a reset is gone with its world
    bool mayProtect = false;   // held with WRITE_DAC
};
}  // namespace platform

namespace fake::files {

inline constexpr uint32_t kReadData = 0x1 | 0x20;  // read (or list), execute (or traverse)
inline constexpr uint32_t kWriteData = 0x2 | 0x4;  // write, append (or add file, add folder)
inline constexpr uint32_t kDelete = 0x10000;
inline constexpr uint32_t kShareRead = 1, kShareWrite = 2, kShareDelete = 4;
inline constexpr uint32_t kSharingViolation = 32, kAccessDenied = 5, kNotFound = 2;

inline bool OneWayConflict(const fake::Open& a, const fake::Open& b) {
    return ((a.access & kReadData) && !(b.share & kShareRead)) ||
           ((a.access & kWriteData) && !(b.share & kShareWrite)) ||
           ((a.access & kDelete) && !(b.share & kShareDelete));
}

inline bool HasDataAccess(uint32_t access) {
    return (access & (kReadData | kWriteData | kDelete)) != 0;
}

inline bool SharingAllows(const std::wstring& path, const fake::Open& wanted) {
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

// What an ordinary user's open meets in the entry's access list: the rights allowed to anyone
// not administrative by the entries that apply to the entry itself. One without a list read by
// the test is open to users (files the tests make).
inline bool UsersMayOpen(const std::wstring& path, uint32_t access) {
    const auto found = fake::TheWorld().security.find(path);
    if (found == fake::TheWorld().security.end() || found->second.nullDacl) {
        return true;
    }
    uint32_t granted = 0;
    for (const platform::AccessEntry& entry : found->second.entries) {
        if (entry.allows && !entry.inheritOnly &&
            (entry.who == platform::Principal::Other ||
             entry.who == platform::Principal::AuthenticatedUsers)) {
            granted |= entry.mask;
        }
    }
    return (access & ~granted & (kReadData | kWriteData | kDelete)) == 0;
}

// Waits, as Windows does, while a user's oplock stands on the path: until the calling thread's
// deadline cancels the call (995, ERROR_OPERATION_ABORTED) or the user lets go (0). A wait
// nothing bounds is noted, and ended after 10 s so that the test fails rather than hangs.
inline uint32_t WaitOutOplock(std::unique_lock<std::mutex>& lock, const std::wstring& path) {
    fake::World& w = fake::TheWorld();
    if (w.oplocks.count(path) == 0) {
        return 0;
    }
    if (fake::CancelledByDeadline()) {
        w.fileCalls.push_back(L"cancelled " + path);
        return 995;
    }
    w.unboundedWait = true;
    w.oplockReleased.wait_for(lock, std::chrono::seconds(10),
                              [&w, &path] { return w.oplocks.count(path) == 0; });
    return 0;
}

inline bool IsUnder(const std::wstring& path, const std::wstring& directory) {
    return path.size() > directory.size() && path.compare(0, directory.size(), directory) == 0 &&
           path[directory.size()] == L'\\';
}

// A folder is there when it was made, or when a file lies in it.
inline bool IsDirectory(const std::wstring& path) {
    const fake::World& w = fake::TheWorld();
    if (w.directories.count(path) > 0) {
        return true;
    }
    const auto next = w.files.upper_bound(path);
    return next != w.files.end() && IsUnder(next->first, path);
}

inline bool Exists(const std::wstring& path) {
    const fake::World& w = fake::TheWorld();
    return w.files.count(path) > 0 || w.reparsePoints.count(path) > 0 || IsDirectory(path);
}

// Windows fails every open of a delete-pending name, creating it included (access denied).
inline bool IsPending(const std::wstring& path) {
    return fake::TheWorld().deletePending.count(path) > 0;
}

inline bool IsLinked(const std::wstring& path) {
    const fake::World& w = fake::TheWorld();
    return w.reparsePoints.count(path) > 0 || w.hardLinks.count(path) > 0;
}

// Removes the name only; what a link points to or shares is left alone.
inline void Forget(const std::wstring& path) {
    fake::World& w = fake::TheWorld();
    w.reparsePoints.erase(path);
    w.hardLinks.erase(path);
    w.files.erase(path);
    w.security.erase(path);
    w.deletedEntries.push_back(path);
}

inline bool RemovableNow(const std::wstring& path) {
    return SharingAllows(path, {kDelete, kShareRead | kShareWrite | kShareDelete});
}

template <typename Map>
inline void Rename(Map& map, const std::wstring& from, const std::wstring& to) {
    auto found = map.find(from);
    if (found != map.end()) {
        auto value = std::move(found->second);
        map.erase(found);
        map[to] = std::move(value);
    }
}

inline void RenameSet(std::set<std::wstring>& set, const std::wstring& from,
                      const std::wstring& to) {
    if (set.erase(from) > 0) {
        set.insert(to);
    }
}

}  // namespace fake::files
