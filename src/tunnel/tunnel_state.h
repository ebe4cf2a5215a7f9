#pragma once

#include <atomic>
#include <mutex>
#include <string>

// Whether the tunnel service ran at the end of the last connect; cleared by disconnect, and set
// by the start-up when a tunnel left up by the last run comes back.
extern std::atomic<bool> TunnelUp;
// Held by whoever decides from TunnelUp whether per-app splitting runs outside a connect or a
// disconnect: a "splitapps" request, and the start-up's wait for a tunnel that is still starting.
// It is held while the sniffer starts or stops; the sniffer thread never takes it.
extern std::mutex TunnelStateLock;
