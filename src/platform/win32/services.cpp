#include <windows.h>

#include "platform/platform.h"
#include "platform/win32/win32_handle.h"

namespace platform {

using win32::UniqueServiceHandle;

ServiceProbe ProbeService(const std::wstring& name, bool readStatus) {
    ServiceProbe probe;
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    probe.managerOpened = static_cast<bool>(manager);
    if (!manager) {
        return probe;
    }
    UniqueServiceHandle service(OpenServiceW(manager.get(), name.c_str(), SERVICE_QUERY_STATUS));
    probe.serviceOpened = static_cast<bool>(service);
    if (service && readStatus) {
        SERVICE_STATUS status{};
        probe.statusRead = QueryServiceStatus(service.get(), &status) != FALSE;
        probe.currentState = status.dwCurrentState;
    }
    return probe;
}

}  // namespace platform
