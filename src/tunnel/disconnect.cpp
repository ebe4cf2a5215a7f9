#include "tunnel/disconnect.h"

#include "platform/platform.h"
#include "split/route_manager.h"
#include "tunnel/amneziawg.h"
#include "tunnel/configuration.h"
#include "tunnel/locator.h"
#include "tunnel/process_runner.h"
#include "tunnel/service_monitor.h"
#include "tunnel/tunnel_start_watch.h"
#include "tunnel/tunnel_state.h"

namespace {

constexpr uint32_t kStopWaitMs = 8000;

}  // namespace

void DisconnectTunnel() {
    EndTunnelStartWatch();
    SetTunnelUp(false);  // splitting and its routes go before the tunnel does
    const TunnelExe exe;
    if (!exe.path().empty() && TunnelServiceExists()) {
        RunProcess(exe.path(), UninstallTunnelArguments());
    }
    WaitForTunnelService([] { return !IsTunnelServiceRunning(); }, kStopWaitMs, kStopPollMs);
    ForgetWhatTheTunnelBlocks();
    KeepInTheTunnel({});  // there is no tunnel to keep anything in
}
