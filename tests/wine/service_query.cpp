// Prints how the service manager has a service registered, one "name=value" a line, for the
// installer test: state, type, start, error control, account, display name and command line.
// Exit code 1 when the service cannot be opened.
#include <windows.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service =
        manager != nullptr && argc > 1
            ? OpenServiceW(manager, argv[1], SERVICE_QUERY_CONFIG | SERVICE_QUERY_STATUS)
            : nullptr;
    if (service == nullptr) {
        return 1;
    }
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    SERVICE_STATUS status{};
    if (!QueryServiceConfigW(service, config, static_cast<DWORD>(buffer.size()), &needed) ||
        !QueryServiceStatus(service, &status)) {
        return 1;
    }
    std::printf("state=%lu\ntype=%lu\nstart=%lu\nerror=%lu\n", status.dwCurrentState,
                config->dwServiceType, config->dwStartType, config->dwErrorControl);
    std::printf("account=%ls\ndisplay=%ls\ncommand=%ls\n", config->lpServiceStartName,
                config->lpDisplayName, config->lpBinaryPathName);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return 0;
}
