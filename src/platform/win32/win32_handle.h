#pragma once

#include <windows.h>
#include <sddl.h>

#include <atomic>
#include <string>

#include "platform/files.h"

namespace platform::win32 {

// Closes a kernel handle on every path.
class UniqueHandle {
  public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    ~UniqueHandle() { reset(); }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    HANDLE get() const { return handle_; }
    bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE release() {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    void reset(HANDLE handle = nullptr) {
        if (valid()) {
            CloseHandle(handle_);
        }
        handle_ = handle;
    }

  private:
    HANDLE handle_ = nullptr;
};

// Closes a service control manager handle on every path.
class UniqueServiceHandle {
  public:
    explicit UniqueServiceHandle(SC_HANDLE handle) : handle_(handle) {}
    ~UniqueServiceHandle() {
        if (handle_ != nullptr) {
            CloseServiceHandle(handle_);
        }
    }
    UniqueServiceHandle(const UniqueServiceHandle&) = delete;
    UniqueServiceHandle& operator=(const UniqueServiceHandle&) = delete;
    SC_HANDLE get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }

  private:
    SC_HANDLE handle_;
};

// Frees memory the system handed out with LocalAlloc on every path.
class LocalMemory {
  public:
    LocalMemory() = default;
    ~LocalMemory() { LocalFree(memory_); }
    LocalMemory(const LocalMemory&) = delete;
    LocalMemory& operator=(const LocalMemory&) = delete;
    void** out() { return &memory_; }
    void* get() const { return memory_; }
    void* release() {
        void* memory = memory_;
        memory_ = nullptr;
        return memory;
    }

  private:
    void* memory_ = nullptr;
};

// The security descriptor that SDDL text describes, held by `descriptor`. 0, or the Win32 error.
inline uint32_t DescriptorFromSddl(const std::wstring& sddl, LocalMemory& descriptor) {
    return ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                                descriptor.out(), nullptr)
               ? 0
               : GetLastError();
}

}  // namespace platform::win32

namespace platform {
// A manual-reset event that also remembers in memory that it was signalled, so that a poll (on
// the pipe loop's path, once or twice a request) costs no call into the system. Never reset.
struct EventObject {
    HANDLE handle;
    std::atomic<bool> signalled{false};
};

inline std::wstring OwnerSddl(Owner owner) {
    return owner == Owner::System ? L"O:SY" : L"O:BA";
}

// The handle behind a held entry.
HANDLE HeldHandle(HeldEntry* entry);
// Renames the open entry to `newName`, a bare name taken relative to the open `directory`, so
// no path is looked up again (the Win32 rename call would take a bare name relative to the
// current directory). With `replace`, over an entry of that name, with POSIX semantics where
// Windows offers them (a process holding the old file keeps it). Returns 0, or the Win32 error.
uint32_t RenameWithin(HANDLE entry, HANDLE directory, const std::wstring& newName, bool replace);
}  // namespace platform
