// The sniffer with the real platform layer, loading the stand-in WinDivert.dll from beside
// this program. The runner starts this program once per library variant, from a directory
// holding that variant, and names the variant as the first argument.
#include <atomic>
#include <set>
#include <string>

#include "log/helper_log.h"
#include "platform/routes.h"
#include "split/physical_route.h"
#include "split/process_identifier.h"
#include "split/route_family.h"
#include "split/route_manager.h"
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
    return TheSplitState().Snapshot().bypassRoutes;
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
    TheSplitState().Apply([](SplitParts& parts, LogLines&) {
        parts.apps = {L"chrome.exe"};
        return Saving::None;
    });
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

}  // namespace

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

// None beside this program: the copy the runner put in the system directory is the one loaded.
WINE_TEST(system_CopyInTheSystemDirectoryIsLoaded) {
    CheckGivesUpWith("WinDivertOpen failed err=5");
}

// The routing stand-in refuses of an IPv4 row made through the row-2 calls what Windows refuses,
// keeps each row's own metric when the interface's falls, and reports an address's change.
WINE_TEST(full_RoutingStandInKeepsOwnMetricsAndReportsAddresses) {
    using namespace platform;
    wine_support::SetInterfaceMetrics(kDir, "7 25\n");
    wine_support::WriteWholeFile(kDir + L"\\routes-table.txt", "0.0.0.0 0.0.0.0 10.0.0.1 7 35\n");
    DeleteFileW((kDir + L"\\routes-live.txt").c_str());
    const uint32_t host = NetworkOrder(198, 51, 100, 7);
    const struct {
        const char* what;
        uint8_t prefixLength;
        uint32_t ifIndex, expected;
    } steps[] = {{"made", 32, 7, 0},          {"again", 32, 7, kErrorRouteExists},
                 {"host bits", 24, 7, 87},    {"past 32 bits", 33, 7, 87},
                 {"no interface", 32, 0, 87}, {"no IPv4 there", 32, 9, kErrorRouteNotFound}};
    for (const auto& step : steps) {
        const Forward4Row row{host, step.prefixLength, NetworkOrder(10, 0, 0, 1),
                              0,    step.ifIndex,      3};
        CHECK_EQ(step.what + std::to_string(CreateForward4Entry(row)),
                 step.what + std::to_string(step.expected));
    }
    ForwardRow legacy{NetworkOrder(203, 0, 113, 9), ~0u, 0, NetworkOrder(10, 0, 0, 1), 7, 4, 3};
    legacy.metric1 = 60;
    CHECK_EQ(CreateForwardEntry(legacy), 0u);
    wine_support::SetInterfaceMetrics(kDir, "7 5\n");
    std::vector<Forward4Row> rows;
    CHECK(ReadIpv4ForwardTable2(rows) == RouteTableRead::Ok);
    std::string metrics;
    for (const Forward4Row& row : rows) {
        metrics += std::to_string(row.metric) + (row.luid != 0 ? " " : "(no LUID) ");
    }
    CHECK_EQ(metrics, "30 3 35 ");  // the system's row: made at the interface's current metric
    const Forward4Row made{host, 32, NetworkOrder(10, 0, 0, 1), 0, 7, 3};
    CHECK_EQ(DeleteForward4Entry(made), 0u);
    CHECK_EQ(DeleteForward4Entry(made), kErrorRouteNotFound);

    const std::wstring addresses = kDir + L"\\addresses-table.txt";
    wine_support::WriteWholeFile(addresses, "10.0.0.20/24 7\n2001:db8::20/64 7 1\n");
    static std::atomic<uint32_t> changedInterface{0};
    AddressWatch* watch = nullptr;
    CHECK_EQ(WatchUnicastAddresses([](uint32_t ifIndex) { changedInterface = ifIndex; }, watch),
             0u);
    std::vector<UnicastAddress> got;
    CHECK(ReadUnicastAddresses(got) == RouteTableRead::Ok && got.size() == 2);
    CHECK(got.size() == 2 && got[1].ipv6 && got[1].address6[15] == 0x20 &&
          got[1].prefixLength == 64 && got[1].ifIndex == 7 && got[1].luid != 0 &&
          got[1].dadState == kDadStateTentative && got[0].dadState == kDadStatePreferred);
    wine_support::WriteWholeFile(addresses, "10.0.0.20/24 7\n2001:db8::20/64 7 4\n");
    const ULONGLONG deadline = GetTickCount64() + 10000;
    while (changedInterface == 0 && GetTickCount64() < deadline) {
        Sleep(10);
    }
    StopWatchingAddresses(watch);
    CHECK_EQ(changedInterface.load(), 7u);  // the end of duplicate address detection
    DeleteFileW(addresses.c_str());
    DeleteFileW((kDir + L"\\routes-live.txt").c_str());
}

// A burst of connects past the cap leaves at most the cap of marked rows in the stand-in's table.
WINE_TEST(full_BurstPastTheCapLeavesAtMostTheCapInTheTable) {
    wine_support::StageRoutingTable(kDir);
    DeleteFileW((kDir + L"\\routes-live.txt").c_str());
    RecordPhysicalDefaultRoute();
    for (uint32_t n = 1; n <= kMaxBypassRoutesPerFamily + 4; ++n) {
        AddBypassRoute(NetworkOrder(198, 18, static_cast<uint8_t>(n >> 8), n & 0xFF));
    }
    std::vector<platform::Forward4Row> rows;
    CHECK(platform::ReadIpv4ForwardTable2(rows) == platform::RouteTableRead::Ok);
    size_t marked = 0;
    for (const platform::Forward4Row& row : rows) {
        marked += row.prefixLength == 32 && row.metric == kBypassRouteMark ? 1 : 0;
    }
    CHECK_EQ(marked, kMaxBypassRoutesPerFamily);
    RemoveAllBypassRoutes();
    DeleteFileW((kDir + L"\\routes-live.txt").c_str());
}

// The first argument names the library variant; its tests carry it as a prefix.
int wmain(int argc, wchar_t** argv) {
    SetLogSink(&AppendToLogFile);  // as the helper's entry point does
    return wine_check::RunMain(argc, argv, "_");
}
