#include "tunnel/tunnel_state.h"

std::atomic<bool> TunnelUp{false};
std::mutex TunnelStateLock;
