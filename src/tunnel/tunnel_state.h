#pragma once

#include <string>

// Whether the tunnel is up, and the one rule that ties per-app splitting to it: splitting runs
// exactly while the helper serves, the tunnel is up and the split list names an application.
// Every change of the three comes through here; the rule is decided in one place.

// Whether the tunnel service ran at the end of the last connect, or came back after the
// helper's start; false after a disconnect.
bool IsTunnelUp();

// Records whether the tunnel is up and brings splitting in line with it: the sniffer starts
// for a listed application, and stops (its routes and any left by an earlier run go) otherwise.
void SetTunnelUp(bool up);

// Replaces the split list (see SetSplitApps) and brings splitting in line with it; with the
// tunnel up and an application listed, says what of the tunnel blocks bypassed traffic. True
// when the new list names any application.
bool ChangeSplitApps(const std::wstring& text);

// At the helper's stop, after the last request: splitting stops whatever the tunnel and the
// list, and the tunnel is left as it is.
void StopSplittingForTheStop();
