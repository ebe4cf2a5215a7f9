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

// Which step of a connect stopped it, and with which Windows error where it had one; logged in
// one place, once the step is over (the data directory no longer held).
enum class ConnectStep {
    Done,
    FindTunnelProgram,
    HoldDataDirectory,   // it is the service's, but cannot be held right now
    TrustDataDirectory,  // non-administrators could change it: no key goes there
    WriteConfiguration,  // `error` is the write's; 0 when the directory itself was refused
    InstallTunnel,
    BringUpTunnel,
};

struct ConnectOutcome {
    ConnectStep step = ConnectStep::Done;
    uint32_t error = 0;
};

void LogScriptKeysDropped(const std::vector<std::wstring>& dropped) {
    if (dropped.empty()) {
        return;
    }
    std::wstring keys;
    for (const std::wstring& key : dropped) {
        keys += (keys.empty() ? L"" : L", ") + key;
    }
    HelperLog(L"script keys dropped from the configuration: " + keys);
}

// The configuration as it is written: up to its first NUL, without script lines.
std::wstring ConfigurationToWrite(const std::wstring& configText) {
    std::vector<std::wstring> dropped;
    const std::wstring kept =
        WithoutScriptKeys(configText.substr(0, configText.find(L'\0')), dropped);
    LogScriptKeysDropped(dropped);
    return kept;
}

// The configuration text as UTF-8, replacing the file whole; `path` receives where it went. It
// holds the tunnel's private key: it goes only into a directory nobody but administrators can
// write to, in a file only they can read.
ConnectOutcome WriteConfiguration(const std::wstring& kept, std::wstring& path) {
    const std::string bytes = platform::WideToUtf8(kept);
    ConnectOutcome outcome{ConnectStep::WriteConfiguration, 0};
    uint32_t holdError = 0;
    const bool written = UseDataFile(
        kConfigFileName,
        [&](const DataFile& file) {
            path = file.path();
            if (!file.administratorsOnly()) {
                outcome.step = ConnectStep::TrustDataDirectory;
                return false;
            }
            outcome.error = file.Replace(bytes);
            return outcome.error == 0;
        },
        &holdError);
    if (holdError != 0) {
        outcome = {ConnectStep::HoldDataDirectory, holdError};
    }
    return written ? ConnectOutcome{} : outcome;
}

void LogConnectFailure(const ConnectOutcome& outcome) {
    switch (outcome.step) {
        case ConnectStep::Done:
            return;
        case ConnectStep::FindTunnelProgram:
            HelperLog(L"amneziawg.exe not found");
            return;
        case ConnectStep::HoldDataDirectory:
            HelperLog(kConfigFileName + L" not written: the data directory cannot be held err=" +
                      std::to_wstring(outcome.error));
            return;
        case ConnectStep::TrustDataDirectory:
            HelperLog(kConfigFileName +
                      L" not written: non-administrators can change the data directory");
            return;
        case ConnectStep::WriteConfiguration:
            if (outcome.error != 0) {  // a refused directory has said why itself
                HelperLog(kConfigFileName + L" not written err=" + std::to_wstring(outcome.error));
            }
            return;
        case ConnectStep::InstallTunnel:
            HelperLog(L"tunnel install failed");
            return;
        case ConnectStep::BringUpTunnel:
            HelperLog(L"tunnel did not come up; uninstalling to restore connectivity");
            return;
    }
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

void RollBack(const std::wstring& exe) {
    if (TunnelServiceExists()) {
        UninstallTunnel(exe, kRollBackRemovalWaitMs);
    }
    RemoveAllBypassRoutes();
    KeepInTheTunnel({});
}

ConnectOutcome BringUp(const std::wstring& exe, const std::wstring& configText) {
    if (exe.empty()) {
        return {ConnectStep::FindTunnelProgram, 0};
    }
    std::wstring configPath;
    const std::wstring kept = ConfigurationToWrite(configText);
    if (const ConnectOutcome written = WriteConfiguration(kept, configPath);
        written.step != ConnectStep::Done) {
        return written;
    }
    LearnTunnelDestinations(kept);  // the file the tunnel program reads
    if (TunnelServiceExists()) {
        UninstallTunnel(exe, kLeftoverRemovalWaitMs);
    }
    // The old tunnel goes now: splitting stops, and a failed install leaves no stale "up"
    // for a later list to start the sniffer with.
    SetTunnelUp(false);
    ForgetWhatTheTunnelBlocks();
    RecordPhysicalDefaultRoute();  // while the default route still leads to the physical gateway
    if (!InstallTunnel(exe, configPath)) {
        return {ConnectStep::InstallTunnel, 0};
    }
    WaitForTunnelService(&IsTunnelServiceRunning, kBringUpWaitMs, kRunPollMs);
    if (!IsTunnelServiceRunning()) {  // this last answer alone decides
        return {ConnectStep::BringUpTunnel, 0};
    }
    RememberWhatTheTunnelBlocks(configText);
    if (SplitAppsListed()) {
        LogIfTunnelBlocksBypass();
    }
    SetTunnelUp(true);  // and splitting starts for a listed application
    return {};
}

}  // namespace

bool ConnectTunnel(const std::wstring& configText) {
    EndTunnelStartWatch();  // this connect decides the tunnel from here on
    const TunnelExe tunnelExe;
    const ConnectOutcome outcome = BringUp(tunnelExe.path(), configText);
    LogConnectFailure(outcome);
    if (outcome.step == ConnectStep::BringUpTunnel) {
        RollBack(tunnelExe.path());
    }
    return outcome.step == ConnectStep::Done;
}
