// Stand-in for iphlpapi.dll: IPv4 and IPv6 routing tables that live across processes, refuse
// what Windows refuses, forget the routes made through them at a "reboot" and report changes as
// NotifyRouteChange2 does, and a TCP connection table. Files beside the DLL, all read again on
// every call:
//   routes-table.txt     the system's IPv4 rows, "dest mask nexthop ifindex metric" a line (a
//                        next hop of 0.0.0.0 makes an on-link row); rewrite it to move the
//                        machine to another network
//   routes-live.txt      the rows made with CreateIpForwardEntry; delete it for a reboot
//   routes-metrics.txt   "ifindex metric [alias]" a line: the interfaces that exist
//   routes-journal.txt   every create and delete, field by field, with its result
//   routes6-table.txt    the system's IPv6 rows, "prefix/length nexthop ifindex metric" a line
//                        (a next hop of :: makes an on-link row; the metric is the route's own,
//                        added to the interface's)
//   routes6-live.txt     the rows made with CreateIpForwardEntry2, same format; delete it for a
//                        reboot (Windows keeps no route made through the API across one)
//   routes6-metrics.txt  "ifindex metric" a line: the interfaces that have IPv6
//   routes6-journal.txt  every create6 and delete6, field by field, with its result
//   tcp-table.txt        "remote-address remote-port state pid" a line; an address with ':' is
//                        an IPv6 connection, a dotted one an IPv4 connection
//   tcp-error.txt        when present, GetExtendedTcpTable answers the number in it
// Interfaces are known by index; an interface's LUID is derived from it (see LuidOf).
// GetIpForwardTable2 serves IPv6 only: the helper reads IPv4 through GetIpForwardTable.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

// The SDK declares these as imports; the stand-in defines them, so only the types are taken.
#define GetIpForwardTable SdkGetIpForwardTable
#define CreateIpForwardEntry SdkCreateIpForwardEntry
#define DeleteIpForwardEntry SdkDeleteIpForwardEntry
#define GetIpInterfaceEntry SdkGetIpInterfaceEntry
#define ConvertInterfaceAliasToLuid SdkConvertInterfaceAliasToLuid
#define ConvertInterfaceLuidToIndex SdkConvertInterfaceLuidToIndex
#define NotifyRouteChange2 SdkNotifyRouteChange2
#define CancelMibChangeNotify2 SdkCancelMibChangeNotify2
#define GetIpForwardTable2 SdkGetIpForwardTable2
#define FreeMibTable SdkFreeMibTable
#define InitializeIpForwardEntry SdkInitializeIpForwardEntry
#define CreateIpForwardEntry2 SdkCreateIpForwardEntry2
#define DeleteIpForwardEntry2 SdkDeleteIpForwardEntry2
#define GetExtendedTcpTable SdkGetExtendedTcpTable
#include <iphlpapi.h>
#include <netioapi.h>
#undef GetIpForwardTable
#undef CreateIpForwardEntry
#undef DeleteIpForwardEntry
#undef GetIpInterfaceEntry
#undef ConvertInterfaceAliasToLuid
#undef ConvertInterfaceLuidToIndex
#undef NotifyRouteChange2
#undef CancelMibChangeNotify2
#undef GetIpForwardTable2
#undef FreeMibTable
#undef InitializeIpForwardEntry
#undef CreateIpForwardEntry2
#undef DeleteIpForwardEntry2
#undef GetExtendedTcpTable

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// ntdll reads and writes IPv6 text, so the stand-in needs no Winsock (the headers here do not
// declare the pair).
extern "C" LONG NTAPI RtlIpv6StringToAddressA(PCSTR text, PCSTR* terminator, IN6_ADDR* address);
extern "C" PSTR NTAPI RtlIpv6AddressToStringA(const IN6_ADDR* address, PSTR text);

namespace {

HMODULE self = nullptr;

std::wstring Beside(const wchar_t* name) {
    wchar_t path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(self, path, MAX_PATH * 4);
    std::wstring text(path, length);
    return text.substr(0, text.find_last_of(L"\\/") + 1) + name;
}

// The helper and the test read and change the table from two processes.
class TableLock {
  public:
    TableLock() : mutex_(CreateMutexW(nullptr, FALSE, L"Local\\OrvantaRoutingStandIn")) {
        WaitForSingleObject(mutex_, INFINITE);
    }
    ~TableLock() {
        ReleaseMutex(mutex_);
        CloseHandle(mutex_);
    }

  private:
    HANDLE mutex_;
};

DWORD ParseAddress(const std::string& text) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    std::sscanf(text.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d);
    return a | (b << 8) | (c << 16) | (d << 24);  // network byte order in memory
}

std::string Dotted(DWORD address) {
    char text[16];
    std::snprintf(text, sizeof text, "%lu.%lu.%lu.%lu", address & 0xFF, (address >> 8) & 0xFF,
                  (address >> 16) & 0xFF, address >> 24);
    return text;
}

// An interface's LUID: its index as NetLuidIndex, an Ethernet IfType; stable across calls.
constexpr ULONG64 kEthernet = 6;

NET_LUID LuidOf(NET_IFINDEX ifIndex) {
    NET_LUID luid{};
    luid.Info.NetLuidIndex = ifIndex;
    luid.Info.IfType = kEthernet;
    return luid;
}

// The interface a row names: its LUID when one is given, else its index, as Windows reads them.
// A LUID the stand-in never handed out names no interface (0).
NET_IFINDEX NamedInterface(const NET_LUID& luid, NET_IFINDEX index) {
    if (luid.Value == 0) {
        return index;
    }
    const NET_IFINDEX named = static_cast<NET_IFINDEX>(luid.Info.NetLuidIndex);
    return LuidOf(named).Value == luid.Value ? named : 0;
}

std::vector<MIB_IPFORWARDROW> LoadRows(const wchar_t* name) {
    std::vector<MIB_IPFORWARDROW> rows;
    std::ifstream file(Beside(name).c_str());
    std::string dest, mask, nextHop;
    DWORD ifIndex = 0, metric = 0;
    while (file >> dest >> mask >> nextHop >> ifIndex >> metric) {
        MIB_IPFORWARDROW row{};
        row.dwForwardDest = ParseAddress(dest);
        row.dwForwardMask = ParseAddress(mask);
        row.dwForwardNextHop = ParseAddress(nextHop);
        row.dwForwardIfIndex = ifIndex;
        row.dwForwardType =
            row.dwForwardNextHop == 0 ? MIB_IPROUTE_TYPE_DIRECT : MIB_IPROUTE_TYPE_INDIRECT;
        row.dwForwardProto = MIB_IPPROTO_NETMGMT;
        row.dwForwardMetric1 = metric;
        rows.push_back(row);
    }
    return rows;
}

void SaveLiveRows(const std::vector<MIB_IPFORWARDROW>& rows) {
    std::ofstream file(Beside(L"routes-live.txt").c_str(), std::ios::trunc);
    for (const MIB_IPFORWARDROW& row : rows) {
        file << Dotted(row.dwForwardDest) << ' ' << Dotted(row.dwForwardMask) << ' '
             << Dotted(row.dwForwardNextHop) << ' ' << row.dwForwardIfIndex << ' '
             << row.dwForwardMetric1 << '\n';
    }
}

std::vector<MIB_IPFORWARDROW> AllRows() {
    std::vector<MIB_IPFORWARDROW> rows = LoadRows(L"routes-table.txt");
    for (MIB_IPFORWARDROW& row : LoadRows(L"routes-live.txt")) {
        row.dwForwardType = MIB_IPROUTE_TYPE_INDIRECT;
        rows.push_back(row);
    }
    return rows;
}

struct Interface {
    DWORD metric = 0;
    std::wstring alias;
};

std::map<DWORD, Interface> Interfaces() {
    std::map<DWORD, Interface> interfaces;
    std::ifstream file(Beside(L"routes-metrics.txt").c_str());
    std::string line;
    while (std::getline(file, line)) {
        std::istringstream fields(line);
        DWORD ifIndex = 0;
        Interface found;
        std::string alias;
        if (fields >> ifIndex >> found.metric) {
            fields >> alias;
            found.alias.assign(alias.begin(), alias.end());
            interfaces[ifIndex] = found;
        }
    }
    return interfaces;
}

bool IsPrefixMask(DWORD networkOrder) {
    const DWORD mask = (networkOrder >> 24) | ((networkOrder >> 8) & 0xFF00) |
                       ((networkOrder << 8) & 0xFF0000) | (networkOrder << 24);
    return (~mask & (~mask + 1)) == 0;  // the zeros behind the ones form one run to the end
}

bool SameRoute(const MIB_IPFORWARDROW& a, const MIB_IPFORWARDROW& b) {
    return a.dwForwardDest == b.dwForwardDest && a.dwForwardMask == b.dwForwardMask &&
           a.dwForwardNextHop == b.dwForwardNextHop && a.dwForwardIfIndex == b.dwForwardIfIndex;
}

DWORD Journal(const char* call, const MIB_IPFORWARDROW& row, DWORD result) {
    std::ostringstream line;
    line << call << ' ' << Dotted(row.dwForwardDest) << ' ' << Dotted(row.dwForwardMask) << " via "
         << Dotted(row.dwForwardNextHop) << " if=" << row.dwForwardIfIndex
         << " type=" << row.dwForwardType << " proto=" << row.dwForwardProto
         << " metric=" << row.dwForwardMetric1 << ',' << row.dwForwardMetric2 << ','
         << row.dwForwardMetric3 << ',' << row.dwForwardMetric4 << ',' << row.dwForwardMetric5
         << " policy=" << row.dwForwardPolicy << " age=" << row.dwForwardAge
         << " as=" << row.dwForwardNextHopAS << " -> " << result << '\n';
    std::ofstream(Beside(L"routes-journal.txt").c_str(), std::ios::app | std::ios::binary)
        << line.str();
    return result;
}

// What CreateIpForwardEntry answers on Windows for this row.
DWORD CreationVerdict(const MIB_IPFORWARDROW& row) {
    if (row.dwForwardProto != MIB_IPPROTO_NETMGMT || !IsPrefixMask(row.dwForwardMask) ||
        (row.dwForwardDest & ~row.dwForwardMask) != 0) {
        return ERROR_INVALID_PARAMETER;
    }
    const std::map<DWORD, Interface> interfaces = Interfaces();
    const auto found = interfaces.find(row.dwForwardIfIndex);
    if (found == interfaces.end()) {
        return ERROR_INVALID_PARAMETER;
    }
    if (row.dwForwardMetric1 < found->second.metric) {
        return ERROR_BAD_ARGUMENTS;
    }
    for (const MIB_IPFORWARDROW& present : AllRows()) {
        if (SameRoute(present, row)) {
            return ERROR_OBJECT_ALREADY_EXISTS;
        }
    }
    return NO_ERROR;
}

// --- IPv6 routes: MIB_IPFORWARD_ROW2 rows, compared by prefix, next hop and interface.

constexpr ULONG kInfinite = 0xFFFFFFFF;
// What InitializeIpForwardEntry leaves in the members Microsoft calls "set to illegal values".
constexpr UCHAR kUnsetSitePrefixLength = 0xFF;
constexpr ULONG kUnsetMetric = 0xFFFFFFFF;
constexpr NL_ROUTE_PROTOCOL kUnsetProtocol = static_cast<NL_ROUTE_PROTOCOL>(-1);

bool ParseAddress6(const std::string& text, IN6_ADDR& address) {
    PCSTR end = nullptr;
    return RtlIpv6StringToAddressA(text.c_str(), &end, &address) == 0 && *end == '\0';
}

std::string Text6(const IN6_ADDR& address) {
    char text[64];
    RtlIpv6AddressToStringA(&address, text);
    return text;
}

MIB_IPFORWARD_ROW2 MakeRow6(const IN6_ADDR& prefix, UINT8 length, const IN6_ADDR& nextHop,
                            NET_IFINDEX ifIndex, ULONG metric) {
    MIB_IPFORWARD_ROW2 row{};
    row.InterfaceLuid = LuidOf(ifIndex);
    row.InterfaceIndex = ifIndex;
    row.DestinationPrefix.Prefix.Ipv6.sin6_family = AF_INET6;
    row.DestinationPrefix.Prefix.Ipv6.sin6_addr = prefix;
    row.DestinationPrefix.PrefixLength = length;
    row.NextHop.Ipv6.sin6_family = AF_INET6;
    row.NextHop.Ipv6.sin6_addr = nextHop;
    row.ValidLifetime = kInfinite;
    row.PreferredLifetime = kInfinite;
    row.Metric = metric;
    row.Protocol = static_cast<NL_ROUTE_PROTOCOL>(MIB_IPPROTO_NETMGMT);
    return row;
}

// "prefix/length nexthop ifindex metric" lines; a line that does not read so is passed over.
std::vector<MIB_IPFORWARD_ROW2> LoadRows6(const wchar_t* name) {
    std::vector<MIB_IPFORWARD_ROW2> rows;
    std::ifstream file(Beside(name).c_str());
    std::string prefix, nextHop;
    DWORD ifIndex = 0, metric = 0;
    while (file >> prefix >> nextHop >> ifIndex >> metric) {
        const size_t slash = prefix.find('/');
        IN6_ADDR destination{}, via{};
        char* end = nullptr;
        const unsigned long length =
            slash == std::string::npos ? 999 : std::strtoul(prefix.c_str() + slash + 1, &end, 10);
        if (length <= 128 && *end == '\0' && ParseAddress6(prefix.substr(0, slash), destination) &&
            ParseAddress6(nextHop, via)) {
            rows.push_back(MakeRow6(destination, static_cast<UINT8>(length), via, ifIndex, metric));
        }
    }
    return rows;
}

std::vector<MIB_IPFORWARD_ROW2> AllRows6() {
    std::vector<MIB_IPFORWARD_ROW2> rows = LoadRows6(L"routes6-table.txt");
    for (const MIB_IPFORWARD_ROW2& row : LoadRows6(L"routes6-live.txt")) {
        rows.push_back(row);
    }
    return rows;
}

void SaveLiveRows6(const std::vector<MIB_IPFORWARD_ROW2>& rows) {
    std::ofstream file(Beside(L"routes6-live.txt").c_str(), std::ios::trunc);
    for (const MIB_IPFORWARD_ROW2& row : rows) {
        file << Text6(row.DestinationPrefix.Prefix.Ipv6.sin6_addr) << '/'
             << unsigned{row.DestinationPrefix.PrefixLength} << ' '
             << Text6(row.NextHop.Ipv6.sin6_addr) << ' ' << row.InterfaceIndex << ' ' << row.Metric
             << '\n';
    }
}

// "ifindex metric" lines: the interfaces with IPv6 and their metrics.
std::map<DWORD, DWORD> Interfaces6() {
    std::map<DWORD, DWORD> interfaces;
    std::ifstream file(Beside(L"routes6-metrics.txt").c_str());
    DWORD ifIndex = 0, metric = 0;
    while (file >> ifIndex >> metric) {
        interfaces[ifIndex] = metric;
    }
    return interfaces;
}

std::map<DWORD, DWORD> InterfaceMetrics(ADDRESS_FAMILY family) {
    if (family == AF_INET6) {
        return Interfaces6();
    }
    std::map<DWORD, DWORD> metrics;
    for (const auto& [ifIndex, found] : Interfaces()) {
        metrics[ifIndex] = found.metric;
    }
    return metrics;
}

bool SameRoute6(const MIB_IPFORWARD_ROW2& a, const MIB_IPFORWARD_ROW2& b) {
    return std::memcmp(&a.DestinationPrefix.Prefix.Ipv6.sin6_addr,
                       &b.DestinationPrefix.Prefix.Ipv6.sin6_addr, sizeof(IN6_ADDR)) == 0 &&
           a.DestinationPrefix.PrefixLength == b.DestinationPrefix.PrefixLength &&
           std::memcmp(&a.NextHop.Ipv6.sin6_addr, &b.NextHop.Ipv6.sin6_addr, sizeof(IN6_ADDR)) ==
               0 &&
           a.InterfaceIndex == b.InterfaceIndex;
}

// The row as the table would hold it: the interface it names, resolved to an index.
MIB_IPFORWARD_ROW2 Resolved6(const MIB_IPFORWARD_ROW2& row) {
    return MakeRow6(row.DestinationPrefix.Prefix.Ipv6.sin6_addr, row.DestinationPrefix.PrefixLength,
                    row.NextHop.Ipv6.sin6_addr,
                    NamedInterface(row.InterfaceLuid, row.InterfaceIndex), row.Metric);
}

// A row both DeleteIpForwardEntry2 and CreateIpForwardEntry2 can read: an IPv6 prefix and next
// hop, and an interface named by LUID or index.
bool NamesIpv6Route(const MIB_IPFORWARD_ROW2& row) {
    return row.DestinationPrefix.Prefix.si_family == AF_INET6 &&
           row.NextHop.si_family == AF_INET6 &&
           (row.InterfaceLuid.Value != 0 || row.InterfaceIndex != 0);
}

bool HostBitsClear(const IN6_ADDR& prefix, unsigned length) {
    for (unsigned bit = length; bit < 128; ++bit) {
        if (prefix.s6_addr[bit / 8] & (0x80 >> (bit % 8))) {
            return false;
        }
    }
    return true;
}

// What CreateIpForwardEntry2 answers on Windows for this row. The stand-in also refuses the
// members InitializeIpForwardEntry leaves illegal (metric, protocol; the site prefix length by
// the documented rule that it may not exceed the prefix length) and any protocol but NETMGMT,
// so the helper cannot come to rely on a default.
DWORD CreationVerdict6(const MIB_IPFORWARD_ROW2& row, bool interfaceExists) {
    const UINT8 length = row.DestinationPrefix.PrefixLength;
    if (!NamesIpv6Route(row) || length > 128 ||
        !HostBitsClear(row.DestinationPrefix.Prefix.Ipv6.sin6_addr, length) ||
        row.PreferredLifetime > row.ValidLifetime || row.SitePrefixLength > length ||
        row.Metric == kUnsetMetric || row.Protocol != MIB_IPPROTO_NETMGMT) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!interfaceExists) {
        return ERROR_NOT_FOUND;
    }
    const MIB_IPFORWARD_ROW2 resolved = Resolved6(row);
    for (const MIB_IPFORWARD_ROW2& present : AllRows6()) {
        if (SameRoute6(present, resolved)) {
            return ERROR_OBJECT_ALREADY_EXISTS;
        }
    }
    return NO_ERROR;
}

// One journal line; "effective" is the interface's metric plus the row's, where known.
DWORD Journal6(const char* call, const MIB_IPFORWARD_ROW2* row, const std::string& effective,
               DWORD result) {
    std::ostringstream line;
    line << call;
    if (row == nullptr) {
        line << " (null)";
    } else {
        line << ' ' << Text6(row->DestinationPrefix.Prefix.Ipv6.sin6_addr) << '/'
             << unsigned{row->DestinationPrefix.PrefixLength} << " via "
             << Text6(row->NextHop.Ipv6.sin6_addr)
             << " af=" << row->DestinationPrefix.Prefix.si_family << ',' << row->NextHop.si_family
             << " if=" << row->InterfaceIndex << " luid=0x" << std::hex << row->InterfaceLuid.Value
             << std::dec << " proto=" << row->Protocol << " metric=" << row->Metric
             << " effective=" << effective << " site=" << unsigned{row->SitePrefixLength}
             << " valid=" << row->ValidLifetime << " preferred=" << row->PreferredLifetime
             << " loopback=" << int{row->Loopback} << " autoconf=" << int{row->AutoconfigureAddress}
             << " publish=" << int{row->Publish} << " immortal=" << int{row->Immortal}
             << " origin=" << row->Origin;
    }
    line << " -> " << result << '\n';
    std::ofstream(Beside(L"routes6-journal.txt").c_str(), std::ios::app | std::ios::binary)
        << line.str();
    return result;
}

struct Tables {
    std::vector<MIB_IPFORWARDROW> ipv4;
    std::vector<MIB_IPFORWARD_ROW2> ipv6;
};

// One NotifyRouteChange2 registration: a thread that compares the tables of its family every
// 20 ms with what it saw last and reports each row added or deleted, as Windows reports every
// route change.
struct Watch {
    ADDRESS_FAMILY family;  // AF_INET, AF_INET6 or AF_UNSPEC for both
    PIPFORWARD_CHANGE_CALLBACK callback;
    void* context;
    HANDLE stop;  // a cancel ends the wait at once, as on Windows
    Tables seen;  // taken before the registration returns: no later change goes unreported
    std::thread thread;
};

Tables Snapshot(ADDRESS_FAMILY family) {
    TableLock lock;
    Tables tables;
    if (family != AF_INET6) {
        tables.ipv4 = AllRows();
    }
    if (family != AF_INET) {
        tables.ipv6 = AllRows6();
    }
    return tables;
}

void Report(Watch& watch, const MIB_IPFORWARDROW& row, MIB_NOTIFICATION_TYPE type) {
    MIB_IPFORWARD_ROW2 changed{};
    changed.DestinationPrefix.Prefix.Ipv4.sin_family = AF_INET;
    changed.DestinationPrefix.Prefix.Ipv4.sin_addr.s_addr = row.dwForwardDest;
    changed.DestinationPrefix.PrefixLength =
        static_cast<UINT8>(__builtin_popcount(row.dwForwardMask));
    changed.NextHop.Ipv4.sin_family = AF_INET;
    changed.NextHop.Ipv4.sin_addr.s_addr = row.dwForwardNextHop;
    changed.InterfaceIndex = row.dwForwardIfIndex;
    changed.InterfaceLuid = LuidOf(row.dwForwardIfIndex);
    changed.Metric = row.dwForwardMetric1;
    watch.callback(watch.context, &changed, type);
}

void Report(Watch& watch, const MIB_IPFORWARD_ROW2& row, MIB_NOTIFICATION_TYPE type) {
    MIB_IPFORWARD_ROW2 changed = row;
    watch.callback(watch.context, &changed, type);
}

bool Holds(const std::vector<MIB_IPFORWARDROW>& rows, const MIB_IPFORWARDROW& row) {
    for (const MIB_IPFORWARDROW& present : rows) {
        if (SameRoute(present, row) && present.dwForwardMetric1 == row.dwForwardMetric1) {
            return true;
        }
    }
    return false;
}

bool Holds(const std::vector<MIB_IPFORWARD_ROW2>& rows, const MIB_IPFORWARD_ROW2& row) {
    for (const MIB_IPFORWARD_ROW2& present : rows) {
        if (SameRoute6(present, row) && present.Metric == row.Metric) {
            return true;
        }
    }
    return false;
}

template <typename Row>
void ReportDifferences(Watch& watch, const std::vector<Row>& seen, const std::vector<Row>& now) {
    for (const Row& row : seen) {
        if (!Holds(now, row)) {
            Report(watch, row, MibDeleteInstance);
        }
    }
    for (const Row& row : now) {
        if (!Holds(seen, row)) {
            Report(watch, row, MibAddInstance);
        }
    }
}

void WatchTable(Watch* watch) {
    while (WaitForSingleObject(watch->stop, 20) == WAIT_TIMEOUT) {
        Tables now = Snapshot(watch->family);
        ReportDifferences(*watch, watch->seen.ipv4, now.ipv4);
        ReportDifferences(*watch, watch->seen.ipv6, now.ipv6);
        watch->seen = std::move(now);
    }
}

// --- TCP connections, as GetExtendedTcpTable's TCP_TABLE_OWNER_PID_CONNECTIONS gives them.

DWORD NetworkPort(DWORD port) {
    return ((port & 0xFF) << 8) | ((port >> 8) & 0xFF);
}

// The local end of the n-th connection: loopback, a port one above the last row's, so the file's
// order is also the order bOrder asks for (local address, then local port).
DWORD LocalPort(size_t n) {
    return NetworkPort(static_cast<DWORD>(49152 + n % 16384));
}

struct Connections {
    std::vector<MIB_TCPROW_OWNER_PID> ipv4;
    std::vector<MIB_TCP6ROW_OWNER_PID> ipv6;
};

// "remote-address remote-port state pid" lines; a line that does not read so is passed over.
Connections LoadConnections() {
    Connections connections;
    std::ifstream file(Beside(L"tcp-table.txt").c_str());
    std::string address;
    DWORD port = 0, state = 0, pid = 0;
    while (file >> address >> port >> state >> pid) {
        IN6_ADDR remote{};
        if (address.find(':') == std::string::npos) {
            MIB_TCPROW_OWNER_PID row{};
            row.dwState = state;
            row.dwLocalAddr = ParseAddress("127.0.0.1");
            row.dwLocalPort = LocalPort(connections.ipv4.size());
            row.dwRemoteAddr = ParseAddress(address);
            row.dwRemotePort = NetworkPort(port);
            row.dwOwningPid = pid;
            connections.ipv4.push_back(row);
        } else if (ParseAddress6(address, remote)) {
            MIB_TCP6ROW_OWNER_PID row{};
            row.ucLocalAddr[15] = 1;  // ::1
            row.dwLocalPort = LocalPort(connections.ipv6.size());
            std::memcpy(row.ucRemoteAddr, &remote, sizeof row.ucRemoteAddr);
            row.dwRemotePort = NetworkPort(port);
            row.dwState = state;
            row.dwOwningPid = pid;
            connections.ipv6.push_back(row);
        }
    }
    return connections;
}

// Fills a MIB_TCPTABLE_OWNER_PID or MIB_TCP6TABLE_OWNER_PID, or says how large one must be.
template <typename Table, typename Row>
DWORD HandOut(const std::vector<Row>& rows, void* buffer, DWORD* size) {
    const size_t needed =
        std::max(sizeof(Table), offsetof(Table, table) + rows.size() * sizeof(Row));
    if (buffer == nullptr || *size < needed) {
        *size = static_cast<DWORD>(needed);
        return ERROR_INSUFFICIENT_BUFFER;
    }
    static_cast<Table*>(buffer)->dwNumEntries = static_cast<DWORD>(rows.size());
    if (!rows.empty()) {
        std::memcpy(static_cast<char*>(buffer) + offsetof(Table, table), rows.data(),
                    rows.size() * sizeof(Row));
    }
    return NO_ERROR;
}

}  // namespace

extern "C" {

__declspec(dllexport) DWORD WINAPI
    GetIpForwardTable(PMIB_IPFORWARDTABLE buffer, PULONG size, BOOL) {
    if (size == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const std::vector<MIB_IPFORWARDROW> rows = Snapshot(AF_INET).ipv4;
    const ULONG needed = sizeof(MIB_IPFORWARDTABLE) + rows.size() * sizeof(MIB_IPFORWARDROW);
    if (buffer == nullptr || *size < needed) {
        *size = needed;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    buffer->dwNumEntries = static_cast<DWORD>(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        buffer->table[i] = rows[i];
    }
    return NO_ERROR;
}

__declspec(dllexport) DWORD WINAPI CreateIpForwardEntry(PMIB_IPFORWARDROW row) {
    TableLock lock;
    const DWORD verdict = CreationVerdict(*row);
    if (verdict == NO_ERROR) {
        std::vector<MIB_IPFORWARDROW> live = LoadRows(L"routes-live.txt");
        live.push_back(*row);
        SaveLiveRows(live);
    }
    return Journal("create", *row, verdict);
}

__declspec(dllexport) DWORD WINAPI DeleteIpForwardEntry(PMIB_IPFORWARDROW row) {
    TableLock lock;
    std::vector<MIB_IPFORWARDROW> live = LoadRows(L"routes-live.txt");
    for (auto it = live.begin(); it != live.end(); ++it) {
        if (SameRoute(*it, *row)) {
            live.erase(it);
            SaveLiveRows(live);
            return Journal("delete", *row, NO_ERROR);
        }
    }
    return Journal("delete", *row, ERROR_NOT_FOUND);
}

__declspec(dllexport) DWORD WINAPI GetIpInterfaceEntry(PMIB_IPINTERFACE_ROW row) {
    if (row == nullptr || (row->Family != AF_INET && row->Family != AF_INET6)) {
        return ERROR_INVALID_PARAMETER;
    }
    const NET_IFINDEX ifIndex = NamedInterface(row->InterfaceLuid, row->InterfaceIndex);
    const std::map<DWORD, DWORD> metrics = InterfaceMetrics(row->Family);
    const auto found = metrics.find(ifIndex);
    if (found == metrics.end()) {
        return ERROR_NOT_FOUND;  // for AF_INET6: an interface without IPv6
    }
    row->InterfaceLuid = LuidOf(ifIndex);
    row->InterfaceIndex = ifIndex;
    row->Metric = found->second;
    return NO_ERROR;
}

__declspec(dllexport) DWORD WINAPI ConvertInterfaceAliasToLuid(const WCHAR* alias, NET_LUID* luid) {
    if (alias == nullptr || luid == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    for (const auto& [ifIndex, found] : Interfaces()) {
        if (!found.alias.empty() && found.alias == alias) {
            *luid = LuidOf(ifIndex);
            return NO_ERROR;
        }
    }
    return ERROR_INVALID_PARAMETER;
}

__declspec(dllexport) DWORD WINAPI
    ConvertInterfaceLuidToIndex(const NET_LUID* luid, NET_IFINDEX* index) {
    if (luid == nullptr || index == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    *index = NamedInterface(*luid, 0);
    return *index != 0 ? NO_ERROR : ERROR_FILE_NOT_FOUND;
}

__declspec(dllexport) DWORD WINAPI
    NotifyRouteChange2(ADDRESS_FAMILY family, PIPFORWARD_CHANGE_CALLBACK callback, PVOID context,
                       BOOLEAN initial, HANDLE* handle) {
    if (callback == nullptr || handle == nullptr ||
        (family != AF_INET && family != AF_INET6 && family != AF_UNSPEC)) {
        return ERROR_INVALID_PARAMETER;
    }
    auto* watch = new Watch();
    watch->family = family;
    watch->seen = Snapshot(family);
    watch->callback = callback;
    watch->context = context;
    watch->stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (initial) {
        callback(context, nullptr, MibInitialNotification);
    }
    watch->thread = std::thread(WatchTable, watch);
    *handle = watch;
    return NO_ERROR;
}

__declspec(dllexport) DWORD WINAPI CancelMibChangeNotify2(HANDLE handle) {
    if (handle == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    auto* watch = static_cast<Watch*>(handle);
    SetEvent(watch->stop);
    watch->thread.join();  // a report that is running has ended, as on Windows
    CloseHandle(watch->stop);
    delete watch;
    return NO_ERROR;
}

__declspec(dllexport) DWORD WINAPI
    GetIpForwardTable2(ADDRESS_FAMILY family, PMIB_IPFORWARD_TABLE2* table) {
    if (table == nullptr || (family != AF_INET && family != AF_INET6 && family != AF_UNSPEC)) {
        return ERROR_INVALID_PARAMETER;
    }
    *table = nullptr;
    if (family != AF_INET6) {
        return ERROR_NOT_SUPPORTED;  // IPv4 is served through GetIpForwardTable
    }
    const std::vector<MIB_IPFORWARD_ROW2> rows = Snapshot(AF_INET6).ipv6;
    if (rows.empty()) {
        return ERROR_NOT_FOUND;  // documented: no entries of the family were found
    }
    const size_t bytes = offsetof(MIB_IPFORWARD_TABLE2, Table) + rows.size() * sizeof(rows[0]);
    auto* made = static_cast<PMIB_IPFORWARD_TABLE2>(HeapAlloc(GetProcessHeap(), 0, bytes));
    if (made == nullptr) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    made->NumEntries = static_cast<ULONG>(rows.size());
    std::memcpy(reinterpret_cast<char*>(made) + offsetof(MIB_IPFORWARD_TABLE2, Table), rows.data(),
                rows.size() * sizeof(rows[0]));
    *table = made;
    return NO_ERROR;
}

__declspec(dllexport) VOID WINAPI FreeMibTable(PVOID memory) {
    if (memory != nullptr) {
        HeapFree(GetProcessHeap(), 0, memory);
    }
}

__declspec(dllexport) VOID WINAPI InitializeIpForwardEntry(PMIB_IPFORWARD_ROW2 row) {
    *row = {};
    row->ValidLifetime = kInfinite;
    row->PreferredLifetime = kInfinite;
    row->Loopback = TRUE;
    row->AutoconfigureAddress = TRUE;
    row->Publish = TRUE;
    row->Immortal = TRUE;
    row->SitePrefixLength = kUnsetSitePrefixLength;
    row->Metric = kUnsetMetric;
    row->Protocol = kUnsetProtocol;
}

__declspec(dllexport) DWORD WINAPI CreateIpForwardEntry2(const MIB_IPFORWARD_ROW2* row) {
    if (row == nullptr) {
        return Journal6("create6", row, "-", ERROR_INVALID_PARAMETER);
    }
    TableLock lock;
    const std::map<DWORD, DWORD> interfaces = Interfaces6();
    const auto found = interfaces.find(NamedInterface(row->InterfaceLuid, row->InterfaceIndex));
    const bool exists = found != interfaces.end();
    const DWORD verdict = CreationVerdict6(*row, exists);
    if (verdict == NO_ERROR) {
        std::vector<MIB_IPFORWARD_ROW2> live = LoadRows6(L"routes6-live.txt");
        live.push_back(Resolved6(*row));
        SaveLiveRows6(live);
    }
    const std::string effective =
        exists ? std::to_string(ULONG64{found->second} + row->Metric) : "-";
    return Journal6("create6", row, effective, verdict);
}

// Deletes a row made with CreateIpForwardEntry2. The system's rows (routes6-table.txt, which the
// test owns) answer ERROR_NOT_FOUND, where Windows would delete them: the helper deletes only
// routes it made.
__declspec(dllexport) DWORD WINAPI DeleteIpForwardEntry2(const MIB_IPFORWARD_ROW2* row) {
    if (row == nullptr || !NamesIpv6Route(*row)) {
        return Journal6("delete6", row, "-", ERROR_INVALID_PARAMETER);
    }
    TableLock lock;
    const NET_IFINDEX ifIndex = NamedInterface(row->InterfaceLuid, row->InterfaceIndex);
    if (Interfaces6().count(ifIndex) == 0) {
        return Journal6("delete6", row, "-", ERROR_NOT_FOUND);
    }
    std::vector<MIB_IPFORWARD_ROW2> live = LoadRows6(L"routes6-live.txt");
    for (auto it = live.begin(); it != live.end(); ++it) {
        if (SameRoute6(*it, Resolved6(*row))) {
            live.erase(it);
            SaveLiveRows6(live);
            return Journal6("delete6", row, "-", NO_ERROR);
        }
    }
    return Journal6("delete6", row, "-", ERROR_NOT_FOUND);
}

// Serves TCP_TABLE_OWNER_PID_CONNECTIONS only; the other classes of the enumeration answer
// ERROR_NOT_SUPPORTED, values outside it ERROR_INVALID_PARAMETER as documented.
__declspec(dllexport) DWORD WINAPI GetExtendedTcpTable(PVOID table, PDWORD size, BOOL, ULONG family,
                                                       TCP_TABLE_CLASS tableClass, ULONG reserved) {
    if (size == nullptr || reserved != 0 || (family != AF_INET && family != AF_INET6) ||
        tableClass < TCP_TABLE_BASIC_LISTENER || tableClass > TCP_TABLE_OWNER_MODULE_ALL) {
        return ERROR_INVALID_PARAMETER;
    }
    if (tableClass != TCP_TABLE_OWNER_PID_CONNECTIONS) {
        return ERROR_NOT_SUPPORTED;
    }
    std::ifstream error(Beside(L"tcp-error.txt").c_str());
    if (error) {
        DWORD code = ERROR_GEN_FAILURE;
        error >> code;
        return code;
    }
    const Connections connections = LoadConnections();
    if (family == AF_INET) {
        return HandOut<MIB_TCPTABLE_OWNER_PID>(connections.ipv4, table, size);
    }
    return HandOut<MIB_TCP6TABLE_OWNER_PID>(connections.ipv6, table, size);
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) {
        self = instance;
    }
    return TRUE;
}

}  // extern "C"
