// Stand-in for iphlpapi.dll: a scripted IPv4 routing table that refuses what Windows refuses.
// Wine loads it from beside the helper when started with WINEDLLOVERRIDES="iphlpapi=n".
// Beside the DLL:
//   routes-table.txt    the table at load, one "dest mask nexthop ifindex metric" a line
//   routes-metrics.txt  "ifindex metric" a line, read again on every call
//   routes-journal.txt  every create and delete, field by field, with its result
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

// The SDK declares these as imports; the stand-in defines them, so only the types are taken.
#define GetIpForwardTable SdkGetIpForwardTable
#define CreateIpForwardEntry SdkCreateIpForwardEntry
#define DeleteIpForwardEntry SdkDeleteIpForwardEntry
#define GetIpInterfaceEntry SdkGetIpInterfaceEntry
#include <iphlpapi.h>
#include <netioapi.h>
#undef GetIpForwardTable
#undef CreateIpForwardEntry
#undef DeleteIpForwardEntry
#undef GetIpInterfaceEntry

#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace {

HMODULE self = nullptr;
std::mutex tableLock;
bool loaded = false;
std::vector<MIB_IPFORWARDROW> table;

std::wstring Beside(const wchar_t* name) {
    wchar_t path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(self, path, MAX_PATH * 4);
    std::wstring text(path, length);
    return text.substr(0, text.find_last_of(L"\\/") + 1) + name;
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

void LoadTable() {
    if (loaded) {
        return;
    }
    loaded = true;
    std::ifstream file(Beside(L"routes-table.txt").c_str());
    std::string dest, mask, nextHop;
    DWORD ifIndex = 0, metric = 0;
    while (file >> dest >> mask >> nextHop >> ifIndex >> metric) {
        MIB_IPFORWARDROW row{};
        row.dwForwardDest = ParseAddress(dest);
        row.dwForwardMask = ParseAddress(mask);
        row.dwForwardNextHop = ParseAddress(nextHop);
        row.dwForwardIfIndex = ifIndex;
        row.dwForwardType = MIB_IPROUTE_TYPE_INDIRECT;
        row.dwForwardProto = MIB_IPPROTO_NETMGMT;
        row.dwForwardMetric1 = metric;
        table.push_back(row);
    }
}

std::map<DWORD, DWORD> InterfaceMetrics() {
    std::map<DWORD, DWORD> metrics;
    std::ifstream file(Beside(L"routes-metrics.txt").c_str());
    DWORD ifIndex = 0, metric = 0;
    while (file >> ifIndex >> metric) {
        metrics[ifIndex] = metric;
    }
    return metrics;
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
    const std::map<DWORD, DWORD> metrics = InterfaceMetrics();
    const auto found = metrics.find(row.dwForwardIfIndex);
    if (found == metrics.end()) {
        return ERROR_INVALID_PARAMETER;
    }
    if (row.dwForwardMetric1 < found->second) {
        return ERROR_BAD_ARGUMENTS;
    }
    for (const MIB_IPFORWARDROW& present : table) {
        if (SameRoute(present, row)) {
            return ERROR_OBJECT_ALREADY_EXISTS;
        }
    }
    return NO_ERROR;
}

}  // namespace

extern "C" {

__declspec(dllexport) DWORD WINAPI
    GetIpForwardTable(PMIB_IPFORWARDTABLE buffer, PULONG size, BOOL) {
    std::lock_guard<std::mutex> lock(tableLock);
    LoadTable();
    if (size == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    const ULONG needed = sizeof(MIB_IPFORWARDTABLE) + table.size() * sizeof(MIB_IPFORWARDROW);
    if (buffer == nullptr || *size < needed) {
        *size = needed;
        return ERROR_INSUFFICIENT_BUFFER;
    }
    buffer->dwNumEntries = static_cast<DWORD>(table.size());
    for (size_t i = 0; i < table.size(); ++i) {
        buffer->table[i] = table[i];
    }
    return NO_ERROR;
}

__declspec(dllexport) DWORD WINAPI CreateIpForwardEntry(PMIB_IPFORWARDROW row) {
    std::lock_guard<std::mutex> lock(tableLock);
    LoadTable();
    const DWORD verdict = CreationVerdict(*row);
    if (verdict == NO_ERROR) {
        table.push_back(*row);
    }
    return Journal("create", *row, verdict);
}

__declspec(dllexport) DWORD WINAPI DeleteIpForwardEntry(PMIB_IPFORWARDROW row) {
    std::lock_guard<std::mutex> lock(tableLock);
    LoadTable();
    for (auto it = table.begin(); it != table.end(); ++it) {
        if (SameRoute(*it, *row)) {
            table.erase(it);
            return Journal("delete", *row, NO_ERROR);
        }
    }
    return Journal("delete", *row, ERROR_NOT_FOUND);
}

__declspec(dllexport) DWORD WINAPI GetIpInterfaceEntry(PMIB_IPINTERFACE_ROW row) {
    if (row == nullptr || (row->Family != AF_INET && row->Family != AF_INET6)) {
        return ERROR_INVALID_PARAMETER;
    }
    const std::map<DWORD, DWORD> metrics = InterfaceMetrics();
    const auto found = metrics.find(row->InterfaceIndex);
    if (row->Family != AF_INET || found == metrics.end()) {
        return ERROR_NOT_FOUND;
    }
    row->Metric = found->second;
    return NO_ERROR;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    if (reason == DLL_PROCESS_ATTACH) {
        self = instance;
    }
    return TRUE;
}

}  // extern "C"
