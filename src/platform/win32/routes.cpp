#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <netioapi.h>

#include <memory>
#include <vector>

#include "platform/routes.h"

namespace platform {

namespace {

ForwardRow FromMib(const MIB_IPFORWARDROW& mib) {
    ForwardRow row;
    row.dest = mib.dwForwardDest;
    row.mask = mib.dwForwardMask;
    row.policy = mib.dwForwardPolicy;
    row.nextHop = mib.dwForwardNextHop;
    row.ifIndex = mib.dwForwardIfIndex;
    row.type = mib.dwForwardType;
    row.proto = mib.dwForwardProto;
    row.age = mib.dwForwardAge;
    row.nextHopAS = mib.dwForwardNextHopAS;
    row.metric1 = mib.dwForwardMetric1;
    row.metric2 = mib.dwForwardMetric2;
    row.metric3 = mib.dwForwardMetric3;
    row.metric4 = mib.dwForwardMetric4;
    row.metric5 = mib.dwForwardMetric5;
    return row;
}

MIB_IPFORWARDROW ToMib(const ForwardRow& row) {
    MIB_IPFORWARDROW mib{};
    mib.dwForwardDest = row.dest;
    mib.dwForwardMask = row.mask;
    mib.dwForwardPolicy = row.policy;
    mib.dwForwardNextHop = row.nextHop;
    mib.dwForwardIfIndex = row.ifIndex;
    mib.dwForwardType = row.type;
    mib.dwForwardProto = row.proto;
    mib.dwForwardAge = row.age;
    mib.dwForwardNextHopAS = row.nextHopAS;
    mib.dwForwardMetric1 = row.metric1;
    mib.dwForwardMetric2 = row.metric2;
    mib.dwForwardMetric3 = row.metric3;
    mib.dwForwardMetric4 = row.metric4;
    mib.dwForwardMetric5 = row.metric5;
    return mib;
}

}  // namespace

RouteTableRead ReadIpv4ForwardTable(std::vector<ForwardRow>& rows) {
    rows.clear();
    ULONG size = 0;
    if (GetIpForwardTable(nullptr, &size, FALSE) != ERROR_INSUFFICIENT_BUFFER) {
        return RouteTableRead::ProbeFailed;
    }
    std::vector<unsigned char> buffer;
    try {
        buffer.resize(size);
    } catch (const std::bad_alloc&) {
        return RouteTableRead::NoMemory;
    }
    auto* table = reinterpret_cast<MIB_IPFORWARDTABLE*>(buffer.data());
    const DWORD result = GetIpForwardTable(table, &size, FALSE);
    if (result == ERROR_INSUFFICIENT_BUFFER) {
        return RouteTableRead::Grew;
    }
    if (result != NO_ERROR) {
        return RouteTableRead::ReadFailed;
    }
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        rows.push_back(FromMib(table->table[i]));
    }
    return RouteTableRead::Ok;
}

uint32_t CreateForwardEntry(const ForwardRow& row) {
    MIB_IPFORWARDROW mib = ToMib(row);
    return CreateIpForwardEntry(&mib);
}

uint32_t DeleteForwardEntry(const ForwardRow& row) {
    MIB_IPFORWARDROW mib = ToMib(row);
    return DeleteIpForwardEntry(&mib);
}

uint32_t ReadInterfaceMetric(uint32_t ifIndex, uint32_t& metric) {
    // Family and index identify the row; the rest is filled in by the call.
    MIB_IPINTERFACE_ROW row{};
    row.Family = AF_INET;
    row.InterfaceIndex = ifIndex;
    const DWORD result = GetIpInterfaceEntry(&row);
    if (result == NO_ERROR) {
        metric = row.Metric;
    }
    return result;
}

uint32_t InterfaceIndexFromAlias(const std::wstring& alias, uint32_t& ifIndex) {
    NET_LUID luid{};
    DWORD result = ConvertInterfaceAliasToLuid(alias.c_str(), &luid);
    if (result != NO_ERROR) {
        return result;
    }
    NET_IFINDEX index = 0;
    result = ConvertInterfaceLuidToIndex(&luid, &index);
    if (result == NO_ERROR) {
        ifIndex = index;
    }
    return result;
}

struct RouteWatch {
    HANDLE handle;
    void (*changed)();
};

namespace {

// Runs on a thread of the system's for every IPv4 route that changes, the helper's own /32
// routes included; only a default route's change is passed on.
void WINAPI OnRouteChange(void* context, MIB_IPFORWARD_ROW2* row, MIB_NOTIFICATION_TYPE type) {
    if (type == MibInitialNotification || row == nullptr ||
        row->DestinationPrefix.PrefixLength != 0) {
        return;
    }
    static_cast<RouteWatch*>(context)->changed();
}

}  // namespace

uint32_t WatchDefaultRoutes(void (*changed)(), RouteWatch*& watch) {
    auto made = std::make_unique<RouteWatch>(RouteWatch{nullptr, changed});
    const DWORD result =
        NotifyRouteChange2(AF_INET, OnRouteChange, made.get(), FALSE, &made->handle);
    if (result == NO_ERROR) {
        watch = made.release();
    }
    return result;
}

void StopWatchingRoutes(RouteWatch* watch) {
    if (watch != nullptr) {
        CancelMibChangeNotify2(watch->handle);  // waits for a callback that is running
        delete watch;
    }
}

bool ParseIpv4(const char* text, uint32_t& networkOrder) {
    IN_ADDR address{};
    if (inet_pton(AF_INET, text, &address) != 1) {
        return false;
    }
    networkOrder = address.S_un.S_addr;
    return true;
}

uint32_t HostToNetwork32(uint32_t hostOrder) {
    return htonl(hostOrder);
}

}  // namespace platform
