#pragma once

#include <cstdint>

// At a machine's start the helper and the tunnel service start in no fixed order: the tunnel
// may still be starting when the helper asks. This watch waits for it on a thread of its own.

enum class TunnelStartOutcome {
    Running,   // the tunnel service runs
    TimedOut,  // it did not run by the deadline
    Ended,     // a request (connect, disconnect) or the helper's stop ended the watch
};

// Polls the tunnel service until it runs or `deadlineTick` (on platform::TickCountMs) passes,
// then calls `settle` once, on the watch's thread, with the outcome. False, with nothing
// watched, when the thread cannot be started. One watch at a time.
bool StartTunnelStartWatch(uint64_t deadlineTick, void (*settle)(TunnelStartOutcome));

// Ends the watch, if one runs, and waits for its thread: whatever `settle` did is done when
// this returns. Connect, disconnect and the service's stop call it before they act.
void EndTunnelStartWatch();
