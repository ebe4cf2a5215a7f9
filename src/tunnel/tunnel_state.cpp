#include "tunnel/tunnel_state.h"

#include <atomic>
#include <mutex>

#include "split/route_manager.h"
#include "split/split_apps.h"
#include "tunnel/configuration.h"

namespace {

std::atomic<bool> TunnelUp{false};
// Held while the rule is applied: a request on the serving thread and the start-up's watch for
// a slow tunnel may change the tunnel or the list at the same moment. The sniffer thread never
// takes it.
std::mutex TunnelStateLock;

// The rule. Bypass rows can be held with no sniffer running after a restart (the last run's,
// brought back from the state file): while serving, stopping removes those too; the helper's
// own stop leaves them to the next start, which finds them in the state file again.
void BringSplittingInLine(bool helperServes) {
    if (helperServes && TunnelUp.load() && SplitAppsListed()) {
        StartSniffer();
        return;
    }
    StopSniffer();
    if (helperServes && BypassRoutesHeld()) {
        RemoveAllBypassRoutes();
    }
}

}  // namespace

bool IsTunnelUp() {
    return TunnelUp.load();
}

void SetTunnelUp(bool up) {
    std::lock_guard<std::mutex> lock(TunnelStateLock);
    TunnelUp.store(up);
    BringSplittingInLine(true);
}

bool ChangeSplitApps(const std::wstring& text) {
    std::lock_guard<std::mutex> lock(TunnelStateLock);
    const bool listed = SetSplitApps(text);
    BringSplittingInLine(true);
    if (listed && TunnelUp.load()) {
        LogIfTunnelBlocksBypass();
    }
    return listed;
}

void StopSplittingForTheStop() {
    std::lock_guard<std::mutex> lock(TunnelStateLock);
    BringSplittingInLine(false);
}
