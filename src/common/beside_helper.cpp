#include "common/beside_helper.h"

#include "common/access_rules.h"
#include "common/bounded_use.h"

std::wstring GetModuleDirectory() {
    const std::wstring path = platform::ModuleFilePath();
    const size_t separator = path.find_last_of(L"\\/");
    if (separator == std::wstring::npos) {
        return L".";
    }
    return path.substr(0, separator);
}

FileBesideHelper::FileBesideHelper(const std::wstring& path) {
    if (!platform::RunningAsLocalSystem()) {
        HoldAsItIs(path);
        return;
    }
    const std::wstring root = GetModuleDirectory();
    if (path.size() <= root.size() || path.compare(0, root.size(), root) != 0 ||
        path[root.size()] != L'\\') {
        return;
    }
    BoundedFileUse bound;  // users can read each of them, and oplock it
    for (size_t end = root.size();; end = path.find(L'\\', end + 1)) {
        const bool isFile = end == std::wstring::npos;
        const std::wstring entryPath = isFile ? path : path.substr(0, end);
        platform::EntryFacts facts;
        platform::HeldEntry* entry = platform::HoldEntry(entryPath, !isFile, facts);
        if (entry == nullptr) {
            holdError_ = bound.End() ? platform::kErrorOperationAborted : facts.error;
            failedPath_ = entryPath;
            return;
        }
        held_.push_back(entry);
        if (facts.isLink || !OnlyAdministratorsCanChange(facts.security, false)) {
            return;
        }
        if (isFile) {
            accepted_ = true;
            return;
        }
    }
}

// Taken as it is, but held first, under a bound, like every file the helper runs or loads: the
// run's or the load's own open waits without end on a user's oplock, which the hold breaks or
// gives up on, and which no user can take while it stands. Any other failure to hold is left
// to the run or the load to meet.
void FileBesideHelper::HoldAsItIs(const std::wstring& path) {
    BoundedFileUse bound;
    platform::EntryFacts facts;
    platform::HeldEntry* entry = platform::HoldEntry(path, false, facts);
    if (entry != nullptr) {
        held_.push_back(entry);
    }
    accepted_ = !bound.End() || entry != nullptr;
    if (!accepted_) {
        holdError_ = platform::kErrorOperationAborted;
        failedPath_ = path;
    }
}

std::wstring FileBesideHelper::refusal() const {
    if (holdError_ == platform::kErrorOperationAborted) {
        return L"not checked: " + failedPath_ + L" held by another process";
    }
    const std::wstring error = L" err=" + std::to_wstring(holdError_);
    if (holdError_ == platform::kErrorSharingViolation) {
        return L"is in use by another process" + error;
    }
    return holdError_ != 0 ? L"cannot be opened" + error : L"is writable by non-administrators";
}

FileBesideHelper::~FileBesideHelper() {
    for (auto entry = held_.rbegin(); entry != held_.rend(); ++entry) {
        platform::ReleaseEntry(*entry);
    }
}
