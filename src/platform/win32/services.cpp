#include <windows.h>

#include <vector>

#include "platform/services.h"
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

ServiceMainFunction serviceMain = nullptr;
ServiceHandlerFunction serviceHandler = nullptr;

void WINAPI ServiceMainEntry(DWORD argc, LPWSTR* argv) {
    serviceMain(argc, argv);
}

DWORD WINAPI ServiceHandlerEntry(DWORD control, DWORD eventType, void* eventData, void* context) {
    return serviceHandler(control, eventType, eventData, context);
}

SC_HANDLE Native(ScmHandle* handle) {
    return reinterpret_cast<SC_HANDLE>(handle);
}

uint32_t Opened(SC_HANDLE handle, ScmHandle*& out) {
    if (handle == nullptr) {
        return GetLastError();
    }
    out = reinterpret_cast<ScmHandle*>(handle);
    return 0;
}

uint32_t Result(BOOL ok) {
    return ok ? 0 : GetLastError();
}

uint32_t OpenManager(DWORD access, ScmHandle*& manager) {
    return Opened(OpenSCManagerW(nullptr, nullptr, access), manager);
}

uint32_t OpenOne(ScmHandle* manager, const std::wstring& name, DWORD access, ScmHandle*& service) {
    return Opened(OpenServiceW(Native(manager), name.c_str(), access), service);
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

namespace {

// Runs `act` on the named service opened with `access`; 0 or the first error.
template <typename Act>
uint32_t OnServiceNamed(const std::wstring& name, DWORD access, Act act) {
    UniqueServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) {
        return GetLastError();
    }
    UniqueServiceHandle service(OpenServiceW(manager.get(), name.c_str(), access));
    if (!service) {
        return GetLastError();
    }
    return act(service.get());
}

uint32_t StopOpened(SC_HANDLE service) {
    SERVICE_STATUS status{};
    return ControlService(service, SERVICE_CONTROL_STOP, &status) ? 0 : GetLastError();
}

}  // namespace

uint32_t RequestServiceStopByName(const std::wstring& name) {
    return OnServiceNamed(name, SERVICE_STOP, StopOpened);
}

uint32_t RequestServiceStartByName(const std::wstring& name) {
    return OnServiceNamed(name, SERVICE_START, [](SC_HANDLE service) {
        return StartServiceW(service, 0, nullptr) ? 0u : static_cast<uint32_t>(GetLastError());
    });
}

uint32_t RemoveServiceByName(const std::wstring& name) {
    return OnServiceNamed(name, SERVICE_STOP | DELETE, [](SC_HANDLE service) {
        StopOpened(service);  // a service that is not running needs no stop
        return DeleteService(service) ? 0u : static_cast<uint32_t>(GetLastError());
    });
}

uint32_t RunServiceDispatcher(const std::wstring& name, ServiceMainFunction main) {
    serviceMain = main;
    std::wstring serviceName = name;
    SERVICE_TABLE_ENTRYW table[] = {{serviceName.data(), ServiceMainEntry}, {nullptr, nullptr}};
    return Result(StartServiceCtrlDispatcherW(table));
}

uint32_t RegisterServiceHandler(const std::wstring& name, ServiceHandlerFunction handler,
                                ServiceStatusHandle*& status) {
    serviceHandler = handler;
    const SERVICE_STATUS_HANDLE handle =
        RegisterServiceCtrlHandlerExW(name.c_str(), ServiceHandlerEntry, nullptr);
    if (handle == nullptr) {
        return GetLastError();
    }
    status = reinterpret_cast<ServiceStatusHandle*>(handle);
    return 0;
}

uint32_t ReportServiceStatus(ServiceStatusHandle* status, const ServiceStatusReport& report) {
    SERVICE_STATUS native{report.serviceType,   report.currentState,    report.controlsAccepted,
                          report.win32ExitCode, report.serviceExitCode, report.checkpoint,
                          report.waitHint};
    return Result(SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(status), &native));
}

uint32_t OpenManagerToConnect(ScmHandle*& manager) {
    return OpenManager(SC_MANAGER_CONNECT, manager);
}

uint32_t OpenManagerToCreate(ScmHandle*& manager) {
    return OpenManager(SC_MANAGER_CREATE_SERVICE, manager);
}

uint32_t OpenServiceToQuery(ScmHandle* manager, const std::wstring& name, ScmHandle*& service) {
    return OpenOne(manager, name, SERVICE_QUERY_STATUS, service);
}

uint32_t OpenServiceToChange(ScmHandle* manager, const std::wstring& name, ScmHandle*& service) {
    return OpenOne(manager, name, SERVICE_CHANGE_CONFIG | SERVICE_START, service);
}

uint32_t OpenServiceToRemove(ScmHandle* manager, const std::wstring& name, ScmHandle*& service) {
    return OpenOne(manager, name, DELETE | SERVICE_STOP | SERVICE_QUERY_STATUS, service);
}

uint32_t CreateOwnService(ScmHandle* manager, const OwnServiceConfig& config, ScmHandle*& service) {
    return Opened(CreateServiceW(Native(manager), config.name.c_str(), config.displayName.c_str(),
                                 SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                 SERVICE_ERROR_NORMAL, config.commandLine.c_str(), nullptr, nullptr,
                                 nullptr, nullptr, nullptr),
                  service);
}

uint32_t ReconfigureOwnService(ScmHandle* service, const OwnServiceConfig& config) {
    return Result(ChangeServiceConfigW(Native(service), SERVICE_WIN32_OWN_PROCESS,
                                       SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                       config.commandLine.c_str(), nullptr, nullptr, nullptr,
                                       nullptr, nullptr, config.displayName.c_str()));
}

uint32_t SetRestartOnFailure(ScmHandle* service, const RestartPolicy& policy) {
    std::vector<SC_ACTION> actions;
    for (const uint32_t delay : policy.delaysMs) {
        actions.push_back({SC_ACTION_RESTART, delay});
    }
    SERVICE_FAILURE_ACTIONSW failure{};
    failure.dwResetPeriod = policy.resetSeconds;
    failure.cActions = static_cast<DWORD>(actions.size());
    failure.lpsaActions = actions.data();
    return Result(ChangeServiceConfig2W(Native(service), SERVICE_CONFIG_FAILURE_ACTIONS, &failure));
}

uint32_t CountErrorStopsAsFailures(ScmHandle* service) {
    SERVICE_FAILURE_ACTIONS_FLAG flag{};
    flag.fFailureActionsOnNonCrashFailures = TRUE;
    return Result(
        ChangeServiceConfig2W(Native(service), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag));
}

uint32_t RequestServiceStart(ScmHandle* service) {
    return Result(StartServiceW(Native(service), 0, nullptr));
}

uint32_t RequestServiceStop(ScmHandle* service) {
    SERVICE_STATUS status{};
    return Result(ControlService(Native(service), SERVICE_CONTROL_STOP, &status));
}

uint32_t MarkServiceForDeletion(ScmHandle* service) {
    return Result(DeleteService(Native(service)));
}

uint32_t ReadServiceState(ScmHandle* service, uint32_t& state) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(Native(service), &status)) {
        return GetLastError();
    }
    state = status.dwCurrentState;
    return 0;
}

void CloseScmHandle(ScmHandle* handle) {
    if (handle != nullptr) {
        CloseServiceHandle(Native(handle));
    }
}

}  // namespace platform
