#pragma once

#include <cstddef>
#include <string>

#include "split/split_status.h"

// Everything the reply to "splitstatus" tells.
struct SplitStatusView {
    bool stopping = false;  // the helper has been told to stop
    bool tunnelUp = false;
    bool tunnelBlocksBypass = false;
    size_t kept = 0;  // entries of the tunnel's set kept in the tunnel
    SplitFacts split;
};

// "split on apps=N routes=N/CAP routes6=N/CAP ipv4=IF|none ipv6=IF|none remembered=N kept=N",
// then "cap-reached=ipv4|ipv6|both" and "blocked-by-tunnel" where they apply; otherwise
// "split off reason=R" with the first reason that applies.
std::string SplitStatusLine(const SplitStatusView& view);

// Looks at the helper, the tunnel and the split room, and answers with SplitStatusLine.
std::string SplitStatusCommand(bool stopping);

// "splitforget": empties the route memory and deletes its file; "OK".
std::string SplitForgetCommand();
