// The benchmark's measuring end, run under Wine by scripts/bench.sh. Each mode prints one
// number (or two) on a line of its own:
//   ping N | status N      N sequential round trips: requests per second
//   parallel C N           C clients at once, N pings each: requests per second, then the
//                          number of replies that were not "OK" (0 when all are accounted for)
//   handles                the open handles of the pipe's server, from the system's list
//   time REQUEST           milliseconds one request takes (a line feed is added), and its reply
//   stop SERVICE           milliseconds from the stop request to the stopped state
//   run COMMAND...         milliseconds a command line takes (the tunnel program directly)
//   up SERVICE COMMAND...  milliseconds from the command's start until the service runs (at
//                          most 20 s), in one process so that no start-up hides in between
//   burst N                starts Chrome.exe beside it, feeds the stand-in WinDivert.dll there N
//                          connects of it to new addresses and waits until the stand-in routing
//                          table has journalled N more creations: routes per second
//   routes N               N bypass rows created through the stand-in routing table directly
//                          (then deleted, untimed): routes per second
//   burst6 N | routes6 N   the same for IPv6 addresses (2001:db8::/32) and /128 rows
//   scan N [P]             writes N established connections of P processes (50 unless given,
//                          none listed) to the stand-in TCP table, then times a splitapps
//                          request that adds an application: milliseconds
//   tcpread                the stand-in TCP table as it stands, probed and read for both
//                          families directly, as the helper reads it: milliseconds
//   ahead N BASE64         Chrome.exe connects to N servers one after the other (each once its
//                          route is made), then to the same N at once after a disconnect and a
//                          connect with the configuration BASE64, and again 1 s after another
//                          reconnect: the share of its connects, in percent, that found their
//                          route already made, one line for each of the three passes
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <winternl.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "orvanta_client.h"

namespace {

double Seconds() {
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart) / frequency.QuadPart;
}

bool Asks(const std::string& request) {
    orvanta::ClientOptions options;
    options.verifyServer = false;  // the benchmark's helper runs with --console
    const orvanta::ClientResult result = orvanta::SendRequest(request, options);
    return result.status == orvanta::ClientStatus::Replied &&
           (result.reply == "OK" || result.reply == "RUNNING" || result.reply == "STOPPED");
}

int Sequential(const std::string& request, int count) {
    const double start = Seconds();
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        failed += Asks(request) ? 0 : 1;
    }
    std::printf("%.1f\n", count / (Seconds() - start));
    return failed == 0 ? 0 : 1;
}

int Parallel(int clients, int count) {
    std::vector<int> failed(clients, 0);
    std::vector<std::thread> threads;
    const double start = Seconds();
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&failed, c, count] {
            for (int i = 0; i < count; ++i) {
                failed[c] += Asks("ping\n") ? 0 : 1;
            }
        });
    }
    int lost = 0;
    for (int c = 0; c < clients; ++c) {
        threads[c].join();
        lost += failed[c];
    }
    std::printf("%.1f\n%d\n", clients * count / (Seconds() - start), lost);
    return lost == 0 ? 0 : 1;
}

// Wine answers GetProcessHandleCount for another process with 0, so count the process's
// entries in the system handle list instead.
int Handles() {
    HANDLE pipe = CreateFileW(orvanta::kPipeName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ULONG processId = 0;
    GetNamedPipeServerProcessId(pipe, &processId);
    CloseHandle(pipe);
    struct Entry {
        ULONG processId;
        BYTE objectType, flags;
        USHORT handle;
        PVOID object;
        ACCESS_MASK access;
    };
    std::vector<BYTE> buffer(1 << 20);
    ULONG needed = 0;
    NTSTATUS status;
    while ((status = NtQuerySystemInformation(static_cast<SYSTEM_INFORMATION_CLASS>(16),
                                              buffer.data(), buffer.size(), &needed)) ==
           static_cast<NTSTATUS>(0xC0000004L)) {
        buffer.resize(buffer.size() * 2);
    }
    if (status != 0 || processId == 0) {
        return 1;
    }
    const ULONG entries = *reinterpret_cast<ULONG*>(buffer.data());
    const auto* entry = reinterpret_cast<const Entry*>(buffer.data() + sizeof(ULONG_PTR));
    int count = 0;
    for (ULONG i = 0; i < entries; ++i) {
        count += entry[i].processId == processId ? 1 : 0;
    }
    std::printf("%d\n", count);
    return 0;
}

SC_HANDLE OpenServiceFor(const wchar_t* name, DWORD access) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    return manager ? OpenServiceW(manager, name, access) : nullptr;  // the manager lives on
}

DWORD State(SC_HANDLE service) {
    SERVICE_STATUS status{};
    return QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

int Stop(const wchar_t* name) {
    SC_HANDLE service = OpenServiceFor(name, SERVICE_STOP | SERVICE_QUERY_STATUS);
    SERVICE_STATUS status{};
    const double start = Seconds();
    if (service == nullptr || !ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        return 1;
    }
    while (State(service) != SERVICE_STOPPED && Seconds() - start < 20) {
        Sleep(1);
    }
    std::printf("%.1f\n", (Seconds() - start) * 1000);
    return 0;
}

// Polls until the service runs, at most 20 s from `start`.
void WaitUntilRunning(const wchar_t* name, double start) {
    for (;;) {
        SC_HANDLE service = OpenServiceFor(name, SERVICE_QUERY_STATUS);
        if ((service != nullptr && State(service) == SERVICE_RUNNING) || Seconds() - start > 20) {
            break;
        }
        Sleep(1);
    }
}

int Run(const std::wstring& commandLine, const wchar_t* runningService) {
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    const double start = Seconds();
    if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
        return 1;
    }
    WaitForSingleObject(info.hProcess, INFINITE);
    if (runningService != nullptr) {
        WaitUntilRunning(runningService, start);
    }
    std::printf("%.1f\n", (Seconds() - start) * 1000);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return 0;
}

std::wstring Beside(const wchar_t* name) {
    wchar_t path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    const std::wstring text(path, length);
    return text.substr(0, text.find_last_of(L"\\/") + 1) + name;
}

// What a family's benchmark reads and writes in the stand-in routing table. IPv4 rows appear as
// "create" when made through the legacy call and "create2" through the *2 one.
struct Family {
    const wchar_t* journal;
    std::vector<const char*> creations;
};
const Family kIpv4{L"routes-journal.txt", {"create ", "create2 "}};
const Family kIpv6{L"routes6-journal.txt", {"create6 "}};

size_t CreationsJournalled(const Family& family) {
    std::ifstream file(Beside(family.journal).c_str(), std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(file)),
                           std::istreambuf_iterator<char>());
    size_t count = 0;
    for (const char* creation : family.creations) {
        for (size_t at = text.find(creation); at != std::string::npos;
             at = text.find(creation, at + 1)) {
            ++count;
        }
    }
    return count;
}

// The i-th address of a benchmark range: 198.18.0.0/15 dotted, or 2001:db8:<range>::/48.
std::string BenchAddress(int range, int i, bool ipv6 = false) {
    if (ipv6) {
        char text[48];
        std::snprintf(text, sizeof text, "2001:db8:%x::%x", 18 + range, i + 1);
        return text;
    }
    return "198." + std::to_string(18 + range) + "." + std::to_string(i / 250) + "." +
           std::to_string(1 + i % 250);
}

// The listed application whose connects the stand-in WinDivert.dll reports: Chrome.exe beside
// this program.
bool StartChrome(PROCESS_INFORMATION& info) {
    std::wstring chrome = L"\"" + Beside(L"Chrome.exe") + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    return CreateProcessW(nullptr, chrome.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &info) != FALSE;
}

void EndChrome(const PROCESS_INFORMATION& info) {
    TerminateProcess(info.hProcess, 0);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
}

int Burst(int count, bool ipv6) {
    const Family& family = ipv6 ? kIpv6 : kIpv4;
    PROCESS_INFORMATION info{};
    if (!StartChrome(info)) {
        return 1;
    }
    std::string events;
    for (int i = 0; i < count; ++i) {
        events += "4 " + std::to_string(info.dwProcessId) + " " + BenchAddress(0, i, ipv6) + "\n";
    }
    const size_t before = CreationsJournalled(family);
    const double start = Seconds();
    std::ofstream(Beside(L"divert-events.txt").c_str(), std::ios::app | std::ios::binary) << events;
    // Polls the journal only when it grew, so that the polling takes little from the helper.
    const std::wstring journal = Beside(family.journal);
    ULONGLONG seenSize = 0;
    for (;;) {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        GetFileAttributesExW(journal.c_str(), GetFileExInfoStandard, &data);
        const ULONGLONG size = (ULONGLONG{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
        if ((size != seenSize && CreationsJournalled(family) >= before + count) ||
            Seconds() - start >= 60) {
            break;
        }
        seenSize = size;
        Sleep(5);
    }
    std::printf("%.1f\n", count / (Seconds() - start));
    EndChrome(info);
    return 0;
}

// Whether the stand-in table holds a host route made through the API to the address.
bool HostRouteLive(const std::string& address) {
    std::ifstream file(Beside(L"routes-live.txt").c_str(), std::ios::binary);
    std::string line;
    while (std::getline(file, line)) {
        if (line.rfind(address + " 255.255.255.255 ", 0) == 0) {
            return true;
        }
    }
    return false;
}

// One pass over `count` servers: the share that found their route made before their connect.
double AheadPass(DWORD processId, int count) {
    int found = 0;
    for (int i = 0; i < count; ++i) {
        const std::string address = BenchAddress(2, i);
        found += HostRouteLive(address) ? 1 : 0;
        std::ofstream(Beside(L"divert-events.txt").c_str(), std::ios::app | std::ios::binary)
            << "4 " << processId << " " << address << "\n";
        for (const double start = Seconds(); !HostRouteLive(address) && Seconds() - start < 10;) {
            Sleep(2);
        }
    }
    return 100.0 * found / count;
}

int Ahead(int count, const std::string& configuration) {
    PROCESS_INFORMATION info{};
    if (!StartChrome(info)) {
        return 1;
    }
    const auto reconnect = [&configuration] {
        return Asks("disconnect\n") && Asks("connect " + configuration + "\n");
    };
    std::printf("%.0f\n", AheadPass(info.dwProcessId, count));
    const bool atOnce = reconnect();
    std::printf("%.0f\n", atOnce ? AheadPass(info.dwProcessId, count) : -1.0);
    const bool later = reconnect();
    Sleep(1000);
    std::printf("%.0f\n", later ? AheadPass(info.dwProcessId, count) : -1.0);
    EndChrome(info);
    return 0;
}

MIB_IPFORWARDROW BypassRow(int i) {
    MIB_IPFORWARDROW row{};
    row.dwForwardDest = inet_addr(BenchAddress(1, i).c_str());
    row.dwForwardMask = 0xFFFFFFFF;
    row.dwForwardNextHop = inet_addr("192.168.1.1");
    row.dwForwardIfIndex = 7;
    row.dwForwardType = MIB_IPROUTE_TYPE_INDIRECT;
    row.dwForwardProto = MIB_IPPROTO_NETMGMT;
    row.dwForwardMetric1 = 26;
    return row;
}

int Routes(int count) {
    const double start = Seconds();
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        MIB_IPFORWARDROW row = BypassRow(i);
        failed += CreateIpForwardEntry(&row) == NO_ERROR ? 0 : 1;
    }
    std::printf("%.1f\n", count / (Seconds() - start));
    for (int i = 0; i < count; ++i) {
        MIB_IPFORWARDROW row = BypassRow(i);
        DeleteIpForwardEntry(&row);
    }
    return failed == 0 ? 0 : 1;
}

MIB_IPFORWARD_ROW2 Bypass6Row(int i) {
    MIB_IPFORWARD_ROW2 row;
    InitializeIpForwardEntry(&row);
    row.InterfaceIndex = 7;
    row.DestinationPrefix.Prefix.Ipv6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, BenchAddress(1, i, true).c_str(),
              &row.DestinationPrefix.Prefix.Ipv6.sin6_addr);
    row.DestinationPrefix.PrefixLength = 128;
    row.NextHop.Ipv6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "fe80::1", &row.NextHop.Ipv6.sin6_addr);
    row.SitePrefixLength = 0;
    row.Metric = 1;
    row.Protocol = static_cast<NL_ROUTE_PROTOCOL>(MIB_IPPROTO_NETMGMT);
    return row;
}

int Routes6(int count) {
    const double start = Seconds();
    int failed = 0;
    for (int i = 0; i < count; ++i) {
        const MIB_IPFORWARD_ROW2 row = Bypass6Row(i);
        failed += CreateIpForwardEntry2(&row) == NO_ERROR ? 0 : 1;
    }
    std::printf("%.1f\n", count / (Seconds() - start));
    for (int i = 0; i < count; ++i) {
        const MIB_IPFORWARD_ROW2 row = Bypass6Row(i);
        DeleteIpForwardEntry2(&row);
    }
    return failed == 0 ? 0 : 1;
}

int Scan(int rows, int processes) {
    std::string table;
    for (int i = 0; i < rows; ++i) {
        const int owner = i % processes;
        const DWORD pid = owner == 0 ? GetCurrentProcessId() : 100000 + 4 * owner;
        table += (i % 2 ? "2001:db8:20::" + std::to_string(i) : BenchAddress(2, i)) + " 443 5 " +
                 std::to_string(pid) + "\n";
    }
    std::ofstream(Beside(L"tcp-table.txt").c_str(), std::ios::trunc | std::ios::binary) << table;
    const std::string request =
        "splitapps chrome.exe;gained" + std::to_string(GetTickCount64()) + ".exe\n";
    const double start = Seconds();
    const bool replied = Asks(request);
    std::printf("%.2f\n", (Seconds() - start) * 1000);
    return replied ? 0 : 1;
}

int TcpRead() {
    const double start = Seconds();
    for (ULONG family : {AF_INET, AF_INET6}) {
        DWORD size = 0;
        GetExtendedTcpTable(nullptr, &size, FALSE, family, TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
        std::vector<unsigned char> buffer(size);
        if (GetExtendedTcpTable(buffer.data(), &size, FALSE, family,
                                TCP_TABLE_OWNER_PID_CONNECTIONS, 0) != NO_ERROR) {
            return 1;
        }
    }
    std::printf("%.2f\n", (Seconds() - start) * 1000);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    const int first = argc > 2 ? _wtoi(argv[2]) : 0;
    if (mode == L"ping" || mode == L"status") {
        return Sequential(mode == L"ping" ? "ping\n" : "status\n", first);
    }
    if (mode == L"parallel" && argc > 3) {
        return Parallel(first, _wtoi(argv[3]));
    }
    if (mode == L"handles") {
        return Handles();
    }
    if (mode == L"time" && argc > 2) {
        std::string request;
        for (const wchar_t* c = argv[2]; *c != 0; ++c) {
            request += static_cast<char>(*c);
        }
        orvanta::ClientOptions options;
        options.verifyServer = false;
        const double start = Seconds();
        const orvanta::ClientResult result = orvanta::SendRequest(request + "\n", options);
        std::printf("%.1f %s\n", (Seconds() - start) * 1000, result.reply.c_str());
        return 0;
    }
    if (mode == L"burst" || mode == L"burst6") {
        return Burst(first, mode == L"burst6");
    }
    if (mode == L"routes") {
        return Routes(first);
    }
    if (mode == L"routes6") {
        return Routes6(first);
    }
    if (mode == L"scan") {
        return Scan(first, argc > 3 ? std::max(1, _wtoi(argv[3])) : 50);
    }
    if (mode == L"ahead" && argc > 3) {
        std::string configuration;
        for (const wchar_t* c = argv[3]; *c != 0; ++c) {
            configuration += static_cast<char>(*c);
        }
        return Ahead(first, configuration);
    }
    if (mode == L"tcpread") {
        return TcpRead();
    }
    if (mode == L"stop" && argc > 2) {
        return Stop(argv[2]);
    }
    if ((mode == L"run" && argc > 2) || (mode == L"up" && argc > 3)) {
        const int from = mode == L"up" ? 3 : 2;
        std::wstring commandLine;
        for (int i = from; i < argc; ++i) {
            commandLine += (i > from ? L" " : L"") + std::wstring(argv[i]);
        }
        return Run(commandLine, mode == L"up" ? argv[2] : nullptr);
    }
    std::fprintf(stderr, "usage: see the comment at the top of bench_client.cpp\n");
    return 2;
}
