#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <netioapi.h>

#include <cstring>
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

namespace {

uint32_t ReadFamilyMetric(ADDRESS_FAMILY family, uint32_t ifIndex, uint32_t& metric) {
    // Family and index identify the row; the rest is filled in by the call.
    MIB_IPINTERFACE_ROW row{};
    row.Family = family;
    row.InterfaceIndex = ifIndex;
    const DWORD result = GetIpInterfaceEntry(&row);
    if (result == NO_ERROR) {
        metric = row.Metric;
    }
    return result;
}

}  // namespace

uint32_t ReadInterfaceMetric(uint32_t ifIndex, uint32_t& metric) {
    return ReadFamilyMetric(AF_INET, ifIndex, metric);
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

namespace {

void FromInet(const SOCKADDR_INET& address, uint32_t& networkOrder) {
    networkOrder = address.Ipv4.sin_addr.S_un.S_addr;
}

void FromInet(const SOCKADDR_INET& address, Ipv6Bytes& bytes) {
    std::memcpy(bytes.data(), &address.Ipv6.sin6_addr, bytes.size());
}

void ToInet(uint32_t networkOrder, SOCKADDR_INET& address) {
    address.Ipv4.sin_family = AF_INET;
    address.Ipv4.sin_addr.S_un.S_addr = networkOrder;
}

void ToInet(const Ipv6Bytes& bytes, SOCKADDR_INET& address) {
    address.Ipv6.sin6_family = AF_INET6;
    std::memcpy(&address.Ipv6.sin6_addr, bytes.data(), bytes.size());
}

// The defaults Windows asks for, then the fields it leaves illegal (site prefix, metric,
// protocol) and those it would otherwise advertise to the network. Both families alike.
template <typename Row>
MIB_IPFORWARD_ROW2 ToMib2(const Row& row) {
    MIB_IPFORWARD_ROW2 mib;
    InitializeIpForwardEntry(&mib);
    mib.InterfaceLuid.Value = row.luid;
    mib.InterfaceIndex = row.ifIndex;
    ToInet(row.dest, mib.DestinationPrefix.Prefix);
    mib.DestinationPrefix.PrefixLength = row.prefixLength;
    ToInet(row.nextHop, mib.NextHop);
    mib.SitePrefixLength = 0;
    mib.Metric = row.metric;
    mib.Protocol = static_cast<NL_ROUTE_PROTOCOL>(MIB_IPPROTO_NETMGMT);
    mib.Publish = FALSE;
    mib.AutoconfigureAddress = FALSE;
    return mib;
}

// Frees a table the row-2 calls allocated.
struct MibTableFree {
    void operator()(void* table) const { FreeMibTable(table); }
};

// Reads the rows of one family through GetIpForwardTable2.
template <typename Row>
RouteTableRead ReadForwardTable2(ADDRESS_FAMILY family, std::vector<Row>& rows) {
    rows.clear();
    MIB_IPFORWARD_TABLE2* raw = nullptr;
    const DWORD result = GetIpForwardTable2(family, &raw);
    const std::unique_ptr<MIB_IPFORWARD_TABLE2, MibTableFree> table(raw);
    if (result == ERROR_NOT_FOUND) {
        return RouteTableRead::Ok;  // no route of the family at all: no table given
    }
    if (result == ERROR_NOT_ENOUGH_MEMORY) {
        return RouteTableRead::NoMemory;
    }
    if (result != NO_ERROR || table == nullptr) {
        return RouteTableRead::ReadFailed;
    }
    for (ULONG i = 0; i < table->NumEntries; ++i) {
        const MIB_IPFORWARD_ROW2& mib = table->Table[i];
        Row row;
        FromInet(mib.DestinationPrefix.Prefix, row.dest);
        row.prefixLength = mib.DestinationPrefix.PrefixLength;
        FromInet(mib.NextHop, row.nextHop);
        row.luid = mib.InterfaceLuid.Value;
        row.ifIndex = mib.InterfaceIndex;
        row.metric = mib.Metric;
        rows.push_back(row);
    }
    return RouteTableRead::Ok;
}

}  // namespace

RouteTableRead ReadIpv6ForwardTable(std::vector<Forward6Row>& rows) {
    return ReadForwardTable2(AF_INET6, rows);
}

uint32_t CreateForward6Entry(const Forward6Row& row) {
    const MIB_IPFORWARD_ROW2 mib = ToMib2(row);
    return CreateIpForwardEntry2(&mib);
}

uint32_t DeleteForward6Entry(const Forward6Row& row) {
    const MIB_IPFORWARD_ROW2 mib = ToMib2(row);
    return DeleteIpForwardEntry2(&mib);
}

RouteTableRead ReadIpv4ForwardTable2(std::vector<Forward4Row>& rows) {
    return ReadForwardTable2(AF_INET, rows);
}

uint32_t CreateForward4Entry(const Forward4Row& row) {
    const MIB_IPFORWARD_ROW2 mib = ToMib2(row);
    return CreateIpForwardEntry2(&mib);
}

uint32_t DeleteForward4Entry(const Forward4Row& row) {
    const MIB_IPFORWARD_ROW2 mib = ToMib2(row);
    return DeleteIpForwardEntry2(&mib);
}

uint32_t ReadIpv6InterfaceMetric(uint32_t ifIndex, uint32_t& metric) {
    return ReadFamilyMetric(AF_INET6, ifIndex, metric);
}

namespace {

// The table's port is in network byte order in the low 16 bits; only those carry it.
uint16_t PortOf(DWORD field) {
    return static_cast<uint16_t>(((field & 0xFF) << 8) | ((field >> 8) & 0xFF));
}

void AppendConnections(const MIB_TCPTABLE_OWNER_PID& table, std::vector<TcpConnection>& rows) {
    for (DWORD i = 0; i < table.dwNumEntries; ++i) {
        TcpConnection row;
        row.processId = table.table[i].dwOwningPid;
        row.state = table.table[i].dwState;
        row.local4 = table.table[i].dwLocalAddr;
        row.remote4 = table.table[i].dwRemoteAddr;
        row.localPort = PortOf(table.table[i].dwLocalPort);
        rows.push_back(row);
    }
}

void AppendConnections(const MIB_TCP6TABLE_OWNER_PID& table, std::vector<TcpConnection>& rows) {
    for (DWORD i = 0; i < table.dwNumEntries; ++i) {
        TcpConnection row;
        row.processId = table.table[i].dwOwningPid;
        row.state = table.table[i].dwState;
        row.localPort = PortOf(table.table[i].dwLocalPort);
        row.ipv6 = true;
        std::memcpy(row.local6.data(), table.table[i].ucLocalAddr, row.local6.size());
        std::memcpy(row.remote6.data(), table.table[i].ucRemoteAddr, row.remote6.size());
        rows.push_back(row);
    }
}

}  // namespace

RouteTableRead ReadTcpConnections(bool ipv6, std::vector<TcpConnection>& rows) {
    rows.clear();
    const ULONG family = ipv6 ? AF_INET6 : AF_INET;
    DWORD size = 0;
    if (GetExtendedTcpTable(nullptr, &size, FALSE, family, TCP_TABLE_OWNER_PID_ALL, 0) !=
        ERROR_INSUFFICIENT_BUFFER) {
        return RouteTableRead::ProbeFailed;
    }
    // Connections come and go between the probe and the read: a quarter more room keeps a busy
    // machine's table from outgrowing every retry.
    size += size / 4;
    std::vector<unsigned char> buffer;
    try {
        buffer.resize(size);
    } catch (const std::bad_alloc&) {
        return RouteTableRead::NoMemory;
    }
    const DWORD result =
        GetExtendedTcpTable(buffer.data(), &size, FALSE, family, TCP_TABLE_OWNER_PID_ALL, 0);
    if (result == ERROR_INSUFFICIENT_BUFFER) {
        return RouteTableRead::Grew;
    }
    if (result != NO_ERROR) {
        return RouteTableRead::ReadFailed;
    }
    if (ipv6) {
        AppendConnections(*reinterpret_cast<const MIB_TCP6TABLE_OWNER_PID*>(buffer.data()), rows);
    } else {
        AppendConnections(*reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data()), rows);
    }
    return RouteTableRead::Ok;
}

struct RouteWatch {
    HANDLE handle;
    void (*changed)();
};

namespace {

// Runs on a thread of the system's for every route of either family that changes, the
// helper's own host routes included; only a default route's change is passed on.
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
        NotifyRouteChange2(AF_UNSPEC, OnRouteChange, made.get(), FALSE, &made->handle);
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

RouteTableRead ReadUnicastAddresses(std::vector<UnicastAddress>& rows) {
    rows.clear();
    MIB_UNICASTIPADDRESS_TABLE* raw = nullptr;
    const DWORD result = GetUnicastIpAddressTable(AF_UNSPEC, &raw);
    const std::unique_ptr<MIB_UNICASTIPADDRESS_TABLE, MibTableFree> table(raw);
    if (result == ERROR_NOT_FOUND) {
        return RouteTableRead::Ok;  // no address at all: no table given
    }
    if (result == ERROR_NOT_ENOUGH_MEMORY) {
        return RouteTableRead::NoMemory;
    }
    if (result != NO_ERROR || table == nullptr) {
        return RouteTableRead::ReadFailed;
    }
    for (ULONG i = 0; i < table->NumEntries; ++i) {
        const MIB_UNICASTIPADDRESS_ROW& mib = table->Table[i];
        UnicastAddress row;
        row.ipv6 = mib.Address.si_family == AF_INET6;
        if (row.ipv6) {
            FromInet(mib.Address, row.address6);
        } else {
            FromInet(mib.Address, row.address4);
        }
        row.prefixLength = mib.OnLinkPrefixLength;
        row.luid = mib.InterfaceLuid.Value;
        row.ifIndex = mib.InterfaceIndex;
        row.dadState = mib.DadState;
        rows.push_back(row);
    }
    return RouteTableRead::Ok;
}

struct AddressWatch {
    HANDLE handle;
    void (*changed)(uint32_t ifIndex);
};

namespace {

// Runs on a thread of the system's for every unicast address that is added, deleted or changes
// (a parameter change carries the end of duplicate address detection).
void WINAPI OnAddressChange(void* context, MIB_UNICASTIPADDRESS_ROW* row,
                            MIB_NOTIFICATION_TYPE type) {
    if (type == MibInitialNotification || row == nullptr) {
        return;
    }
    static_cast<AddressWatch*>(context)->changed(row->InterfaceIndex);
}

}  // namespace

uint32_t WatchUnicastAddresses(void (*changed)(uint32_t ifIndex), AddressWatch*& watch) {
    auto made = std::make_unique<AddressWatch>(AddressWatch{nullptr, changed});
    const DWORD result =
        NotifyUnicastIpAddressChange(AF_UNSPEC, OnAddressChange, made.get(), FALSE, &made->handle);
    if (result == NO_ERROR) {
        watch = made.release();
    }
    return result;
}

void StopWatchingAddresses(AddressWatch* watch) {
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
