#include "split/route_manager.h"

#include "platform/platform.h"
#include "split/split_state.h"

namespace {

constexpr uint32_t kErrorObjectAlreadyExists = 5010;

platform::ForwardRow BypassRow(uint32_t address) {
    platform::ForwardRow row;
    row.dest = address;
    row.mask = 0xFFFFFFFFu;
    row.nextHop = PhysicalRoute.nextHop;
    row.ifIndex = PhysicalRoute.ifIndex;
    row.type = 4;   // MIB_IPROUTE_TYPE_INDIRECT
    row.proto = 3;  // MIB_IPPROTO_NETMGMT
    row.metric1 = 1;
    return row;
}

}  // namespace

void AddBypassRoute(uint32_t address) {
    std::lock_guard<std::mutex> lock(StateMutex);
    if (PhysicalRoute.ifIndex == 0 || PhysicalRoute.nextHop == 0) {
        return;
    }
    if (BypassRouteSet.count(address) > 0) {
        return;
    }
    const uint32_t result = platform::CreateForwardEntry(BypassRow(address));
    if (result == 0 || result == kErrorObjectAlreadyExists) {
        BypassRouteSet.insert(address);
    }
}

void RemoveAllBypassRoutes() {
    std::lock_guard<std::mutex> lock(StateMutex);
    for (uint32_t address : BypassRouteSet) {
        platform::DeleteForwardEntry(BypassRow(address));
    }
    BypassRouteSet.clear();
}
