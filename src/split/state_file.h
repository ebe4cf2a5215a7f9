#pragma once

// What per-app splitting must remember across a restart of the service, since the tunnel stays
// up when the helper stops: PhysicalRoute, SplitAppSet and the bypass routes the helper made,
// in helper.state in the data directory (SYSTEM and Administrators only, for the service). A
// helper in the foreground keeps no state across runs: it neither reads nor writes the file.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "split/route_types.h"

struct SplitStateRecord {
    PhysicalRouteRecord route;  // without its subnets, which are read again
    std::set<std::wstring> apps;
    std::set<uint32_t> bypassRoutes;
    PhysicalRoute6Record route6;  // likewise; unknown in a file from before IPv6 was split
    std::set<Ipv6Bytes> bypassRoutes6;
};

// Whether the state is saved and may be loaded: only the service turns it on.
void UseSplitStateFile(bool use);

// Reads the file. Empty when it was read whole, else why not ("missing", "unreadable",
// "malformed"); nothing is read before UseSplitStateFile.
std::wstring LoadSplitState(SplitStateRecord& state);

// Brings back what the last run saved: its physical routes (the rows to delete are the rows
// that were made), those of its bypass routes still in `rows` and `rows6`, and its list unless
// `keepApps` is false (the tunnel it went with is gone).
void RestoreSplitState(const SplitStateRecord& saved, const std::vector<platform::ForwardRow>& rows,
                       const std::vector<platform::Forward6Row>& rows6, bool keepApps);
// Forgets both physical routes; the next connect records them again.
void ForgetPhysicalRoute();

// Writes the current state whole, through a temporary file that then replaces the old one.
// Call after a change, never while holding StateMutex; a failed write is not reported.
void SaveSplitState();

// For changes on the socket-event path: the state is written by the next tick of a timer that
// runs while the sniffer does, so a burst of new routes costs one write, not one each.
void MarkSplitStateChanged();
void StartCoalescedSaves();
// Stops the timer; a tick that is running has finished when this returns.
void StopCoalescedSaves();
