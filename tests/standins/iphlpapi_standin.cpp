// Stand-in for iphlpapi.dll: IPv4 and IPv6 routing tables that live across processes, refuse
// what Windows refuses, forget the routes made through them at a "reboot" and report changes as
// NotifyRouteChange2 does, and a TCP connection table. Files beside the DLL, all read again on
// every call:
//   routes-table.txt     the system's IPv4 rows, "dest mask nexthop ifindex metric" a line (a
//                        next hop of 0.0.0.0 makes an on-link row); rewrite it to move the
//                        machine to another network
//   routes-live.txt      the rows made with CreateIpForwardEntry or CreateIpForwardEntry2, with
//                        the interface's metric at creation as a sixth field (the row's own
//                        metric is the fifth less the sixth, as Windows keeps it; a system row
//                        has the interface's current one); delete it for a reboot
//   routes-metrics.txt   "ifindex metric [alias]" a line: the interfaces that exist
//   routes-journal.txt   every create and delete, field by field, with its result (create2 and
//                        delete2 lines as the IPv6 journal's)
//   routes6-table.txt    the system's IPv6 rows, "prefix/length nexthop ifindex metric" a line
//                        (a next hop of :: makes an on-link row; the metric is the route's own,
//                        added to the interface's)
//   routes6-live.txt     the rows made with CreateIpForwardEntry2, same format; delete it for a
//                        reboot (Windows keeps no route made through the API across one)
//   routes6-metrics.txt  "ifindex metric" a line: the interfaces that have IPv6
//   routes6-journal.txt  "create6 prefix/length via nexthop if=index luid=0xLUID proto=P
//                        metric=M effective=E -> result" and the same for delete6: the index the
//                        row names, its LUID as given, E the interface's metric plus M or "-"
//   addresses-table.txt  the unicast addresses, "address/length ifindex [dadstate]" a line (an
//                        address with ':' is IPv6; the state 4, preferred, when not given)
//   tcp-table.txt        "remote-address remote-port state pid [local-address local-port]" a
//                        line; an address with ':' is an IPv6 endpoint, a dotted one an IPv4
//                        one; state 2 is a listener (local address zero: every interface);
//                        without a local end, 127.0.0.1 or ::1 and port 49152 plus the line's
//                        index
//   tcp-error.txt        when present, GetExtendedTcpTable answers the number in it
// Interfaces are known by index; an interface's LUID is derived from it (see LuidOf).
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

// The SDK declares the exports as imports; the stand-in defines them.
#define IPHLPAPI_DLL_LINKAGE
#include <iphlpapi.h>
#include <netioapi.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

// ntdll reads and writes IPv6 text, so the stand-in needs no Winsock.
extern "C" LONG NTAPI RtlIpv6StringToAddressA(PCSTR text, PCSTR* terminator, IN6_ADDR* address);
extern "C" PSTR NTAPI RtlIpv6AddressToStringA(const IN6_ADDR* address, PSTR text);
extern "C" IMAGE_DOS_HEADER __ImageBase;  // this DLL's own module

namespace {

std::wstring Beside(const wchar_t* name) {
    wchar_t path[MAX_PATH * 4];
    const DWORD length =
        GetModuleFileNameW(reinterpret_cast<HMODULE>(&__ImageBase), path, MAX_PATH * 4);
    std::wstring text(path, length);
    return text.substr(0, text.find_last_of(L"\\/") + 1) + name;
}

// The helper and the test read and change the tables from two processes. A thread that holds
// the mutex may take it again, so a reader locks whether or not its caller has.
struct TableLock {
    HANDLE mutex = CreateMutexW(nullptr, FALSE, L"Local\\OrvantaRoutingStandIn");
    TableLock() { WaitForSingleObject(mutex, INFINITE); }
    ~TableLock() {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
};

// Hands each line of a file beside the DLL to `read`, as a stream of its fields.
template <typename Read>
void ForEachLine(const wchar_t* name, Read read) {
    std::ifstream file(Beside(name).c_str());
    for (std::string line; std::getline(file, line);) {
        std::istringstream fields(line);
        read(fields);
    }
}

// A row made through the API is kept as a line in the text of the table files, and found again
// by that text without its metric.
void AddLive(const wchar_t* name, const std::string& line) {
    std::ofstream(Beside(name).c_str(), std::ios::app) << line << '\n';
}

bool RemoveLive(const wchar_t* name, const std::string& route) {
    std::string kept;
    bool found = false;
    ForEachLine(name, [&](std::istringstream& fields) {
        const bool match = !found && fields.str().rfind(route + ' ', 0) == 0;
        kept += match ? "" : fields.str() + '\n';
        found = found || match;
    });
    if (found) {
        std::ofstream(Beside(name).c_str(), std::ios::trunc) << kept;
    }
    return found;
}

DWORD Journal(const wchar_t* name, const std::ostringstream& line, DWORD result) {
    std::ofstream(Beside(name).c_str(), std::ios::app | std::ios::binary)
        << line.str() << " -> " << result << '\n';
    return result;
}

// "ifindex metric ..." lines: the interfaces of a family and their metrics.
std::map<DWORD, DWORD> Metrics(const wchar_t* name) {
    std::map<DWORD, DWORD> metrics;
    ForEachLine(name, [&](std::istringstream& fields) {
        DWORD ifIndex = 0, metric = 0;
        if (fields >> ifIndex >> metric) {
            metrics[ifIndex] = metric;
        }
    });
    return metrics;
}

// An interface's LUID: its index as NetLuidIndex, an Ethernet IfType; stable across calls.
NET_LUID LuidOf(NET_IFINDEX ifIndex) {
    NET_LUID luid{};
    luid.Info.NetLuidIndex = ifIndex;
    luid.Info.IfType = IF_TYPE_ETHERNET_CSMACD;
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

bool ParseAddress6(const std::string& text, IN6_ADDR& address) {
    PCSTR end = nullptr;
    return RtlIpv6StringToAddressA(text.c_str(), &end, &address) == 0 && *end == '\0';
}

std::string Text(const SOCKADDR_INET& address) {
    char text[64];
    RtlIpv6AddressToStringA(&address.Ipv6.sin6_addr, text);
    return address.si_family == AF_INET6 ? text : Dotted(address.Ipv4.sin_addr.s_addr);
}

// --- Routes of either family as MIB_IPFORWARD_ROW2 carries them.

constexpr ULONG kInfinite = 0xFFFFFFFF;

MIB_IPFORWARD_ROW2 Row2(ADDRESS_FAMILY family, unsigned length, NET_IFINDEX ifIndex, ULONG metric) {
    MIB_IPFORWARD_ROW2 row{};
    row.InterfaceLuid = LuidOf(ifIndex);
    row.InterfaceIndex = ifIndex;
    row.DestinationPrefix.Prefix.si_family = row.NextHop.si_family = family;
    row.DestinationPrefix.PrefixLength = static_cast<UINT8>(length);
    row.ValidLifetime = row.PreferredLifetime = kInfinite;
    row.Metric = metric;
    row.Protocol = static_cast<NL_ROUTE_PROTOCOL>(MIB_IPPROTO_NETMGMT);
    return row;
}

// "prefix/length nexthop ifindex": a route as the IPv6 files write it, without its metric, under
// the interface the row names.
std::string RouteText(const MIB_IPFORWARD_ROW2& row) {
    return Text(row.DestinationPrefix.Prefix) + '/' +
           std::to_string(row.DestinationPrefix.PrefixLength) + ' ' + Text(row.NextHop) + ' ' +
           std::to_string(NamedInterface(row.InterfaceLuid, row.InterfaceIndex));
}

std::string RowText(const MIB_IPFORWARD_ROW2& row) {
    return RouteText(row) + ' ' + std::to_string(row.Metric);
}

// "dest mask nexthop ifindex": a route as the IPv4 files write it, without its metric.
std::string RouteText(const MIB_IPFORWARDROW& row) {
    return Dotted(row.dwForwardDest) + ' ' + Dotted(row.dwForwardMask) + ' ' +
           Dotted(row.dwForwardNextHop) + ' ' + std::to_string(row.dwForwardIfIndex);
}

template <typename Row>
bool HoldsRoute(const std::vector<Row>& rows, const Row& row) {
    return std::any_of(rows.begin(), rows.end(),
                       [&](const Row& present) { return RouteText(present) == RouteText(row); });
}

// --- IPv4 routes, served through GetIpForwardTable as MIB_IPFORWARDROW.

// The rows, and for each its own metric when `ownMetrics` is given: dwForwardMetric1 less the
// interface's metric at the row's creation.
std::vector<MIB_IPFORWARDROW> AllRows(std::vector<ULONG>* ownMetrics = nullptr) {
    TableLock lock;
    const std::map<DWORD, DWORD> metrics = Metrics(L"routes-metrics.txt");
    std::vector<MIB_IPFORWARDROW> rows;
    for (const wchar_t* name : {L"routes-table.txt", L"routes-live.txt"}) {
        const bool live = std::wcscmp(name, L"routes-live.txt") == 0;
        ForEachLine(name, [&](std::istringstream& fields) {
            std::string dest, mask, nextHop;
            MIB_IPFORWARDROW row{};
            if (fields >> dest >> mask >> nextHop >> row.dwForwardIfIndex >> row.dwForwardMetric1) {
                row.dwForwardDest = ParseAddress(dest);
                row.dwForwardMask = ParseAddress(mask);
                row.dwForwardNextHop = ParseAddress(nextHop);
                const bool onLink = row.dwForwardNextHop == 0 && !live;
                row.dwForwardType = onLink ? MIB_IPROUTE_TYPE_DIRECT : MIB_IPROUTE_TYPE_INDIRECT;
                row.dwForwardProto = MIB_IPPROTO_NETMGMT;
                rows.push_back(row);
                const auto now = metrics.find(row.dwForwardIfIndex);
                DWORD atCreation = 0;
                if (!(fields >> atCreation)) {
                    atCreation = now == metrics.end() ? 0 : now->second;
                }
                if (ownMetrics != nullptr) {
                    ownMetrics->push_back(row.dwForwardMetric1 -
                                          std::min(atCreation, row.dwForwardMetric1));
                }
            }
        });
    }
    return rows;
}

MIB_IPFORWARD_ROW2 Row2Of(const MIB_IPFORWARDROW& row, ULONG ownMetric) {
    MIB_IPFORWARD_ROW2 changed =
        Row2(AF_INET, __builtin_popcount(row.dwForwardMask), row.dwForwardIfIndex, ownMetric);
    changed.DestinationPrefix.Prefix.Ipv4.sin_addr.s_addr = row.dwForwardDest;
    changed.NextHop.Ipv4.sin_addr.s_addr = row.dwForwardNextHop;
    return changed;
}

// A row-2 IPv4 row as the legacy files and calls name it, under the interface the row names.
MIB_IPFORWARDROW LegacyOf(const MIB_IPFORWARD_ROW2& row) {
    const unsigned length = row.DestinationPrefix.PrefixLength;
    MIB_IPFORWARDROW legacy{};
    legacy.dwForwardDest = row.DestinationPrefix.Prefix.Ipv4.sin_addr.s_addr;
    legacy.dwForwardMask = __builtin_bswap32(length == 0 ? 0 : ~0u << (32 - std::min(length, 32u)));
    legacy.dwForwardNextHop = row.NextHop.Ipv4.sin_addr.s_addr;
    legacy.dwForwardIfIndex = NamedInterface(row.InterfaceLuid, row.InterfaceIndex);
    return legacy;
}

bool IsPrefixMask(DWORD networkOrder) {
    const DWORD mask = __builtin_bswap32(networkOrder);
    return (~mask & (~mask + 1)) == 0;  // the zeros behind the ones form one run to the end
}

DWORD Journal4(const char* call, const MIB_IPFORWARDROW& row, DWORD result) {
    std::ostringstream line;
    line << call << ' ' << Dotted(row.dwForwardDest) << ' ' << Dotted(row.dwForwardMask) << " via "
         << Dotted(row.dwForwardNextHop) << " if=" << row.dwForwardIfIndex
         << " type=" << row.dwForwardType << " proto=" << row.dwForwardProto
         << " metric=" << row.dwForwardMetric1 << ',' << row.dwForwardMetric2 << ','
         << row.dwForwardMetric3 << ',' << row.dwForwardMetric4 << ',' << row.dwForwardMetric5
         << " policy=" << row.dwForwardPolicy << " age=" << row.dwForwardAge
         << " as=" << row.dwForwardNextHopAS;
    return Journal(L"routes-journal.txt", line, result);
}

// What CreateIpForwardEntry answers on Windows for this row.
DWORD CreationVerdict(const MIB_IPFORWARDROW& row) {
    const std::map<DWORD, DWORD> metrics = Metrics(L"routes-metrics.txt");
    const auto found = metrics.find(row.dwForwardIfIndex);
    if (row.dwForwardProto != MIB_IPPROTO_NETMGMT || !IsPrefixMask(row.dwForwardMask) ||
        (row.dwForwardDest & ~row.dwForwardMask) != 0 || found == metrics.end()) {
        return ERROR_INVALID_PARAMETER;
    }
    if (row.dwForwardMetric1 < found->second) {
        return ERROR_BAD_ARGUMENTS;
    }
    return HoldsRoute(AllRows(), row) ? ERROR_OBJECT_ALREADY_EXISTS : NO_ERROR;
}

// --- IPv6 routes.

// What InitializeIpForwardEntry leaves in a member Microsoft calls "set to illegal values".
constexpr ULONG kUnsetMetric = 0xFFFFFFFF;

std::vector<MIB_IPFORWARD_ROW2> AllRows6() {
    TableLock lock;
    std::vector<MIB_IPFORWARD_ROW2> rows;
    for (const wchar_t* name : {L"routes6-table.txt", L"routes6-live.txt"}) {
        ForEachLine(name, [&](std::istringstream& fields) {
            std::string prefix, nextHop;
            unsigned length = 0;
            DWORD ifIndex = 0, metric = 0;
            std::getline(fields >> std::ws, prefix, '/') >> length >> nextHop >> ifIndex >> metric;
            MIB_IPFORWARD_ROW2 row = Row2(AF_INET6, length, ifIndex, metric);
            if (fields && ParseAddress6(prefix, row.DestinationPrefix.Prefix.Ipv6.sin6_addr) &&
                ParseAddress6(nextHop, row.NextHop.Ipv6.sin6_addr)) {
                rows.push_back(row);
            }
        });
    }
    return rows;
}

// A row both DeleteIpForwardEntry2 and CreateIpForwardEntry2 can read: a prefix and next hop of
// one family, and an interface named by LUID or index.
bool NamesRoute(const MIB_IPFORWARD_ROW2& row) {
    const ADDRESS_FAMILY family = row.DestinationPrefix.Prefix.si_family;
    return (family == AF_INET || family == AF_INET6) && row.NextHop.si_family == family &&
           (row.InterfaceLuid.Value != 0 || row.InterfaceIndex != 0);
}

bool IsIpv4(const MIB_IPFORWARD_ROW2& row) {
    return row.DestinationPrefix.Prefix.si_family == AF_INET;
}

// The prefix fits its family and has no bit set behind its length.
bool PrefixFits(const SOCKADDR_INET& prefix, unsigned length) {
    const bool ipv4 = prefix.si_family == AF_INET;
    const auto* bytes = ipv4 ? reinterpret_cast<const UCHAR*>(&prefix.Ipv4.sin_addr)
                             : prefix.Ipv6.sin6_addr.s6_addr;
    const unsigned bits = ipv4 ? 32 : 128;
    unsigned bit = length;
    while (bit < bits && (bytes[bit / 8] & (0x80 >> (bit % 8))) == 0) {
        ++bit;
    }
    return length <= bits && bit >= bits;
}

bool HoldsRoute2(const MIB_IPFORWARD_ROW2& row) {
    return IsIpv4(row) ? HoldsRoute(AllRows(), LegacyOf(row)) : HoldsRoute(AllRows6(), row);
}

// What CreateIpForwardEntry2 answers on Windows for a row of either family: the same rules for
// both, an interface without the family's stack not found, a metric added to the interface's and
// never refused for it. The stand-in also refuses the members InitializeIpForwardEntry leaves
// illegal (metric, protocol; the site prefix length by the documented rule that it may not
// exceed the prefix length) and any protocol but NETMGMT, so the helper cannot come to rely on
// a default.
DWORD CreationVerdict2(const MIB_IPFORWARD_ROW2& row, bool interfaceExists) {
    const UINT8 length = row.DestinationPrefix.PrefixLength;
    if (!NamesRoute(row) || !PrefixFits(row.DestinationPrefix.Prefix, length) ||
        row.PreferredLifetime > row.ValidLifetime || row.SitePrefixLength > length ||
        row.Metric == kUnsetMetric || row.Protocol != MIB_IPPROTO_NETMGMT) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!interfaceExists) {
        return ERROR_NOT_FOUND;
    }
    return HoldsRoute2(row) ? ERROR_OBJECT_ALREADY_EXISTS : NO_ERROR;
}

// "create6"/"delete6" to the IPv6 journal, "create2"/"delete2" to the IPv4 one.
DWORD Journal2(const char* call, const MIB_IPFORWARD_ROW2& row, const std::string& effective,
               DWORD result) {
    std::ostringstream line;
    line << call << (IsIpv4(row) ? '2' : '6') << ' ' << Text(row.DestinationPrefix.Prefix) << '/'
         << unsigned{row.DestinationPrefix.PrefixLength} << " via " << Text(row.NextHop)
         << " if=" << NamedInterface(row.InterfaceLuid, row.InterfaceIndex) << " luid=0x"
         << std::hex << row.InterfaceLuid.Value << std::dec << " proto=" << row.Protocol
         << " metric=" << row.Metric << " effective=" << effective;
    return Journal(IsIpv4(row) ? L"routes-journal.txt" : L"routes6-journal.txt", line, result);
}

// --- NotifyRouteChange2 and NotifyUnicastIpAddressChange: a thread per registration compares
// the table of its families every 20 ms with what it saw last (the first look taken before the
// registration returns, so no later change goes unreported) and reports each change, as Windows
// reports every one; a cancel ends its wait at once.

struct Watch {
    HANDLE stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread thread;
};

template <typename Look, typename Report>
HANDLE StartWatch(Look look, Report report) {
    auto* watch = new Watch;
    watch->thread = std::thread([watch, look, report, seen = look()]() mutable {
        while (WaitForSingleObject(watch->stop, 20) == WAIT_TIMEOUT) {
            auto now = look();
            report(seen, now);
            seen = std::move(now);
        }
    });
    return watch;
}

// The rows of the families asked for, an IPv4 row with its own metric. The watch compares IPv4
// rows by their stored metric instead, so a rewrite of routes-metrics.txt alone is no route
// change: a system row's own metric here follows the interface's current one, where Windows
// keeps it.
std::vector<MIB_IPFORWARD_ROW2> Snapshot(ADDRESS_FAMILY family, bool ownMetrics = true) {
    std::vector<MIB_IPFORWARD_ROW2> rows;
    if (family != AF_INET) {
        rows = AllRows6();
    }
    if (family != AF_INET6) {
        std::vector<ULONG> own;
        const std::vector<MIB_IPFORWARDROW> rows4 = AllRows(&own);
        for (size_t i = 0; i < rows4.size(); ++i) {
            rows.push_back(Row2Of(rows4[i], ownMetrics ? own[i] : rows4[i].dwForwardMetric1));
        }
    }
    return rows;
}

// Reports each row of `from` that `in` does not hold, metric and all.
void ReportMissing(PIPFORWARD_CHANGE_CALLBACK callback, void* context,
                   const std::vector<MIB_IPFORWARD_ROW2>& from,
                   const std::vector<MIB_IPFORWARD_ROW2>& in, MIB_NOTIFICATION_TYPE type) {
    for (MIB_IPFORWARD_ROW2 row : from) {
        if (std::none_of(in.begin(), in.end(),
                         [&](const auto& other) { return RowText(other) == RowText(row); })) {
            callback(context, &row, type);
        }
    }
}

// --- Unicast addresses, from addresses-table.txt.

std::vector<MIB_UNICASTIPADDRESS_ROW> Addresses(ADDRESS_FAMILY family) {
    std::vector<MIB_UNICASTIPADDRESS_ROW> rows;
    ForEachLine(L"addresses-table.txt", [&](std::istringstream& fields) {
        std::string address, dadState;
        unsigned length = 0;
        MIB_UNICASTIPADDRESS_ROW row{};
        if (!(std::getline(fields >> std::ws, address, '/') >> length >> row.InterfaceIndex)) {
            return;
        }
        fields >> dadState;
        const bool ipv6 = address.find(':') != std::string::npos;
        row.Address.si_family = ipv6 ? AF_INET6 : AF_INET;
        if (ipv6 && !ParseAddress6(address, row.Address.Ipv6.sin6_addr)) {
            return;
        }
        if (!ipv6) {
            row.Address.Ipv4.sin_addr.s_addr = ParseAddress(address);
        }
        row.InterfaceLuid = LuidOf(row.InterfaceIndex);
        row.OnLinkPrefixLength = static_cast<UINT8>(length);
        const unsigned long state = std::strtoul(dadState.c_str(), nullptr, 10);
        row.DadState = dadState.empty() ? IpDadStatePreferred : static_cast<NL_DAD_STATE>(state);
        row.ValidLifetime = row.PreferredLifetime = kInfinite;
        if (family == AF_UNSPEC || family == row.Address.si_family) {
            rows.push_back(row);
        }
    });
    return rows;
}

// An address is known by its text and interface; its prefix and state are its parameters.
std::string AddressKey(const MIB_UNICASTIPADDRESS_ROW& row) {
    return Text(row.Address) + ' ' + std::to_string(row.InterfaceIndex);
}

std::string AddressText(const MIB_UNICASTIPADDRESS_ROW& row) {
    return AddressKey(row) + ' ' + std::to_string(row.OnLinkPrefixLength) + ' ' +
           std::to_string(row.DadState);
}

// Reports each address of `from` that `in` does not hold as `type`, or, holding it with other
// parameters, as a parameter change when `changes` is set. As Windows does, the row reported
// names the address and its interface only; the table tells the rest.
void ReportAddresses(PUNICAST_IPADDRESS_CHANGE_CALLBACK callback, void* context,
                     const std::vector<MIB_UNICASTIPADDRESS_ROW>& from,
                     const std::vector<MIB_UNICASTIPADDRESS_ROW>& in, MIB_NOTIFICATION_TYPE type,
                     bool changes) {
    for (const MIB_UNICASTIPADDRESS_ROW& row : from) {
        const auto same = std::find_if(in.begin(), in.end(), [&](const auto& other) {
            return AddressKey(other) == AddressKey(row);
        });
        MIB_UNICASTIPADDRESS_ROW named{};
        named.Address = row.Address;
        named.InterfaceLuid = row.InterfaceLuid;
        named.InterfaceIndex = row.InterfaceIndex;
        if (same == in.end()) {
            callback(context, &named, type);
        } else if (changes && AddressText(*same) != AddressText(row)) {
            callback(context, &named, MibParameterNotification);
        }
    }
}

// Hands out rows as the row-2 table calls do: a table from the process heap for FreeMibTable,
// none and ERROR_NOT_FOUND when there is no row.
template <typename Table, typename Row>
DWORD HandOutTable(const std::vector<Row>& rows, Table** table) {
    *table = nullptr;
    if (rows.empty()) {
        return ERROR_NOT_FOUND;
    }
    const size_t bytes = offsetof(Table, Table) + rows.size() * sizeof(Row);
    *table = static_cast<Table*>(HeapAlloc(GetProcessHeap(), 0, bytes));
    if (*table == nullptr) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    (*table)->NumEntries = static_cast<ULONG>(rows.size());
    std::copy(rows.begin(), rows.end(), (*table)->Table);
    return NO_ERROR;
}

bool IsFamily(ADDRESS_FAMILY family) {
    return family == AF_INET || family == AF_INET6 || family == AF_UNSPEC;
}

// --- TCP endpoints, as GetExtendedTcpTable's TCP_TABLE_OWNER_PID_* classes give them. Each
// reader takes the rows of its family.

bool ReadEnds(const std::string& remote, const std::string& local, MIB_TCPROW_OWNER_PID& row) {
    row.dwLocalAddr = ParseAddress(local.empty() ? "127.0.0.1" : local);
    row.dwRemoteAddr = ParseAddress(remote);
    return remote.find(':') == std::string::npos && local.find(':') == std::string::npos;
}

bool ReadEnds(const std::string& remote, const std::string& local, MIB_TCP6ROW_OWNER_PID& row) {
    IN6_ADDR remoteAddress{}, localAddress{};
    const bool ipv6 = ParseAddress6(remote, remoteAddress) &&
                      ParseAddress6(local.empty() ? "::1" : local, localAddress);
    std::memcpy(row.ucRemoteAddr, &remoteAddress, sizeof remoteAddress);
    std::memcpy(row.ucLocalAddr, &localAddress, sizeof localAddress);
    return ipv6;
}

// Fills a table of the MIB_..._TABLE layout (a count, then the rows), or says how large one must
// be.
template <typename Table, typename Row>
DWORD HandOut(const std::vector<Row>& rows, void* buffer, DWORD* size) {
    const size_t needed =
        std::max(sizeof(Table), offsetof(Table, table) + rows.size() * sizeof(Row));
    if (size == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (buffer == nullptr || *size < needed) {
        *size = static_cast<DWORD>(needed);
        return ERROR_INSUFFICIENT_BUFFER;
    }
    static_cast<Table*>(buffer)->dwNumEntries = static_cast<DWORD>(rows.size());
    std::copy(rows.begin(), rows.end(), static_cast<Table*>(buffer)->table);
    return NO_ERROR;
}

// The listeners, the connections or both, as the class asks.
template <typename Table>
DWORD HandOutEndpoints(TCP_TABLE_CLASS tableClass, void* buffer, DWORD* size) {
    using Row = std::remove_all_extents_t<decltype(Table::table)>;
    std::vector<Row> rows;
    DWORD line = 0;
    ForEachLine(L"tcp-table.txt", [&](std::istringstream& fields) {
        std::string remote, local;
        DWORD remotePort = 0, localPort = 49152 + line++;
        Row row{};
        if (fields >> remote >> remotePort >> row.dwState >> row.dwOwningPid &&
            (!(fields >> local) || fields >> localPort) && ReadEnds(remote, local, row)) {
            row.dwLocalPort = __builtin_bswap16(static_cast<uint16_t>(localPort));
            row.dwRemotePort = __builtin_bswap16(static_cast<uint16_t>(remotePort));
            const bool listener = row.dwState == MIB_TCP_STATE_LISTEN;
            if (tableClass == TCP_TABLE_OWNER_PID_ALL ||
                listener == (tableClass == TCP_TABLE_OWNER_PID_LISTENER)) {
                rows.push_back(row);
            }
        }
    });
    return HandOut<Table>(rows, buffer, size);
}

}  // namespace

extern "C" {

__declspec(dllexport) DWORD WINAPI
    GetIpForwardTable(PMIB_IPFORWARDTABLE buffer, PULONG size, BOOL) {
    return HandOut<MIB_IPFORWARDTABLE>(AllRows(), buffer, size);
}

__declspec(dllexport) DWORD WINAPI CreateIpForwardEntry(PMIB_IPFORWARDROW row) {
    TableLock lock;
    const DWORD verdict = CreationVerdict(*row);
    if (verdict == NO_ERROR) {
        const DWORD interfaceMetric = Metrics(L"routes-metrics.txt")[row->dwForwardIfIndex];
        AddLive(L"routes-live.txt", RouteText(*row) + ' ' + std::to_string(row->dwForwardMetric1) +
                                        ' ' + std::to_string(interfaceMetric));
    }
    return Journal4("create", *row, verdict);
}

__declspec(dllexport) DWORD WINAPI DeleteIpForwardEntry(PMIB_IPFORWARDROW row) {
    TableLock lock;
    const bool found = RemoveLive(L"routes-live.txt", RouteText(*row));
    return Journal4("delete", *row, found ? NO_ERROR : ERROR_NOT_FOUND);
}

__declspec(dllexport) DWORD WINAPI GetIpInterfaceEntry(PMIB_IPINTERFACE_ROW row) {
    if (row == nullptr || (row->Family != AF_INET && row->Family != AF_INET6)) {
        return ERROR_INVALID_PARAMETER;
    }
    const NET_IFINDEX ifIndex = NamedInterface(row->InterfaceLuid, row->InterfaceIndex);
    const std::map<DWORD, DWORD> metrics =
        Metrics(row->Family == AF_INET6 ? L"routes6-metrics.txt" : L"routes-metrics.txt");
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
    DWORD result = ERROR_INVALID_PARAMETER;
    ForEachLine(L"routes-metrics.txt", [&](std::istringstream& fields) {
        DWORD ifIndex = 0, metric = 0;
        std::string named;
        if (alias != nullptr && luid != nullptr && result != NO_ERROR &&
            fields >> ifIndex >> metric >> named &&
            std::wstring(named.begin(), named.end()) == alias) {
            *luid = LuidOf(ifIndex);
            result = NO_ERROR;
        }
    });
    return result;
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
    if (callback == nullptr || handle == nullptr || !IsFamily(family)) {
        return ERROR_INVALID_PARAMETER;
    }
    *handle = StartWatch([family] { return Snapshot(family, false); },
                         [=](const auto& seen, const auto& now) {
                             ReportMissing(callback, context, seen, now, MibDeleteInstance);
                             ReportMissing(callback, context, now, seen, MibAddInstance);
                         });
    if (initial) {
        callback(context, nullptr, MibInitialNotification);
    }
    return NO_ERROR;
}

__declspec(dllexport) DWORD WINAPI
    NotifyUnicastIpAddressChange(ADDRESS_FAMILY family, PUNICAST_IPADDRESS_CHANGE_CALLBACK callback,
                                 PVOID context, BOOLEAN initial, HANDLE* handle) {
    if (callback == nullptr || handle == nullptr || !IsFamily(family)) {
        return ERROR_INVALID_PARAMETER;
    }
    *handle =
        StartWatch([family] { return Addresses(family); },
                   [=](const auto& seen, const auto& now) {
                       ReportAddresses(callback, context, seen, now, MibDeleteInstance, false);
                       ReportAddresses(callback, context, now, seen, MibAddInstance, true);
                   });
    if (initial) {
        callback(context, nullptr, MibInitialNotification);
    }
    return NO_ERROR;
}

// With no address of the family asked for, Windows answers ERROR_NOT_FOUND and gives no table.
__declspec(dllexport) DWORD WINAPI
    GetUnicastIpAddressTable(ADDRESS_FAMILY family, PMIB_UNICASTIPADDRESS_TABLE* table) {
    if (table == nullptr || !IsFamily(family)) {
        return ERROR_INVALID_PARAMETER;
    }
    return HandOutTable(Addresses(family), table);
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

// With no row of the family asked for, Windows answers ERROR_NOT_FOUND and gives no table.
__declspec(dllexport) DWORD WINAPI
    GetIpForwardTable2(ADDRESS_FAMILY family, PMIB_IPFORWARD_TABLE2* table) {
    if (table == nullptr || !IsFamily(family)) {
        return ERROR_INVALID_PARAMETER;
    }
    return HandOutTable(Snapshot(family), table);
}

__declspec(dllexport) VOID WINAPI FreeMibTable(PVOID memory) {
    if (memory != nullptr) {
        HeapFree(GetProcessHeap(), 0, memory);
    }
}

// The members Microsoft documents as "set to illegal values" are so.
__declspec(dllexport) VOID WINAPI InitializeIpForwardEntry(PMIB_IPFORWARD_ROW2 row) {
    *row = {};
    row->ValidLifetime = row->PreferredLifetime = kInfinite;
    row->Loopback = row->AutoconfigureAddress = row->Publish = row->Immortal = TRUE;
    row->SitePrefixLength = 0xFF;
    row->Metric = kUnsetMetric;
    row->Protocol = static_cast<NL_ROUTE_PROTOCOL>(-1);
}

// An IPv4 row is kept in routes-live.txt as the legacy calls see it: its metric the own one plus
// the interface's, then the interface's at creation.
__declspec(dllexport) DWORD WINAPI CreateIpForwardEntry2(const MIB_IPFORWARD_ROW2* row) {
    if (row == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    TableLock lock;
    const bool ipv4 = IsIpv4(*row);
    const std::map<DWORD, DWORD> metrics =
        Metrics(ipv4 ? L"routes-metrics.txt" : L"routes6-metrics.txt");
    const auto found = metrics.find(NamedInterface(row->InterfaceLuid, row->InterfaceIndex));
    const bool exists = found != metrics.end();
    const DWORD verdict = CreationVerdict2(*row, exists);
    const std::string effective =
        exists ? std::to_string(ULONG64{found->second} + row->Metric) : "-";
    if (verdict == NO_ERROR && ipv4) {
        AddLive(L"routes-live.txt",
                RouteText(LegacyOf(*row)) + ' ' + effective + ' ' + std::to_string(found->second));
    } else if (verdict == NO_ERROR) {
        AddLive(L"routes6-live.txt", RowText(*row));
    }
    return Journal2("create", *row, effective, verdict);
}

// Deletes a row made through the API. The system's rows (routes-table.txt and
// routes6-table.txt, which the test owns) answer ERROR_NOT_FOUND, where Windows would delete
// them: the helper deletes only routes it made. A route goes with its interface.
__declspec(dllexport) DWORD WINAPI DeleteIpForwardEntry2(const MIB_IPFORWARD_ROW2* row) {
    if (row == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!NamesRoute(*row)) {
        return Journal2("delete", *row, "-", ERROR_INVALID_PARAMETER);
    }
    TableLock lock;
    const bool ipv4 = IsIpv4(*row);
    const NET_IFINDEX ifIndex = NamedInterface(row->InterfaceLuid, row->InterfaceIndex);
    const bool found =
        Metrics(ipv4 ? L"routes-metrics.txt" : L"routes6-metrics.txt").count(ifIndex) > 0 &&
        (ipv4 ? RemoveLive(L"routes-live.txt", RouteText(LegacyOf(*row)))
              : RemoveLive(L"routes6-live.txt", RouteText(*row)));
    return Journal2("delete", *row, "-", found ? NO_ERROR : ERROR_NOT_FOUND);
}

// Serves the TCP_TABLE_OWNER_PID_* classes; the other classes of the enumeration answer
// ERROR_NOT_SUPPORTED, values outside it ERROR_INVALID_PARAMETER as documented.
__declspec(dllexport) DWORD WINAPI GetExtendedTcpTable(PVOID table, PDWORD size, BOOL, ULONG family,
                                                       TCP_TABLE_CLASS tableClass, ULONG reserved) {
    if (size == nullptr || reserved != 0 || (family != AF_INET && family != AF_INET6) ||
        tableClass < TCP_TABLE_BASIC_LISTENER || tableClass > TCP_TABLE_OWNER_MODULE_ALL) {
        return ERROR_INVALID_PARAMETER;
    }
    if (tableClass != TCP_TABLE_OWNER_PID_LISTENER &&
        tableClass != TCP_TABLE_OWNER_PID_CONNECTIONS && tableClass != TCP_TABLE_OWNER_PID_ALL) {
        return ERROR_NOT_SUPPORTED;
    }
    std::ifstream error(Beside(L"tcp-error.txt").c_str());
    if (error) {
        DWORD code = ERROR_GEN_FAILURE;
        error >> code;
        return code;
    }
    return family == AF_INET ? HandOutEndpoints<MIB_TCPTABLE_OWNER_PID>(tableClass, table, size)
                             : HandOutEndpoints<MIB_TCP6TABLE_OWNER_PID>(tableClass, table, size);
}

}  // extern "C"
