#include "split/split_apps.h"

#include <algorithm>
#include <iterator>

#include "common/names.h"
#include "common/text_pieces.h"
#include "log/helper_log.h"
#include "platform/platform.h"
#include "split/open_connections.h"
#include "split/physical_route.h"
#include "split/route_manager.h"
#include "split/routes_ahead.h"
#include "split/sniffer.h"
#include "split/split_state.h"
#include "split/state_file.h"

namespace {

// Held from StartSniffer until StopSniffer: the sniffer thread, and the watches that move the
// bypass routes when the physical default route changes or an address decides it anew.
platform::Thread* SnifferThread = nullptr;
platform::RouteWatch* DefaultRouteWatch = nullptr;
platform::AddressWatch* UnicastAddressWatch = nullptr;

void FollowTheNetwork() {
    FollowPhysicalDefaultRoute();
}

void FollowTheAddresses(uint32_t ifIndex) {
    FollowAddressChange(ifIndex);
}

// Bypass routes are made only while the sniffer runs, so the network is followed only then:
// watched first, then looked at once, so that no change falls between the two.
void StartFollowingTheNetwork() {
    StartCoalescedSaves();
    platform::WatchDefaultRoutes(&FollowTheNetwork, DefaultRouteWatch);
    platform::WatchUnicastAddresses(&FollowTheAddresses, UnicastAddressWatch);
    FollowPhysicalDefaultRoute();
}

void StopFollowingTheNetwork() {
    platform::StopWatchingAddresses(UnicastAddressWatch);
    UnicastAddressWatch = nullptr;
    platform::StopWatchingRoutes(DefaultRouteWatch);
    DefaultRouteWatch = nullptr;
    StopCoalescedSaves();
}

}  // namespace

std::set<std::wstring> ParseSplitApps(const std::wstring& text) {
    std::set<std::wstring> apps;
    ForEachPiece(text, L';', [&apps](const std::wstring& piece) {
        const std::wstring name = Trimmed(piece, L" \t", L" \t\r");
        if (!name.empty()) {
            apps.insert(LowerCaseName(name));
        }
    });
    return apps;
}

bool SetSplitApps(const std::wstring& text) {
    std::set<std::wstring> apps = ParseSplitApps(text);
    const bool listed = !apps.empty();
    std::set<std::wstring> gained;
    TheSplitState().Apply([&](SplitParts& parts, LogLines&) {
        std::set_difference(apps.begin(), apps.end(), parts.apps.begin(), parts.apps.end(),
                            std::inserter(gained, gained.end()));
        parts.apps = std::move(apps);
        return Saving::Now;
    });
    // A sniffer that opens later reads the connections of the whole list itself; one that
    // starts later has the whole list's routes made ahead.
    if (SnifferWatching()) {
        BypassOpenConnections(gained);
    }
    if (SnifferRunning()) {
        MakeRoutesAhead(gained);
    }
    return listed;
}

bool SplitAppsListed() {
    return TheSplitState().Read([](const SplitParts& parts) { return !parts.apps.empty(); });
}

bool SnifferRunning() {
    return TheSplitState().SnifferRunning();
}

void StartSniffer() {
    if (TheSplitState().SetSnifferRunning(true)) {
        return;
    }
    NoteSnifferStart(SnifferStart::Opening);
    StartFollowingTheNetwork();
    if (platform::StartThread(&SnifferMain, SnifferThread) != 0) {
        StopFollowingTheNetwork();
        TheSplitState().SetSnifferRunning(false);
        NoteSnifferStart(SnifferStart::ThreadNotStarted);
        HelperLog(L"sniffer thread not started");
    }
}

void StopSniffer() {
    if (!TheSplitState().SetSnifferRunning(false)) {
        return;
    }
    StopRoutesAhead();  // before the routes go, so that none is made after
    WakeSniffer();
    if (SnifferThread != nullptr) {
        platform::JoinThread(SnifferThread);
        SnifferThread = nullptr;
    }
    StopRoutesAhead();  // one the sniffer started meanwhile
    StopFollowingTheNetwork();
    NoteSnifferStart(SnifferStart::Stopped);
    RemoveAllBypassRoutes();
}
