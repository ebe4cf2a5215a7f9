// The sniffer with the real platform layer, loading the stand-in WinDivert.dll from beside
// this program. The runner starts this program once per library variant, from a directory
// holding that variant, and names the variant as the first argument. The stand-in iphlpapi.dll
// beside it is the one this program loads, so its IPv6 routes are checked here too.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <cstdio>
#include <set>
#include <string>

#include "log/helper_log.h"
#include "platform/windivert_types.h"
#include "split/process_identifier.h"
#include "split/split_apps.h"
#include "split/split_state.h"
#include "wine_check.h"
#include "wine_support.h"

namespace {

const std::wstring kDir = wine_support::ProgramDirectory();

uint32_t NetworkOrder(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return a | (b << 8) | (c << 16) | (uint32_t{d} << 24);
}

std::set<uint32_t> Routes() {
    std::lock_guard<std::mutex> lock(StateMutex);
    return BypassRouteSet;
}

void FeedEvent(unsigned event, DWORD pid, const char* address) {
    wine_support::AppendToFile(
        kDir + L"\\divert-events.txt",
        std::to_string(event) + " " + std::to_string(pid) + " " + address + "\n");
}

bool RouteArrives(uint32_t address, DWORD ms) {
    const ULONGLONG deadline = GetTickCount64() + ms;
    while (GetTickCount64() < deadline) {
        if (Routes().count(address) > 0) {
            return true;
        }
        Sleep(10);
    }
    return false;
}

void PrepareSniffer() {
    {
        std::lock_guard<std::mutex> lock(StateMutex);
        SplitAppSet = {L"chrome.exe"};
    }
    // The physical route comes from the stand-in routing table beside this program.
    wine_support::StageRoutingTable(kDir);
}

// A listed program's connect adds a route; an unlisted one's (fed first) does not.
void CheckListedConnectAddsARoute() {
    wine_support::Child chrome(L"\"" + kDir + L"\\apps\\Chrome.exe\"");
    CHECK(chrome.started());
    PrepareSniffer();
    const size_t before = wine_support::HelperLogSize();
    StartSniffer();
    FeedEvent(4, GetCurrentProcessId(), "192.0.2.11");
    FeedEvent(4, chrome.id(), "192.0.2.10");
    CHECK(RouteArrives(NetworkOrder(192, 0, 2, 10), 10000));
    CHECK(Routes() == std::set<uint32_t>{NetworkOrder(192, 0, 2, 10)});

    const ULONGLONG start = GetTickCount64();
    StopSniffer();  // no event arrives now: the stop must wake the receive itself
    const ULONGLONG stopMs = GetTickCount64() - start;
    std::printf("  stop took %llu ms\n", stopMs);
    CHECK(stopMs < 100);
    CHECK(Routes().empty());
    const std::string logged = wine_support::HelperLogSince(before);
    CHECK(logged.find("  WinDivert socket sniffer started\r\n") != std::string::npos);
    CHECK(logged.find("  WinDivert sniffer stopped\r\n") != std::string::npos);
    std::string openRecord;
    wine_support::ReadWholeFile(kDir + L"\\divert-open.txt", openRecord);
    CHECK_EQ(openRecord, "true 3 0 5\n");
}

void CheckGivesUpWith(const char* line) {
    PrepareSniffer();
    const size_t before = wine_support::HelperLogSize();
    StartSniffer();
    StopSniffer();
    CHECK(wine_support::HelperLogSince(before).find(std::string("  ") + line + "\r\n") !=
          std::string::npos);
}

std::string Words(const uint32_t (&words)[4], bool ipv6) {
    char text[64];
    std::snprintf(text, sizeof text, "%08x %08x %08x %08x%s", words[0], words[1], words[2],
                  words[3], ipv6 ? " ipv6" : "");
    return text;
}

}  // namespace

// The stand-in WinDivert.dll gives a remote address as WinDivert does: four host-order words,
// word 3 the most significant, an IPv4 address as ::ffff:a.b.c.d, the IPv6 flag for the family.
WINE_TEST(full_DivertStandInGivesAddressesAsWinDivertDoes) {
    const HMODULE divert = LoadLibraryW((kDir + L"\\WinDivert.dll").c_str());
    const auto open = reinterpret_cast<platform::DivertOpenFn>(
        reinterpret_cast<void*>(GetProcAddress(divert, "WinDivertOpen")));
    const auto recv = reinterpret_cast<platform::DivertRecvFn>(
        reinterpret_cast<void*>(GetProcAddress(divert, "WinDivertRecv")));
    const auto shutdown = reinterpret_cast<platform::DivertShutdownFn>(
        reinterpret_cast<void*>(GetProcAddress(divert, "WinDivertShutdown")));
    CHECK(open != nullptr && recv != nullptr && shutdown != nullptr);
    if (open == nullptr || recv == nullptr || shutdown == nullptr) {
        return;
    }
    struct Case {
        const char* address;
        uint32_t words[4];
        bool ipv6;
    };
    const Case cases[] = {
        {"2001:db8::a:1", {0x000A0001, 0, 0, 0x20010DB8}, true},
        {"192.0.2.1", {0xC0000201, 0xFFFF, 0, 0}, false},
        {"192.0.2.1 ipv6", {0xC0000201, 0xFFFF, 0, 0}, true},  // a dual-stack socket's connect
    };
    const platform::DivertHandle handle = open("true", 3, 0, 5);
    for (const Case& each : cases) {
        FeedEvent(4, 1, each.address);
    }
    shutdown(handle, platform::kDivertShutdownRecv);  // what is queued is still received
    for (const Case& each : cases) {
        platform::DivertAddress got{};
        CHECK(recv(handle, nullptr, 0, nullptr, &got));
        CHECK_EQ(each.address + std::string(" ") + Words(got.remoteAddr, DivertIsIPv6(got)),
                 each.address + std::string(" ") + Words(each.words, each.ipv6));
    }
    FreeLibrary(divert);
}

// The stand-in refuses what Windows refuses of a new IPv6 route, keeps the one it makes under its
// interface's LUID and offset metric, and deletes it once.
WINE_TEST(full_RoutingStandInMakesIpv6RoutesAsWindowsDoes) {
    wine_support::WriteWholeFile(kDir + L"\\routes6-metrics.txt", "7 25\n");
    wine_support::WriteWholeFile(kDir + L"\\routes6-table.txt", "::/0 fe80::1 7 256\n");
    DeleteFileW((kDir + L"\\routes6-live.txt").c_str());
    MIB_IPFORWARD_ROW2 row;
    InitializeIpForwardEntry(&row);
    row.DestinationPrefix.Prefix.Ipv6.sin6_family = AF_INET6;
    inet_pton(AF_INET6, "2001:db8::", &row.DestinationPrefix.Prefix.Ipv6.sin6_addr);
    row.NextHop.Ipv6.sin6_family = AF_INET6;  // on-link: ::
    constexpr int kNetMgmt = MIB_IPPROTO_NETMGMT;
    // The first three each leave one member as InitializeIpForwardEntry left it.
    const struct {
        const char* what;
        UCHAR sitePrefixLength;
        ULONG metric;
        int protocol;
        UINT8 prefixLength;
        NET_IFINDEX ifIndex;
        DWORD expected;
    } steps[] = {
        {"site prefix unset", 0xFF, 5, kNetMgmt, 32, 7, ERROR_INVALID_PARAMETER},
        {"protocol unset", 0, 5, -1, 32, 7, ERROR_INVALID_PARAMETER},
        {"metric unset", 0, 0xFFFFFFFF, kNetMgmt, 32, 7, ERROR_INVALID_PARAMETER},
        {"all set", 0, 5, kNetMgmt, 32, 7, NO_ERROR},
        {"again", 0, 5, kNetMgmt, 32, 7, ERROR_OBJECT_ALREADY_EXISTS},
        {"host bits", 0, 5, kNetMgmt, 16, 7, ERROR_INVALID_PARAMETER},
        {"no IPv6 there", 0, 5, kNetMgmt, 32, 9, ERROR_NOT_FOUND},
    };
    for (const auto& step : steps) {
        row.SitePrefixLength = step.sitePrefixLength;
        row.Metric = step.metric;
        row.Protocol = static_cast<NL_ROUTE_PROTOCOL>(step.protocol);
        row.DestinationPrefix.PrefixLength = step.prefixLength;
        row.InterfaceIndex = step.ifIndex;
        CHECK_EQ(step.what + std::to_string(CreateIpForwardEntry2(&row)),
                 step.what + std::to_string(step.expected));
    }
    PMIB_IPFORWARD_TABLE2 table = nullptr;
    CHECK_EQ(GetIpForwardTable2(AF_INET6, &table), DWORD{NO_ERROR});
    CHECK(table != nullptr && table->NumEntries == 2);
    if (table != nullptr && table->NumEntries == 2) {
        NET_IFINDEX ifIndex = 0;
        CHECK_EQ(ConvertInterfaceLuidToIndex(&table->Table[1].InterfaceLuid, &ifIndex),
                 DWORD{NO_ERROR});
        CHECK_EQ(ifIndex, NET_IFINDEX{7});
        CHECK_EQ(table->Table[1].Metric, ULONG{5});
    }
    FreeMibTable(table);
    row.InterfaceIndex = 7;
    CHECK_EQ(DeleteIpForwardEntry2(&row), DWORD{NO_ERROR});
    CHECK_EQ(DeleteIpForwardEntry2(&row), DWORD{ERROR_NOT_FOUND});
}

WINE_TEST(full_ProcessImageNameOfRealProcesses) {
    wine_support::Child chrome(L"\"" + kDir + L"\\apps\\Chrome.exe\"");
    wine_support::Child uber(L"\"" + kDir + L"\\apps\\\u00DCBER.EXE\"");
    CHECK(chrome.started() && uber.started());
    CHECK(ProcessImageName(chrome.id()) == L"chrome.exe");
    CHECK(ProcessImageName(uber.id()) == L"\u00DCber.exe");
    CHECK(ProcessImageName(0).empty());
    CHECK(ProcessImageName(4).empty());
}

WINE_TEST(full_ListedConnectAddsARouteAndTheStopWakesTheSniffer) {
    CheckListedConnectAddsARoute();
}

WINE_TEST(no_format_ListedConnectAddsARouteWithoutTheFormattingHelper) {
    CheckListedConnectAddsARoute();
}

WINE_TEST(no_recv_MissingReceiveExportDisablesSplitting) {
    CheckGivesUpWith("WinDivert exports missing; per-app split disabled");
}

WINE_TEST(open_fails_FailedOpenIsLoggedWithItsErrorCode) {
    CheckGivesUpWith("WinDivertOpen failed err=5");
}

WINE_TEST(none_MissingLibraryDisablesSplitting) {
    CheckGivesUpWith("WinDivert.dll not loaded; per-app split disabled");
}

// The first argument names the library variant; its tests carry it as a prefix.
int wmain(int argc, wchar_t** argv) {
    SetLogSink(&AppendToLogFile);  // as the helper's entry point does
    return wine_check::RunMain(argc, argv, "_");
}
