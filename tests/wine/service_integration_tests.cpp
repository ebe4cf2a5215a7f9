// The real OrvantaHelper.exe as a service in Wine's service control manager: install, run,
// stop, uninstall, and the command line's exit codes.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "wine_client.h"
#include "wine_check.h"
#include "wine_support.h"

namespace {

const std::wstring kBuilt = wine_support::ProgramDirectory();
const std::wstring kDir = kBuilt + L"\\service";
const std::wstring kHelper = kDir + L"\\OrvantaHelper.exe";

void StageHelper() {
    CreateDirectoryW(kDir.c_str(), nullptr);
    CreateDirectoryW((kDir + L"\\awg").c_str(), nullptr);
    CopyFileW((kBuilt + L"\\OrvantaHelper.exe").c_str(), kHelper.c_str(), FALSE);
    CopyFileW((kBuilt + L"\\amneziawg.exe").c_str(), (kDir + L"\\awg\\amneziawg.exe").c_str(),
              FALSE);
    CopyFileW((kBuilt + L"\\divert-full\\WinDivert.dll").c_str(),
              (kDir + L"\\WinDivert.dll").c_str(), FALSE);
    wine_support::StageRoutingTable(kDir);
}

DWORD RunHelper(const std::wstring& arguments) {
    wine_support::Child helper(L"\"" + kHelper + L"\"" +
                               (arguments.empty() ? L"" : L" " + arguments));
    return helper.started() ? helper.WaitExit(60000) : 9999;
}

// The current state of a service, or 0 when it cannot be opened.
DWORD ServiceState(const wchar_t* name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, name, SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS status{};
    if (service) {
        QueryServiceStatus(service, &status);
        CloseServiceHandle(service);
    }
    if (manager) {
        CloseServiceHandle(manager);
    }
    return status.dwCurrentState;
}

// Polls until the service reaches the state; returns the milliseconds it took, or -1.
long long WaitForState(const wchar_t* name, DWORD state, DWORD ms) {
    const ULONGLONG start = GetTickCount64();
    while (GetTickCount64() - start < ms) {
        if (ServiceState(name) == state) {
            return static_cast<long long>(GetTickCount64() - start);
        }
        Sleep(1);
    }
    return -1;
}

bool StopService(const wchar_t* name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, name, SERVICE_STOP) : nullptr;
    SERVICE_STATUS status{};
    const bool sent = service && ControlService(service, SERVICE_CONTROL_STOP, &status);
    if (service) {
        CloseServiceHandle(service);
    }
    if (manager) {
        CloseServiceHandle(manager);
    }
    return sent;
}

// Wine's service manager hands services an environment whose ProgramData is C:\users\Public
// (seen with Wine 8), unlike the test's own; the service's log is wherever its environment put it.
std::wstring ServiceLogPath() {
    wchar_t publicDir[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"PUBLIC", publicDir, MAX_PATH);
    const std::wstring underPublic = std::wstring(publicDir, length) + L"\\Orvanta\\helper.log";
    if (length > 0 && GetFileAttributesW(underPublic.c_str()) != INVALID_FILE_ATTRIBUTES) {
        return underPublic;
    }
    return wine_support::DataDirectory() + L"\\helper.log";
}

std::string ServiceLog() {
    std::string bytes;
    wine_support::ReadWholeFile(ServiceLogPath(), bytes);
    return bytes;
}

std::string Ask(const std::string& request) {
    return wine_support::Ask(request, wine_support::Verify::Server);
}

bool InstallAndWaitUntilRunning() {
    StageHelper();
    return RunHelper(L"--install") == 0 &&
           WaitForState(L"OrvantaHelper", SERVICE_RUNNING, 30000) >= 0 &&
           wine_support::WaitForPipe(10000);
}

}  // namespace

WINE_TEST(InstallRegistersStartsAndReinstallOnlyRewrites) {
    DeleteFileW(ServiceLogPath().c_str());  // whichever place it is, the log starts afresh
    CHECK(InstallAndWaitUntilRunning());
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceW(manager, L"OrvantaHelper", SERVICE_QUERY_CONFIG);
    CHECK(service != nullptr);
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    CHECK(QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed));
    CHECK_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
    CHECK_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
    CHECK_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
    CHECK(std::wstring(config->lpBinaryPathName) == L"\"" + kHelper + L"\" --run");
    CHECK(std::wstring(config->lpDisplayName) == L"Orvanta Helper");
    CHECK(std::wstring(config->lpServiceStartName) == L"LocalSystem");
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    CHECK_EQ(Ask("ping\n"), "OK");
    CHECK_EQ(Ask("status\n"), "STOPPED");
    CHECK(ServiceLog().find("  service starting\r\n") != std::string::npos);
    CHECK_EQ(RunHelper(L"--install"), 0ul);
    CHECK_EQ(ServiceState(L"OrvantaHelper"), static_cast<DWORD>(SERVICE_RUNNING));
}

// Polls the service's log until it holds `part` after `offset`, at most `ms`.
bool ServiceLogGains(size_t offset, const std::string& part, DWORD ms) {
    for (const ULONGLONG deadline = GetTickCount64() + ms; GetTickCount64() < deadline; Sleep(50)) {
        if (ServiceLog().find(part, offset) != std::string::npos) {
            return true;
        }
    }
    return false;
}

WINE_TEST(StopIsQuickStopsTheSnifferLeavesTheTunnelUpAndARestartSplitsAgain) {
    CHECK(InstallAndWaitUntilRunning());
    const size_t logStart = ServiceLog().size();
    CHECK_EQ(Ask("splitapps Chrome.exe\n"), "OK");
    CHECK_EQ(Ask(orvanta::BuildConnectRequest("[Interface]\n")), "OK");
    const ULONGLONG start = GetTickCount64();
    CHECK(StopService(L"OrvantaHelper"));  // no client connects and no socket event arrives now
    CHECK(WaitForState(L"OrvantaHelper", SERVICE_STOPPED, 10000) >= 0);
    const ULONGLONG stopMs = GetTickCount64() - start;
    std::printf("  stopped %llu ms after the stop request\n", stopMs);
    CHECK(stopMs < 500);
    const std::string log = ServiceLog().substr(logStart);
    CHECK(log.find("  WinDivert sniffer stopped\r\n") < log.find("  service stopping\r\n"));
    CHECK(log.find("  service stopping\r\n") != std::string::npos);
    CHECK_EQ(ServiceState(L"AmneziaWGTunnel$Orvanta"), static_cast<DWORD>(SERVICE_RUNNING));

    const size_t restart = ServiceLog().size();
    CHECK(RunHelper(L"--install") == 0);  // starts it again; no new connect follows
    CHECK(ServiceLogGains(restart, "  WinDivert socket sniffer started\r\n", 30000));
    CHECK_EQ(Ask("status\n"), "RUNNING");
    CHECK(StopService(L"OrvantaHelper"));
    CHECK(WaitForState(L"OrvantaHelper", SERVICE_STOPPED, 10000) >= 0);
    wine_support::Child uninstall(L"\"" + kDir +
                                  L"\\awg\\amneziawg.exe\" /uninstalltunnelservice Orvanta");
    uninstall.WaitExit(30000);
}

// A stop lets the request in hand finish: a request sent in pieces across the stop gets its
// whole reply, and so does a client that reads its reply only after the stop; the service
// stops once they are served.
WINE_TEST(StopDuringAReadOrAReplyServesTheRequestInHand) {
    for (const bool splitAcrossTheStop : {true, false}) {
        CHECK(InstallAndWaitUntilRunning());
        HANDLE client = wine_support::OpenPipe(10000);
        CHECK(client != INVALID_HANDLE_VALUE);
        DWORD count = 0;
        const char* before = splitAcrossTheStop ? "pi" : "ping\n";
        WriteFile(client, before, static_cast<DWORD>(std::strlen(before)), &count, nullptr);
        Sleep(100);  // the helper reads what came so far
        const ULONGLONG start = GetTickCount64();
        CHECK(StopService(L"OrvantaHelper"));
        CHECK_EQ(ServiceState(L"OrvantaHelper"), static_cast<DWORD>(SERVICE_STOP_PENDING));
        if (splitAcrossTheStop) {
            WriteFile(client, "ng\n", 3, &count, nullptr);
        }
        char reply[16] = {};
        CHECK(ReadFile(client, reply, sizeof(reply) - 1, &count, nullptr));
        CHECK_EQ(std::string(reply, count), "OK\n");
        CloseHandle(client);
        CHECK(WaitForState(L"OrvantaHelper", SERVICE_STOPPED, 10000) >= 0);
        std::printf("  stopped %llu ms after the stop request, request %s\n",
                    GetTickCount64() - start,
                    splitAcrossTheStop ? "split across it" : "sent before");
    }
}

bool StartByName(const wchar_t* name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, name, SERVICE_START) : nullptr;
    const bool started = service && StartServiceW(service, 0, nullptr);
    if (service) {
        CloseServiceHandle(service);
    }
    if (manager) {
        CloseServiceHandle(manager);
    }
    return started;
}

// Ends the helper's service process as a crash would: nothing of its own runs.
bool CrashHelper() {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager ? OpenServiceW(manager, L"OrvantaHelper", SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    const bool queried =
        service && QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO,
                                        reinterpret_cast<BYTE*>(&status), sizeof(status), &needed);
    if (service) {
        CloseServiceHandle(service);
    }
    if (manager) {
        CloseServiceHandle(manager);
    }
    HANDLE process =
        queried ? OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId) : nullptr;
    const bool ended = process && TerminateProcess(process, 3) &&
                       WaitForSingleObject(process, 10000) == WAIT_OBJECT_0;
    if (process) {
        CloseHandle(process);
    }
    return ended;
}

size_t Lines(const std::wstring& file) {
    std::string bytes;
    wine_support::ReadWholeFile(file, bytes);
    return static_cast<size_t>(std::count(bytes.begin(), bytes.end(), '\n'));
}

// Polls until the file holds `lines` lines, at most 30 s.
bool ReachesLines(const std::wstring& file, size_t lines) {
    for (const ULONGLONG deadline = GetTickCount64() + 30000; GetTickCount64() < deadline;
         Sleep(20)) {
        if (Lines(file) >= lines) {
            return true;
        }
    }
    return false;
}

// A crash, then a reboot: Windows forgets the helper's routes, and both services start in no
// fixed order, the tunnel running only seconds after the helper. Splitting comes back once the
// tunnel runs, and an address routed before the crash is routed again.
WINE_TEST(SplittingComesBackAfterACrashAndARebootWithASlowTunnel) {
    CHECK(InstallAndWaitUntilRunning());
    const std::wstring journal = kDir + L"\\routes-journal.txt";
    const std::wstring events = kDir + L"\\divert-events.txt";
    wine_support::WriteWholeFile(events, "");
    wine_support::Child chrome(L"\"" + kBuilt + L"\\apps\\Chrome.exe\"");
    const std::string connect = "4 " + std::to_string(chrome.id()) + " 192.0.2.10\n";
    CHECK_EQ(Ask("splitapps Chrome.exe\n"), "OK");
    CHECK_EQ(Ask(orvanta::BuildConnectRequest("[Interface]\n")), "OK");
    wine_support::AppendToFile(events, connect);
    CHECK(ReachesLines(journal, 1));

    CHECK(CrashHelper());  // Wine's service manager goes on reporting it running; Windows would not
    CHECK(StopService(L"AmneziaWGTunnel$Orvanta"));  // the machine goes down
    CHECK(WaitForState(L"AmneziaWGTunnel$Orvanta", SERVICE_STOPPED, 10000) >= 0);
    DeleteFileW((kDir + L"\\routes-live.txt").c_str());  // and forgets every route made
    wine_support::WriteWholeFile(events, "");
    wine_support::WriteWholeFile(kDir + L"\\awg\\amneziawg-knobs.txt", "start_delay_ms=3000\n");

    const size_t logStart = ServiceLog().size();
    CHECK(StartByName(L"OrvantaHelper"));
    CHECK(wine_support::WaitForPipe(10000));
    CHECK(StartByName(L"AmneziaWGTunnel$Orvanta"));
    CHECK(ServiceLogGains(logStart, "per-app split resumed\r\n", 30000));
    wine_support::AppendToFile(events, connect);
    CHECK(ReachesLines(journal, 2));
    std::string routes;
    wine_support::ReadWholeFile(journal, routes);
    CHECK(routes.find("create2 192.0.2.10") != routes.rfind("create2 192.0.2.10"));
    CHECK_EQ(Ask("status\n"), "RUNNING");

    wine_support::WriteWholeFile(kDir + L"\\awg\\amneziawg-knobs.txt", "");
    CHECK_EQ(Ask("disconnect\n"), "OK");
    CHECK_EQ(RunHelper(L"--uninstall"), 0ul);
    CHECK(WaitForState(L"OrvantaHelper", 0, 30000) >= 0);
}

WINE_TEST(UninstallRemovesTheServiceAndIsFineWhenItIsGone) {
    CHECK(InstallAndWaitUntilRunning());
    CHECK_EQ(RunHelper(L"--uninstall"), 0ul);
    CHECK(WaitForState(L"OrvantaHelper", 0, 30000) >= 0);
    CHECK_EQ(RunHelper(L"--uninstall"), 0ul);
}

WINE_TEST(HandStartWithoutAnOptionExitsWithOne) {
    StageHelper();
    CHECK_EQ(RunHelper(L""), 1ul);
}

// A pipe of the helper's name served by some other process: the client sends it nothing.
void CheckClientRefusesARogueInstance() {
    std::string received;
    std::thread rogue([&received] {
        HANDLE pipe = CreateNamedPipeW(L"\\\\.\\pipe\\OrvantaHelper", PIPE_ACCESS_DUPLEX, 0,
                                       PIPE_UNLIMITED_INSTANCES, 8192, 8192, 0, nullptr);
        for (int client = 0; client < 2; ++client) {
            ConnectNamedPipe(pipe, nullptr);
            char buffer[64];
            DWORD count = 0;
            while (ReadFile(pipe, buffer, sizeof(buffer), &count, nullptr) && count > 0) {
                received.append(buffer, count);
                if (received.back() == '\n') {
                    WriteFile(pipe, "OK\n", 3, &count, nullptr);
                    FlushFileBuffers(pipe);
                }
            }
            DisconnectNamedPipe(pipe);
        }
        CloseHandle(pipe);
    });
    orvanta::ClientOptions options;
    options.waitMs = 10000;
    const orvanta::ClientResult refused = orvanta::SendRequest("connect c2VjcmV0\n", options);
    CHECK(refused.status == orvanta::ClientStatus::Untrusted);
    CHECK_EQ(refused.serverProcessId, static_cast<uint32_t>(GetCurrentProcessId()));
    options.verifyServer = false;
    const orvanta::ClientResult sent = orvanta::SendRequest("ping\n", options);
    rogue.join();
    CHECK_EQ(sent.reply, "OK");
    CHECK_EQ(received, "ping\n");  // the refused request never reached it
}

WINE_TEST(ClientRefusesAPipeServedByAnotherProcess) {
    CheckClientRefusesARogueInstance();
}

// Beside the running service no process can add an instance of the pipe, not even while a
// client holds the one being served: the service's only instance allows no other.
WINE_TEST(NoExtraInstanceCanBeMadeBesideTheRunningService) {
    CHECK(InstallAndWaitUntilRunning());
    HANDLE silent = wine_support::OpenPipe(10000);  // holds the instance being served
    CHECK(silent != INVALID_HANDLE_VALUE);
    CHECK(CreateNamedPipeW(L"\\\\.\\pipe\\OrvantaHelper", PIPE_ACCESS_DUPLEX, 0,
                           PIPE_UNLIMITED_INSTANCES, 8192, 8192, 0,
                           nullptr) == INVALID_HANDLE_VALUE);
    CHECK_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));
    CloseHandle(silent);
    CHECK_EQ(RunHelper(L"--uninstall"), 0ul);
}

int wmain(int argc, wchar_t** argv) {
    return wine_check::RunMain(argc, argv);
}
