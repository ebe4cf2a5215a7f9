#include "tunnel/locator.h"

#include "log/helper_log.h"
#include "platform/platform.h"
#include "tunnel/amneziawg.h"

std::wstring FindTunnelExe() {
    const std::wstring directory = GetModuleDirectory();
    for (const std::wstring& candidate :
         {directory + L"\\awg\\" + kTunnelExeName, directory + L"\\" + kTunnelExeName}) {
        if (platform::PathExists(candidate)) {
            return candidate;
        }
    }
    return {};
}

TunnelExe::TunnelExe() : path_(FindTunnelExe()) {
    if (path_.empty()) {
        return;
    }
    file_ = std::make_unique<FileBesideHelper>(path_);
    if (!file_->accepted()) {
        HelperLog(L"amneziawg.exe " + file_->refusal() + L"; not run");
        path_.clear();
    }
}
