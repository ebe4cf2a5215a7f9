#include "split/split_apps.h"

#include "common/names.h"
#include "log/helper_log.h"
#include "platform/platform.h"
#include "split/physical_route.h"
#include "split/route_manager.h"
#include "split/sniffer.h"
#include "split/split_state.h"
#include "split/state_file.h"

namespace {

// Held from StartSniffer until StopSniffer: the sniffer thread, and the watch that moves the
// bypass routes when the physical default route changes.
platform::Thread* SnifferThread = nullptr;
platform::RouteWatch* DefaultRouteWatch = nullptr;

std::wstring TrimPiece(const std::wstring& piece) {
    const size_t first = piece.find_first_not_of(L" \t");
    if (first == std::wstring::npos) {
        return {};
    }
    const size_t last = piece.find_last_not_of(L" \t\r");
    if (last == std::wstring::npos || last < first) {
        return {};  // only blanks, tabs and carriage returns
    }
    return piece.substr(first, last - first + 1);
}

// Bypass routes are made only while the sniffer runs, so the network is followed only then:
// watched first, then looked at once, so that no change falls between the two.
void StartFollowingTheNetwork() {
    StartCoalescedSaves();
    platform::WatchDefaultRoutes(&FollowPhysicalDefaultRoute, DefaultRouteWatch);
    FollowPhysicalDefaultRoute();
}

void StopFollowingTheNetwork() {
    platform::StopWatchingRoutes(DefaultRouteWatch);
    DefaultRouteWatch = nullptr;
    StopCoalescedSaves();
}

}  // namespace

std::set<std::wstring> ParseSplitApps(const std::wstring& text) {
    std::set<std::wstring> apps;
    size_t start = 0;
    for (;;) {
        const size_t semicolon = text.find(L';', start);
        const std::wstring piece = TrimPiece(text.substr(start, semicolon - start));
        if (!piece.empty()) {
            apps.insert(LowerCaseName(piece));
        }
        if (semicolon == std::wstring::npos) {
            return apps;
        }
        start = semicolon + 1;
    }
}

bool SetSplitApps(const std::wstring& text, bool tunnelUp) {
    std::set<std::wstring> apps = ParseSplitApps(text);
    const bool listed = !apps.empty();
    {
        std::lock_guard<std::mutex> lock(StateMutex);
        SplitAppSet = std::move(apps);
    }
    SaveSplitState();
    if (!tunnelUp) {
        return listed;  // the next successful connect starts the sniffer
    }
    if (listed) {
        StartSniffer();
    } else {
        StopSniffer();
    }
    return listed;
}

bool SplitAppsListed() {
    std::lock_guard<std::mutex> lock(StateMutex);
    return !SplitAppSet.empty();
}

void StartSniffer() {
    if (SnifferRunning.exchange(true)) {
        return;
    }
    StartFollowingTheNetwork();
    if (platform::StartThread(&SnifferMain, SnifferThread) != 0) {
        StopFollowingTheNetwork();
        SnifferRunning.store(false);
        HelperLog(L"sniffer thread not started");
    }
}

void StopSniffer() {
    if (!SnifferRunning.exchange(false)) {
        return;
    }
    WakeSniffer();
    if (SnifferThread != nullptr) {
        platform::JoinThread(SnifferThread);
        SnifferThread = nullptr;
    }
    StopFollowingTheNetwork();
    RemoveAllBypassRoutes();
}
