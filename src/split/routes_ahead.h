#pragma once

// Routes made ahead: while splitting runs, a worker thread of its own makes the bypass routes of
// the listed applications' remembered addresses (see route_memory.h) by the rules of a
// connection, so that their first connection to a familiar server finds its route already there.
// The thread that serves the pipe only asks; it never waits for these routes.

#include <set>
#include <string>

// Starts the worker, unless it runs or splitting is stopping, and has it make the routes of every
// listed application. The sniffer thread calls it once it watches: with WinDivert missing,
// splitting is off and nothing is made ahead. A worker that cannot be made is logged; splitting
// goes on without routes made ahead.
void StartRoutesAhead();
// Has the running worker make the routes of `apps` (those still listed when it comes to them);
// nothing when it is not running.
void MakeRoutesAhead(const std::set<std::wstring>& apps);
// The same for every listed application: a physical route appeared where there was none.
void MakeRoutesAheadForAll();
// Stops the worker between two routes and waits for it, holding no lock; nothing when stopped.
// A worker started after it returned is stopped by the next call.
void StopRoutesAhead();
