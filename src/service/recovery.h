#pragma once

// The service's start and stop as far as per-app splitting goes: the tunnel stays up when the
// helper stops, so its splitting must come back with the helper.

// At start, before the pipe is served: reads helper.state and, with the tunnel service
// running, brings back TunnelUp, the list and the bypass routes still in the routing table
// except those into the tunnel's destinations (read again from Orvanta.conf whenever the tunnel
// service is there), and starts the sniffer for a non-empty list. With the tunnel still starting
// (as after a reboot), keeps the list and watches for the tunnel for up to two minutes, whatever
// the list holds, marking it up (and resuming splitting for a listed application) once it runs.
// Otherwise removes the routes a crash left and forgets the route; the list is forgotten too when
// the tunnel service is gone. A missing, unreadable or malformed file is ignored with one log line.
void RecoverSplitting();

// At the stop, after the pipe server has returned: ends the wait for the tunnel, stops the
// sniffer (its routes go) and writes the state file last.
void EndSplitting();
