#pragma once

// What per-app splitting must remember across a restart of the service, since the tunnel stays
// up when the helper stops: PhysicalRoute, SplitAppSet and the bypass routes the helper made,
// in helper.state in the data directory (SYSTEM and Administrators only, for the service). A
// helper in the foreground keeps no state across runs: it neither reads nor writes the file.

#include <cstdint>
#include <set>
#include <string>

#include "split/split_state.h"

struct SplitStateRecord {
    PhysicalRouteRecord route;  // without its subnets, which are read again
    std::set<std::wstring> apps;
    std::set<uint32_t> bypassRoutes;
};

// Whether the state is saved and may be loaded: only the service turns it on.
void UseSplitStateFile(bool use);

// Reads the file. Empty when it was read whole, else why not ("missing", "unreadable",
// "malformed"); nothing is read before UseSplitStateFile.
std::wstring LoadSplitState(SplitStateRecord& state);

// Writes the current state whole, through a temporary file that then replaces the old one.
// Call after a change, never while holding StateMutex; a failed write is not reported.
void SaveSplitState();

// For changes on the socket-event path: the state is written by the next tick of a timer that
// runs while the sniffer does, so a burst of new routes costs one write, not one each.
void MarkSplitStateChanged();
void StartCoalescedSaves();
// Stops the timer; a tick that is running has finished when this returns.
void StopCoalescedSaves();
