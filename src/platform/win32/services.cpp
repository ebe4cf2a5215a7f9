#include <windows.h>

#include <vector>

#include "platform/platform.h"
#include "platform/win32/win32_handle.h"

namespace platform {

using win32::UniqueServiceHandle;

namespace {

bool StartsAutomatically(SC_HANDLE service) {
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);  // asks for the size
    if (needed == 0) {
        return false;
    }
    std::vector<unsigned char> buffer(needed);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    return QueryServiceConfigW(service, config, needed, &needed) &&
           config->dwStartType == SERVICE_AUTO_START;
}

}  // namespace

ServiceProbe ProbeService(const std::wstring& name, bool readStatus, bool readStartType) {
    ServiceProbe probe;
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    probe.managerOpened = static_cast<bool>(manager);
    if (!manager) {
        return probe;
    }
    const DWORD access = SERVICE_QUERY_STATUS | (readStartType ? SERVICE_QUERY_CONFIG : 0);
    UniqueServiceHandle service(OpenServiceW(manager.get(), name.c_str(), access));
    probe.serviceOpened = static_cast<bool>(service);
    if (service && readStatus) {
        SERVICE_STATUS status{};
        probe.statusRead = QueryServiceStatus(service.get(), &status) != FALSE;
        probe.currentState = status.dwCurrentState;
    }
    if (service && readStartType) {
        probe.startsAutomatically = StartsAutomatically(service.get());
    }
    return probe;
}

}  // namespace platform
