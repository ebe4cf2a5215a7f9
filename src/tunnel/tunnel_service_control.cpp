#include "tunnel/tunnel_service_control.h"

#include "platform/platform.h"
#include "tunnel/amneziawg.h"
#include "tunnel/locator.h"
#include "tunnel/process_runner.h"
#include "tunnel/service_monitor.h"

bool StopTunnelService(uint32_t timeoutMs) {
    platform::RequestServiceStopByName(TunnelServiceName());
    return WaitForTunnelService(&IsTunnelServiceStopped, timeoutMs, kStopPollMs);
}

uint32_t StartTunnelService() {
    return platform::RequestServiceStartByName(TunnelServiceName());
}

bool RemoveTunnel(uint32_t timeoutMs) {
    if (!TunnelServiceExists()) {
        return true;
    }
    const TunnelExe exe;
    if (!exe.path().empty()) {
        RunProcess(exe.path(), UninstallTunnelArguments());
        WaitForTunnelServiceRemoval(timeoutMs);
    }
    if (TunnelServiceExists()) {
        platform::RemoveServiceByName(TunnelServiceName());
    }
    return !TunnelServiceExists();
}

bool InstallTunnel(const std::wstring& configPath) {
    const TunnelExe exe;
    return !exe.path().empty() && RunProcess(exe.path(), InstallTunnelArguments(configPath)) == 0;
}
