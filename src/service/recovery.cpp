#include "service/recovery.h"

#include <mutex>
#include <set>
#include <vector>

#include "log/helper_log.h"
#include "platform/platform.h"
#include "split/physical_route.h"
#include "split/route_manager.h"
#include "split/split_apps.h"
#include "split/split_state.h"
#include "split/state_file.h"
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
        case TunnelStartOutcome::Running: {
            {
                std::lock_guard<std::mutex> lock(TunnelStateLock);
                TunnelUp.exchange(true);
                if (SplitAppsListed()) {
                    StartSniffer();
                }
            }
            HelperLog(L"tunnel service running " + seconds +
                      L" s after start; per-app split resumed");
            return;
        }
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

void ForgetPhysicalRoute() {
    std::lock_guard<std::mutex> lock(StateMutex);
    PhysicalRoute = {};  // recorded again at the next connect
}

}  // namespace

void RecoverSplitting() {
    HelperStartTick = platform::TickCountMs();
    UseSplitStateFile(true);
    SplitStateRecord saved;
    const std::wstring problem = LoadSplitState(saved);
    if (!problem.empty()) {
        HelperLog(L"state file " + problem + L"; ignored");
        return;
    }
    const TunnelServiceCondition tunnel = TunnelServiceState();
    std::vector<platform::ForwardRow> rows;
    ReadRouteTable(rows);  // a table that cannot be read holds none of the saved routes
    {
        std::lock_guard<std::mutex> lock(StateMutex);
        PhysicalRoute = saved.route;  // the rows to delete are the rows that were made
        BypassRouteSet = BypassRoutesInTable(saved.bypassRoutes, saved.route, rows);
        if (tunnel != TunnelServiceCondition::Gone) {
            SplitAppSet = saved.apps;
        }
    }
    const bool listed = !saved.apps.empty();
    if (tunnel == TunnelServiceCondition::Running) {
        TunnelUp.exchange(true);
        if (listed) {
            StartSniffer();  // which resolves the physical route from the table again
        } else {
            RemoveAllBypassRoutes();
        }
        return;
    }
    TunnelUp.exchange(false);
    RemoveAllBypassRoutes();  // a crash left them; the tunnel they went around is not up
    ForgetPhysicalRoute();
    SaveSplitState();
    if (tunnel == TunnelServiceCondition::Starting && listed) {
        StartTunnelStartWatch(HelperStartTick + kTunnelStartWaitMs, &SettleTunnelStart);
    }
}

void EndSplitting() {
    EndTunnelStartWatch();
    StopSniffer();
    SaveSplitState();  // the stop writes the state last
}
