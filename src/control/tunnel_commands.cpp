#include "control/tunnel_commands.h"

#include "platform/platform.h"
#include "tunnel/connect.h"
#include "tunnel/disconnect.h"
#include "tunnel/service_monitor.h"
#include "tunnel/tunnel_state.h"

std::wstring StatusCommand() {
    return IsTunnelServiceRunning() ? L"RUNNING" : L"STOPPED";
}

std::wstring SplitAppsCommand(const std::wstring& argument) {
    ChangeSplitApps(argument);
    return L"OK";
}

std::wstring DisconnectCommand() {
    DisconnectTunnel();
    return L"OK";
}

std::wstring ConnectCommand(const std::wstring& argument) {
    std::string configuration;
    // No configuration is empty: removing the running tunnel for one would only cut the user off.
    if (!platform::DecodeBase64(argument, configuration) || configuration.empty()) {
        return L"ERR bad base64";
    }
    // Every decoded byte counts, a NUL included; malformed UTF-8 becomes U+FFFD.
    return ConnectTunnel(platform::Utf8ToWide(configuration)) ? L"OK" : L"ERR connect failed";
}
