#pragma once

// The fake world's file system, as the fake's file and security calls share it: Windows' share
// rules (checked only between opens with data access), links, and entries known by path.

#include "fake_world.h"

namespace platform {
struct HeldEntry {
    std::wstring path;
    std::multimap<std::wstring, fake::Open>::iterator open;
    const fake::World* world;  // a hold kept past a reset is gone with its world
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
