#include "tunnel/locator.h"

#include "platform/platform.h"
#include "tunnel/amneziawg.h"

std::wstring GetModuleDirectory() {
    const std::wstring path = platform::ModuleFilePath();
    const size_t separator = path.find_last_of(L"\\/");
    if (separator == std::wstring::npos) {
        return L".";
    }
    return path.substr(0, separator);
}

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
