// Stand-in for iphlpapi.dll: an IPv4 routing table that lives across processes, refuses what
// Windows refuses, forgets the routes made through it at a "reboot" and reports changes as
// NotifyRouteChange2 does. Files beside the DLL, all read again on every call:
//   routes-table.txt    the system's rows, "dest mask nexthop ifindex metric" a line (a next hop
//                       of 0.0.0.0 makes an on-link row); rewrite it to move the machine to
//                       another network
//   routes-live.txt     the rows made with CreateIpForwardEntry; delete it for a reboot
//   routes-metrics.txt  "ifindex metric [alias]" a line: the interfaces that exist
//   routes-journal.txt  every create and delete, field by field, with its result
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

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

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

// One NotifyRouteChange2 registration: a thread that compares the table every 20 ms with what
// it saw last and reports each row added or deleted, as Windows reports every route change.
struct Watch {
    PIPFORWARD_CHANGE_CALLBACK callback;
    void* context;
    HANDLE stop;  // a cancel ends the wait at once, as on Windows
    std::thread thread;
};

std::vector<MIB_IPFORWARDROW> Snapshot() {
    TableLock lock;
    return AllRows();
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
    changed.Metric = row.dwForwardMetric1;
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

void WatchTable(Watch* watch) {
    std::vector<MIB_IPFORWARDROW> seen = Snapshot();
    while (WaitForSingleObject(watch->stop, 20) == WAIT_TIMEOUT) {
        const std::vector<MIB_IPFORWARDROW> now = Snapshot();
        for (const MIB_IPFORWARDROW& row : seen) {
            if (!Holds(now, row)) {
                Report(*watch, row, MibDeleteInstance);
            }
        }
        for (const MIB_IPFORWARDROW& row : now) {
            if (!Holds(seen, row)) {
                Report(*watch, row, MibAddInstance);
            }
        }
        seen = now;
    }
}

}  // namespace

extern "C" {

__declspec(dllexport) DWORD WINAPI
    GetIpForwardTable(PMIB_IPFORWARDTABLE buffer, PULONG size, BOOL) {
    if (size == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const std::vector<MIB_IPFORWARDROW> rows = Snapshot();
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
    const std::map<DWORD, Interface> interfaces = Interfaces();
    const auto found = interfaces.find(row->InterfaceIndex);
    if (row->Family != AF_INET || found == interfaces.end()) {
        return ERROR_NOT_FOUND;
    }
    row->Metric = found->second.metric;
    return NO_ERROR;
}

__declspec(dllexport) DWORD WINAPI ConvertInterfaceAliasToLuid(const WCHAR* alias, NET_LUID* luid) {
    if (alias == nullptr || luid == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    for (const auto& [ifIndex, found] : Interfaces()) {
        if (!found.alias.empty() && found.alias == alias) {
            luid->Value = ifIndex;  // the stand-in's interfaces are known by index alone
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
    *index = static_cast<NET_IFINDEX>(luid->Value);
    return NO_ERROR;
}

__declspec(dllexport) DWORD WINAPI
    NotifyRouteChange2(ADDRESS_FAMILY, PIPFORWARD_CHANGE_CALLBACK callback, PVOID context,
                       BOOLEAN initial, HANDLE* handle) {
    if (callback == nullptr || handle == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    auto* watch = new Watch();
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

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) {
        self = instance;
    }
    return TRUE;
}

}  // extern "C"
