// The sniffer with the real platform layer, loading the stand-in WinDivert.dll from beside
// this program. The runner starts this program once per library variant, from a directory
// holding that variant, and names the variant as the first argument.
#include <set>
#include <string>

#include "log/helper_log.h"
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

// The first argument names the library variant; its tests carry it as a prefix.
int wmain(int argc, wchar_t** argv) {
    SetLogSink(&AppendToLogFile);  // as the helper's entry point does
    return wine_check::RunMain(argc, argv, "_");
}
