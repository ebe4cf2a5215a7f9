#pragma once

// What per-app splitting must remember across a restart of the helper, since the tunnel stays
// up when the helper stops and the physical default route cannot be read again once the tunnel
// owns the default route: PhysicalRoute, SplitAppSet and the bypass routes the helper made, in
// helper.state in the data directory (SYSTEM and Administrators only, for the service).

// Writes the current state whole, through a temporary file that then replaces the old one.
// Call after a change, never while holding StateMutex; a failed write is not reported.
void SaveSplitState();

// At start, before any request: with the tunnel service running, brings back TunnelUp,
// PhysicalRoute, SplitAppSet and the routes, and starts the sniffer for a non-empty list;
// with it not running, removes the routes the file lists (left behind by a crash) and clears
// the file. A missing, unreadable or malformed file is ignored with one log line.
void RestoreSplitState();
