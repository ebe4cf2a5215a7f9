#include "split/split_state.h"

std::mutex StateMutex;
std::set<std::wstring> SplitAppSet;
std::set<uint32_t> BypassRouteSet;
std::atomic<bool> SnifferRunning{false};
PhysicalRouteRecord PhysicalRoute;
std::set<Ipv6Bytes> BypassRoute6Set;
PhysicalRoute6Record PhysicalRoute6;
