#include "service/recovery.h"

#include <vector>

#include "log/helper_log.h"
#include "platform/platform.h"
#include "split/route_manager.h"
#include "split/route_memory.h"
#include "split/state_file.h"
#include "tunnel/configuration.h"
#include "tunnel/service_monitor.h"
#include "tunnel/tunnel_start_watch.h"
#include "tunnel/tunnel_state.h"

namespace {

constexpr uint64_t kTunnelStartWaitMs = 120000;
uint64_t HelperStartTick = 0;

// Runs on the watch's thread, once.
void SettleTunnelStart(TunnelStartOutcome outcome) {
    const std::wstring seconds =
        std::to_wstring((platform::TickCountMs() - HelperStartTick) / 1000);
    switch (outcome) {
        case TunnelStartOutcome::Running:
            SetTunnelUp(true);
            HelperLog(L"tunnel service running " + seconds +
                      L" s after start; per-app split resumed");
            return;
        case TunnelStartOutcome::TimedOut:
            HelperLog(L"tunnel service not running " + seconds +
                      L" s after start; per-app split waits for the next connect");
            return;
        case TunnelStartOutcome::Ended:
            HelperLog(L"wait for the tunnel service ended by a request or the stop after " +
                      seconds + L" s");
            return;
    }
}

std::wstring LoadProblemText(StateFileLoad loaded) {
    switch (loaded) {
        case StateFileLoad::Missing:
            return L"missing";
        case StateFileLoad::Malformed:
            return L"malformed";
        case StateFileLoad::Loaded:
        case StateFileLoad::Unreadable:
            break;
    }
    return L"unreadable";
}

}  // namespace

void RecoverSplitting() {
    HelperStartTick = platform::TickCountMs();
    UseSplitStateFile(true);
    UseRouteMemoryFile(true);
    LoadRouteMemory();  // before splitting may start and make its routes ahead
    SplitStateRecord saved;
    const StateFileLoad loaded = LoadSplitState(saved);
    if (loaded != StateFileLoad::Loaded) {
        HelperLog(L"state file " + LoadProblemText(loaded) + L"; ignored");
        ClaimMarkedBypassRows(false);  // no list to go with them
        return;
    }
    const TunnelServiceCondition tunnel = TunnelServiceState();
    RestoreSplitState(saved, tunnel != TunnelServiceCondition::Gone);
    ClaimMarkedBypassRows(tunnel == TunnelServiceCondition::Running);
    if (tunnel != TunnelServiceCondition::Gone) {
        LearnTunnelDestinationsFromTheFile();  // a saved route into them goes, not adopted
    }
    if (tunnel == TunnelServiceCondition::Running) {
        SetTunnelUp(true);  // the sniffer resolves the physical route from the table again
        return;
    }
    SetTunnelUp(false);  // a crash left the routes; the tunnel they went around is not up
    ForgetPhysicalRoute();
    // Watched whatever the list holds: a list sent once the tunnel runs must find it up.
    if (tunnel == TunnelServiceCondition::Starting) {
        StartTunnelStartWatch(HelperStartTick + kTunnelStartWaitMs, &SettleTunnelStart);
    }
}

void EndSplitting() {
    EndTunnelStartWatch();
    StopSplittingForTheStop();
    SaveSplitState();  // the stop writes the state last
}
