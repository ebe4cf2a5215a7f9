#include "control/split_status_command.h"

#include "common/wire.h"
#include "split/route_manager.h"
#include "split/route_memory.h"
#include "tunnel/configuration.h"
#include "tunnel/tunnel_state.h"

namespace {

// Why splitting does not run, in the order the reasons are told; empty when it runs.
std::string ReasonSplittingIsOff(const SplitStatusView& view) {
    if (view.stopping) {
        return "stopping";
    }
    if (!view.tunnelUp) {
        return "no-tunnel";
    }
    if (view.split.apps == 0) {
        return "no-apps";
    }
    switch (view.split.sniffer.start) {
        case SnifferStart::ThreadNotStarted:
            return "sniffer-not-started";
        case SnifferStart::NotLoaded:
            return "windivert-not-loaded";
        case SnifferStart::ExportsMissing:
            return "windivert-exports-missing";
        case SnifferStart::OpenFailed:
            return "windivert-open-failed err=" + std::to_string(view.split.sniffer.error);
        default:
            return {};
    }
}

std::string Count(const char* key, size_t count) {
    return std::string(" ") + key + "=" + std::to_string(count);
}

std::string RouteCount(const char* key, size_t count) {
    return Count(key, count) + "/" + std::to_string(kMaxBypassRoutesPerFamily);
}

std::string Interface(const char* key, uint32_t ifIndex) {
    return std::string(" ") + key + "=" + (ifIndex == 0 ? "none" : std::to_string(ifIndex));
}

std::string CapReached(const SplitFacts& split) {
    if (!split.capReachedIpv4 && !split.capReachedIpv6) {
        return {};
    }
    const char* families = !split.capReachedIpv6 ? "ipv4" : !split.capReachedIpv4 ? "ipv6" : "both";
    return std::string(" cap-reached=") + families;
}

}  // namespace

std::string SplitStatusLine(const SplitStatusView& view) {
    const std::string reason = ReasonSplittingIsOff(view);
    if (!reason.empty()) {
        return std::string(wire::kSplitOff) + " reason=" + reason;
    }
    const SplitFacts& split = view.split;
    return wire::kSplitOn + Count("apps", split.apps) + RouteCount("routes", split.routes) +
           RouteCount("routes6", split.routes6) + Interface("ipv4", split.ipv4IfIndex) +
           Interface("ipv6", split.ipv6IfIndex) + Count("remembered", split.remembered) +
           Count("kept", view.kept) + CapReached(split) +
           (view.tunnelBlocksBypass ? " blocked-by-tunnel" : "");
}

std::string SplitStatusCommand(bool stopping) {
    SplitStatusView view;
    view.stopping = stopping;
    view.tunnelUp = IsTunnelUp();
    view.tunnelBlocksBypass = TunnelBlocksBypass();
    // Only a status that gets past the first two reasons needs the split room's look, which
    // may wait a moment for an opening sniffer.
    if (!view.stopping && view.tunnelUp) {
        view.split = CurrentSplitFacts();
        view.kept = TunnelDestinationCount();
    }
    return SplitStatusLine(view);
}

std::string SplitForgetCommand() {
    ForgetRouteMemory();
    return wire::kOk;
}
