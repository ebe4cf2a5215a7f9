#pragma once

// A bound on the opens, creates and renames of paths ordinary users can read. Any user who can
// open a file or folder for reading can take an oplock on it; another open that meets it waits,
// with no time-out, until that user acknowledges the break. The waiting call can be cancelled:
// under a bound it fails instead, and the operation is tried again at its next use.

#include <cstdint>

#include "platform/platform.h"

// Long enough for a scanner or a backup agent to let go, short within the service's stop.
constexpr uint32_t kFileUseLimitMs = 3000;

// While it lives, the calling thread's blocking calls end at the bound (with
// platform::kErrorOperationAborted). Only this thread's calls: another thread's bound is its own.
class BoundedFileUse {
  public:
    BoundedFileUse() : deadline_(platform::ArmIoDeadline(kFileUseLimitMs, nullptr)) {}
    ~BoundedFileUse() { End(); }
    BoundedFileUse(const BoundedFileUse&) = delete;
    BoundedFileUse& operator=(const BoundedFileUse&) = delete;

    // Ends the bound; true when it had passed, so that a call meanwhile was held by another
    // process and cancelled.
    bool End() {
        if (deadline_ != nullptr) {
            passed_ = platform::DisarmIoDeadline(deadline_);
            deadline_ = nullptr;
        }
        return passed_;
    }

  private:
    platform::IoDeadline* deadline_;
    bool passed_ = false;
};
