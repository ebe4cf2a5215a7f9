#pragma once

#include <set>
#include <string>

// Gives every TCP connection that one of `apps` (lower-cased file names) has established or is
// making, in either family, its bypass route, by the same rules as a socket connect; one it
// accepted on a port it listens on gets none, as socket events give none for it. The
// connections themselves stay where they are: their source address is fixed, and the next ones
// to the same servers bypass. A table that cannot be read is logged and skipped.
void BypassOpenConnections(const std::set<std::wstring>& apps);
