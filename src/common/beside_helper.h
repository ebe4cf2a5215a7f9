#pragma once

// The helper's own directory and the outside programs and libraries it runs or loads from it.

#include <string>
#include <vector>

#include "platform/platform.h"

// The directory of the helper's own executable, without a trailing separator; "." when the
// path cannot be read or has no separator.
std::wstring GetModuleDirectory();

// A file below the helper's directory that the helper is about to run or load. As LocalSystem
// it is accepted only when it and every folder from the helper's directory down to it are held
// (so that none can be renamed, replaced or changed) and only administrators can change them;
// they stay held for this object's life. Unpacked where ordinary
// users can write, it would otherwise run as SYSTEM whatever they put there. A helper run by an
// ordinary user runs only what that user could run anyway, so it accepts the file as it is,
// held too unless another process held it past the bound.
class FileBesideHelper {
  public:
    explicit FileBesideHelper(const std::wstring& path);
    ~FileBesideHelper();
    FileBesideHelper(const FileBesideHelper&) = delete;
    FileBesideHelper& operator=(const FileBesideHelper&) = delete;
    bool accepted() const { return accepted_; }
    // Why it was not accepted, to follow the file's name in the log: "is in use by another
    // process err=32", "is writable by non-administrators", "not checked: <path> held by another
    // process" (an open that waited past its bound), ...
    std::wstring refusal() const;

  private:
    void HoldAsItIs(const std::wstring& path);

    std::vector<platform::HeldEntry*> held_;  // the folders from the top down, then the file
    bool accepted_ = false;
    uint32_t holdError_ = 0;   // the Win32 error of the hold that failed, if one did
    std::wstring failedPath_;  // what that hold opened
};
