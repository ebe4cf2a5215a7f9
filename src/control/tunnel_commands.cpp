#include "control/tunnel_commands.h"

#include "common/wire.h"
#include "platform/platform.h"
#include "tunnel/connect.h"
#include "tunnel/disconnect.h"
#include "tunnel/service_monitor.h"
#include "tunnel/tunnel_state.h"

std::string StatusCommand() {
    return IsTunnelServiceRunning() ? wire::kRunning : wire::kStopped;
}

std::string SplitAppsCommand(const std::wstring& argument) {
    ChangeSplitApps(argument);
    return wire::kOk;
}

std::string DisconnectCommand() {
    DisconnectTunnel();
    return wire::kOk;
}

std::string ConnectCommand(const std::wstring& argument) {
    std::string configuration;
    // No configuration is empty: removing the running tunnel for one would only cut the user off.
    if (!platform::DecodeBase64(argument, configuration) || configuration.empty()) {
        return wire::kErrBadBase64;
    }
    // Every decoded byte counts, a NUL included; malformed UTF-8 becomes U+FFFD.
    return ConnectTunnel(platform::Utf8ToWide(configuration)) ? wire::kOk : wire::kErrConnectFailed;
}
