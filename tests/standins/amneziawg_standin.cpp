// Stand-in for amneziawg.exe in the integration tests. It keeps the contract the helper relies
// on: "/installtunnelservice "PATH"" creates and starts the service AmneziaWGTunnel$<base name>
// (this program again, in service mode, set to start with the machine as the real one is),
// "/uninstalltunnelservice NAME" stops and deletes it.
// Every call is appended to amneziawg-journal.txt beside it. Knobs come from
// amneziawg-knobs.txt beside it, one "name=value" a line:
//   fail_installs=N     the first N installs fail (counted in amneziawg-state.txt)
//   fail_exit_code=C    exit code of a failed install (default 1)
//   hang_ms=N           sleep this long before doing anything (past the runner's limit)
//   start_delay_ms=N    the service reports running only after this delay
//   never_running=1     the service never leaves the start-pending state
//   uninstall_exit_code=C
#include <windows.h>

#include <cstdio>
#include <fstream>
#include <map>
#include <string>

namespace {

std::wstring Beside(const wchar_t* name) {
    wchar_t path[MAX_PATH * 4];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    std::wstring text(path, length);
    return text.substr(0, text.find_last_of(L"\\/") + 1) + name;
}

std::map<std::string, long> ReadKnobs() {
    std::map<std::string, long> knobs;
    std::ifstream file(Beside(L"amneziawg-knobs.txt").c_str());
    std::string line;
    while (std::getline(file, line)) {
        const size_t equals = line.find('=');
        if (equals != std::string::npos) {
            knobs[line.substr(0, equals)] = std::strtol(line.c_str() + equals + 1, nullptr, 10);
        }
    }
    return knobs;
}

long Knob(const char* name, long fallback = 0) {
    const auto knobs = ReadKnobs();
    const auto found = knobs.find(name);
    return found == knobs.end() ? fallback : found->second;
}

void Journal(const std::wstring& line) {
    FILE* file = _wfopen(Beside(L"amneziawg-journal.txt").c_str(), L"ab");
    if (file == nullptr) {
        return;
    }
    const int size =
        WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string bytes(size > 0 ? size - 1 : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, bytes.data(), size, nullptr, nullptr);
    std::fprintf(file, "%s\n", bytes.c_str());
    std::fclose(file);
}

int NextInstallNumber() {
    const std::wstring path = Beside(L"amneziawg-state.txt");
    int count = 0;
    std::ifstream(path.c_str()) >> count;
    std::ofstream(path.c_str(), std::ios::trunc) << (count + 1);
    return count + 1;
}

std::wstring BaseNameWithoutExtension(std::wstring path) {
    if (path.size() >= 2 && path.front() == L'"' && path.back() == L'"') {
        path = path.substr(1, path.size() - 2);
    }
    path = path.substr(path.find_last_of(L"\\/") + 1);
    return path.substr(0, path.find_last_of(L'.'));
}

// The first service start in a fresh Wine prefix can outlast Wine's start time-out while the
// prefix's own services come up, so a timed-out start is tried again.
bool StartTunnelService(SC_HANDLE service) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (StartServiceW(service, 0, nullptr) || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING) {
            return true;
        }
        Journal(L"start failed, error " + std::to_wstring(GetLastError()));
        Sleep(200);
    }
    return false;
}

int Install(const std::wstring& configPath) {
    if (NextInstallNumber() <= Knob("fail_installs")) {
        return static_cast<int>(Knob("fail_exit_code", 1));
    }
    const std::wstring name = L"AmneziaWGTunnel$" + BaseNameWithoutExtension(configPath);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        return 10;
    }
    const std::wstring binary = L"\"" + Beside(L"amneziawg.exe") + L"\" /service " + name;
    SC_HANDLE service =
        CreateServiceW(manager, name.c_str(), name.c_str(), SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                       binary.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (service == nullptr) {
        service = OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS);
    }
    const bool started = service != nullptr && StartTunnelService(service);
    if (service != nullptr) {
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return started ? 0 : 11;
}

int Uninstall(const std::wstring& tunnelName) {
    const std::wstring name = L"AmneziaWGTunnel$" + tunnelName;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager != nullptr) {
        SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_ALL_ACCESS);
        if (service != nullptr) {
            SERVICE_STATUS status{};
            ControlService(service, SERVICE_CONTROL_STOP, &status);
            DeleteService(service);
            CloseServiceHandle(service);
        }
        CloseServiceHandle(manager);
    }
    return static_cast<int>(Knob("uninstall_exit_code"));
}

// ---- service mode: the tunnel service itself ----

SERVICE_STATUS_HANDLE statusHandle = nullptr;
HANDLE stopEvent = nullptr;

void Report(DWORD state) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_STOPPED ? 0 : SERVICE_ACCEPT_STOP;
    status.dwWaitHint = 60000;
    SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        Report(SERVICE_STOP_PENDING);
        SetEvent(stopEvent);
    }
    return NO_ERROR;
}

void WINAPI TunnelServiceMain(DWORD, LPWSTR* argv) {
    statusHandle = RegisterServiceCtrlHandlerExW(argv[0], Handler, nullptr);
    stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Report(SERVICE_START_PENDING);
    const bool neverRunning = Knob("never_running") != 0;
    if (!neverRunning &&
        WaitForSingleObject(stopEvent, static_cast<DWORD>(Knob("start_delay_ms"))) ==
            WAIT_TIMEOUT) {
        Report(SERVICE_RUNNING);
    }
    WaitForSingleObject(stopEvent, INFINITE);
    Report(SERVICE_STOPPED);
}

int RunService(const std::wstring& name) {
    static std::wstring serviceName = name;
    SERVICE_TABLE_ENTRYW table[] = {{serviceName.data(), TunnelServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 12;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 3 && std::wstring(argv[1]) == L"/service") {
        return RunService(argv[2]);
    }
    Journal(GetCommandLineW());
    if (const long hang = Knob("hang_ms"); hang > 0) {
        Sleep(static_cast<DWORD>(hang));
    }
    if (argc == 3 && std::wstring(argv[1]) == L"/installtunnelservice") {
        return Install(argv[2]);
    }
    if (argc == 3 && std::wstring(argv[1]) == L"/uninstalltunnelservice") {
        return Uninstall(argv[2]);
    }
    return 2;
}
