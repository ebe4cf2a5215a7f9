#include "common/beside_helper.h"

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
    held_ = platform::HoldAdministratorsOnlyFile(GetModuleDirectory(), path);
    accepted_ = held_ != nullptr;
}

FileBesideHelper::~FileBesideHelper() {
    platform::ReleaseHeldFile(held_);
}
