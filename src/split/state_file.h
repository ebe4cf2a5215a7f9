#pragma once

// What per-app splitting must remember across a restart of the service, since the tunnel stays
// up when the helper stops: the physical routes, the list and the bypass routes the helper made,
// in helper.state in the data directory (SYSTEM and Administrators only, for the service). A
// helper in the foreground keeps no state across runs: it neither reads nor writes the file.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "split/route_types.h"

// Whether the state is saved and may be loaded: only the service turns it on.
void UseSplitStateFile(bool use);

// Reads the file, whole or not at all; nothing is read before UseSplitStateFile.
enum class StateFileLoad { Loaded, Missing, Unreadable, Malformed };
StateFileLoad LoadSplitState(SplitStateRecord& state);

// Brings back what the last run saved: its physical routes, and its list unless `keepApps` is
// false (the tunnel it went with is gone). The bypass rows are the marked rows of the tables
// (see ClaimMarkedBypassRows), not the file's.
void RestoreSplitState(const SplitStateRecord& saved, bool keepApps);
// Forgets both physical routes and saves; the next connect records them again.
void ForgetPhysicalRoute();

// Writes the current state whole, through a temporary file that then replaces the old one.
// The split state calls it after a change; a failed write is not reported.
void SaveSplitState();

// For changes on the socket-event path: the state is written by the next tick of a timer that
// runs while the sniffer does, so a burst of new routes costs one write, not one each.
void MarkSplitStateChanged();
void StartCoalescedSaves();
// Stops the timer; a tick that is running has finished when this returns.
void StopCoalescedSaves();
