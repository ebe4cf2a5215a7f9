#pragma once

#include <atomic>

// Whether the tunnel service ran at the end of the last connect; cleared by disconnect.
extern std::atomic<bool> TunnelUp;
