#include "split/route_manager.h"

#include <cstring>

#include "log/helper_log.h"
#include "platform/platform.h"
#include "split/split_state.h"
#include "split/state_file.h"

namespace {

constexpr uint32_t kErrorObjectAlreadyExists = 5010;

// Addresses whose refused creation was logged since the routes were last removed, so that an
// application reconnecting in a loop does not flood the log. Guarded by StateMutex.
std::set<uint32_t> LoggedRefusals;
// Addresses that already had a route the helper did not make (an administrator's, the tunnel
// program's): left alone, never deleted. Guarded by StateMutex.
std::set<uint32_t> ForeignRoutes;

platform::ForwardRow BypassRow(uint32_t address) {
    platform::ForwardRow row;
    row.dest = address;
    row.mask = 0xFFFFFFFFu;
    row.nextHop = PhysicalRoute.nextHop;
    row.ifIndex = PhysicalRoute.ifIndex;
    row.type = 4;   // MIB_IPROUTE_TYPE_INDIRECT
    row.proto = 3;  // MIB_IPPROTO_NETMGMT
    // The legacy metric is the interface's plus the route's own; the route's own is 1.
    row.metric1 = PhysicalRoute.interfaceMetric + 1;
    return row;
}

std::wstring DottedAddress(uint32_t networkOrder) {
    unsigned char bytes[4];
    std::memcpy(bytes, &networkOrder, 4);
    return std::to_wstring(bytes[0]) + L"." + std::to_wstring(bytes[1]) + L"." +
           std::to_wstring(bytes[2]) + L"." + std::to_wstring(bytes[3]);
}

struct Creation {
    bool created = false;
    uint32_t refusalToLog = 0;
};

// Creates the route unless it is there already.
Creation CreateBypassRoute(uint32_t address) {
    std::lock_guard<std::mutex> lock(StateMutex);
    if (PhysicalRoute.ifIndex == 0 || PhysicalRoute.nextHop == 0 ||
        BypassRouteSet.count(address) > 0 || ForeignRoutes.count(address) > 0) {
        return {};
    }
    const uint32_t result = platform::CreateForwardEntry(BypassRow(address));
    if (result == 0) {
        BypassRouteSet.insert(address);
        return {true, 0};
    }
    if (result == kErrorObjectAlreadyExists) {
        ForeignRoutes.insert(address);
        return {};
    }
    return {false, LoggedRefusals.insert(address).second ? result : 0};
}

}  // namespace

void AddBypassRoute(uint32_t address) {
    // The log and the state file are written outside StateMutex.
    const Creation creation = CreateBypassRoute(address);
    if (creation.refusalToLog != 0) {
        HelperLog(L"bypass route refused: " + DottedAddress(address) + L" err=" +
                  std::to_wstring(creation.refusalToLog));
    }
    if (creation.created) {
        SaveSplitState();
    }
}

void RemoveAllBypassRoutes() {
    {
        std::lock_guard<std::mutex> lock(StateMutex);
        for (uint32_t address : BypassRouteSet) {
            platform::DeleteForwardEntry(BypassRow(address));
        }
        BypassRouteSet.clear();
        LoggedRefusals.clear();
        ForeignRoutes.clear();
    }
    SaveSplitState();
}
