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
        accepted_ = true;
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
