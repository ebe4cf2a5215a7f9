#include "tunnel/connect.h"

#include <mutex>

#include "log/data_directory.h"
#include "log/helper_log.h"
#include "platform/platform.h"
#include "split/physical_route.h"
#include "split/route_manager.h"
#include "split/split_apps.h"
#include "tunnel/amneziawg.h"
#include "tunnel/configuration.h"
#include "tunnel/locator.h"
#include "tunnel/process_runner.h"
#include "tunnel/service_monitor.h"
#include "tunnel/tunnel_start_watch.h"
#include "tunnel/tunnel_state.h"

namespace {

constexpr int kInstallAttempts = 3;
constexpr uint32_t kLeftoverRemovalWaitMs = 12000;
constexpr uint32_t kFailedInstallRemovalWaitMs = 4000;
constexpr uint32_t kFailedInstallPauseMs = 500;
constexpr uint32_t kRollBackRemovalWaitMs = 8000;
constexpr uint32_t kBringUpWaitMs = 15000;

// The configuration text as UTF-8, up to its first NUL, replacing the file whole; `path`
// receives where it went. It holds the tunnel's private key: it goes only into a directory
// nobody but administrators can write to, in a file only they can read.
bool WriteConfiguration(const std::wstring& configText, std::wstring& path) {
    std::vector<std::wstring> dropped;
    const std::wstring kept =
        WithoutScriptKeys(configText.substr(0, configText.find(L'\0')), dropped);
    if (!dropped.empty()) {
        std::wstring keys;
        for (const std::wstring& key : dropped) {
            keys += (keys.empty() ? L"" : L", ") + key;
        }
        HelperLog(L"script keys dropped from the configuration: " + keys);
    }
    const std::string bytes = platform::WideToUtf8(kept);
    uint32_t error = 0;
    bool usable = true;
    const bool written = UseDataFile(kConfigFileName, [&](const DataFile& file) {
        path = file.path();
        usable = file.administratorsOnly();
        error = usable ? file.Replace(bytes) : 0;
        return usable && error == 0;
    });
    // Logged once the data directory is no longer held.
    if (!usable) {
        HelperLog(kConfigFileName +
                  L" not written: non-administrators can change the data "
                  L"directory");
    } else if (error != 0) {
        HelperLog(kConfigFileName + L" not written err=" + std::to_wstring(error));
    }
    return written;
}

void UninstallTunnel(const std::wstring& exe, uint32_t removalWaitMs) {
    RunProcess(exe, UninstallTunnelArguments());
    WaitForTunnelServiceRemoval(removalWaitMs);
}

bool InstallTunnel(const std::wstring& exe, const std::wstring& configPath) {
    for (int attempt = 0; attempt < kInstallAttempts; ++attempt) {
        if (RunProcess(exe, InstallTunnelArguments(configPath)) == 0) {
            return true;
        }
        WaitForTunnelServiceRemoval(kFailedInstallRemovalWaitMs);
        platform::SleepMs(kFailedInstallPauseMs);
    }
    return false;
}

bool RollBack(const std::wstring& exe) {
    HelperLog(L"tunnel did not come up; uninstalling to restore connectivity");
    if (TunnelServiceExists()) {
        UninstallTunnel(exe, kRollBackRemovalWaitMs);
    }
    RemoveAllBypassRoutes();
    return false;
}

}  // namespace

bool ConnectTunnel(const std::wstring& configText) {
    EndTunnelStartWatch();  // this connect decides the tunnel from here on
    const TunnelExe tunnelExe;
    const std::wstring& exe = tunnelExe.path();
    if (exe.empty()) {
        HelperLog(L"amneziawg.exe not found");
        return false;
    }
    std::wstring configPath;
    if (!WriteConfiguration(configText, configPath)) {
        return false;
    }
    if (TunnelServiceExists()) {
        UninstallTunnel(exe, kLeftoverRemovalWaitMs);
    }
    // The old tunnel goes now: splitting stops, and a failed install leaves no stale "up"
    // for a later list to start the sniffer with.
    SetTunnelUp(false);
    RecordPhysicalDefaultRoute();  // while the default route still leads to the physical gateway
    if (!InstallTunnel(exe, configPath)) {
        ForgetWhatTheTunnelBlocks();
        HelperLog(L"tunnel install failed");
        return false;
    }
    WaitForTunnelService(&IsTunnelServiceRunning, kBringUpWaitMs, kRunPollMs);
    const bool up = IsTunnelServiceRunning();  // this last answer alone decides
    if (!up) {
        ForgetWhatTheTunnelBlocks();
        return RollBack(exe);
    }
    RememberWhatTheTunnelBlocks(configText);
    if (SplitAppsListed()) {
        LogIfTunnelBlocksBypass();
    }
    SetTunnelUp(true);  // and splitting starts for a listed application
    return true;
}
