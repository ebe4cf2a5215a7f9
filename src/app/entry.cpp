#include "app/entry.h"

#include <utility>

#include "control/pipe_server.h"
#include "log/data_directory.h"
#include "log/helper_log.h"
#include "platform/platform.h"
#include "service/installer.h"
#include "service/package_steps.h"
#include "service/runtime.h"
#include "service/service_names.h"
#include "tunnel/tunnel_state.h"

HelperMode SelectMode(const std::vector<std::wstring>& arguments) {
    if (arguments.size() < 2) {
        return HelperMode::Service;
    }
    static const std::pair<const wchar_t*, HelperMode> kOptions[] = {
        {L"--install", HelperMode::Install},
        {L"--uninstall", HelperMode::Uninstall},
        {L"--console", HelperMode::Console},
        {L"--stop-tunnel-for-upgrade", HelperMode::StopTunnelForUpgrade},
        {L"--start-tunnel-after-upgrade", HelperMode::StartTunnelAfterUpgrade},
        {L"--remove-tunnel-and-key", HelperMode::RemoveTunnelAndKey},
        {L"--restore-tunnel-and-key", HelperMode::RestoreTunnelAndKey},
    };
    for (const auto& [option, mode] : kOptions) {
        if (arguments[1] == option) {
            return mode;
        }
    }
    return HelperMode::Service;
}

namespace {

// Serves in the foreground until Ctrl+C, Ctrl+Break or the console's closing, then stops
// splitting (its routes go) as the service does; a tunnel that is up stays up. It keeps no
// state across runs: the state file is the service's, which may be running beside it. Exits
// with 1 when the pipe could not be made for 30 s.
int RunConsole() {
    platform::Event stop = nullptr;
    if (platform::CreateManualResetEvent(stop) == 0) {
        platform::HandleConsoleStop(stop);
    }
    const uint32_t pipeError = ControlPipe(stop);
    StopSplittingForTheStop();
    platform::ConsoleStopDone();
    return pipeError == 0 ? 0 : 1;
}

int RunMode(HelperMode mode) {
    switch (mode) {
        case HelperMode::Install:
            return InstallService();
        case HelperMode::Uninstall:
            return UninstallService();
        case HelperMode::Console:
            return RunConsole();
        case HelperMode::StopTunnelForUpgrade:
            return StopTunnelForUpgrade();
        case HelperMode::StartTunnelAfterUpgrade:
            return StartTunnelAfterUpgrade();
        case HelperMode::RemoveTunnelAndKey:
            return RemoveTunnelAndKey();
        case HelperMode::RestoreTunnelAndKey:
            return RestoreTunnelAndKey();
        case HelperMode::Service:
            break;
    }
    // Started by hand rather than by the service manager, the dispatcher fails: exit 1.
    return platform::RunServiceDispatcher(kServiceName, &ServiceMain) == 0 ? 0 : 1;
}

}  // namespace

int HelperMain(const std::vector<std::wstring>& arguments) {
    platform::UseSafeLibrarySearch();  // before anything could load a library
    SetLogSink(&AppendToLogFile);
    StartLogWriter();
    const int exitCode = RunMode(SelectMode(arguments));
    StopLogWriter();         // the installer's steps exit right after their last line
    ReleaseDataDirectory();  // every mode has stopped what could still write in it
    return exitCode;
}
