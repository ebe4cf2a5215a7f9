#pragma once

#include <cstdint>

// The sniffer thread's body: loads WinDivert, watches the socket events of every process,
// gives the listed applications' open connections their bypass routes, and asks for one when a
// listed application connects to an address of either family. Returns after the split state's
// sniffer flag is cleared, or early (logged) when WinDivert cannot be used.
void SnifferMain();

// Whether the sniffer's WinDivert handle is open, so that events are being watched.
bool SnifferWatching();

// Called by the stop after it cleared the sniffer flag: shuts the receive side of the sniffer's
// WinDivert handle down so a pending receive returns without waiting for the next socket event.
// Does nothing when no handle is open or the library lacks WinDivertShutdown.
void WakeSniffer();

// How the sniffer's current run began: stopped, opening WinDivert, watching, or given up (and
// why). Kept until the next start or stop, for the split status.
enum class SnifferStart {
    Stopped,
    Opening,
    Watching,
    ThreadNotStarted,
    NotLoaded,
    ExportsMissing,
    OpenFailed,
};
struct SnifferStartState {
    SnifferStart start = SnifferStart::Stopped;
    uint32_t error = 0;  // with OpenFailed: WinDivert's error
};
void NoteSnifferStart(SnifferStart start, uint32_t error = 0);
// The state once a sniffer that is opening has watched or given up, waiting at most `waitMs`.
SnifferStartState SettledSnifferStart(uint32_t waitMs);
