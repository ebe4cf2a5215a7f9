#include <windows.h>

#include "platform/platform.h"

namespace platform {

namespace {

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
ScmHandle* Wrap(SC_HANDLE handle) {
    return reinterpret_cast<ScmHandle*>(handle);
}

}  // namespace

bool RunServiceDispatcher(const std::wstring& name, ServiceMainFunction main) {
    serviceMain = main;
    std::wstring serviceName = name;
    SERVICE_TABLE_ENTRYW table[] = {{serviceName.data(), ServiceMainEntry}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) != FALSE;
}

ServiceStatusHandle* RegisterServiceHandler(const std::wstring& name,
                                            ServiceHandlerFunction handler) {
    serviceHandler = handler;
    return reinterpret_cast<ServiceStatusHandle*>(
        RegisterServiceCtrlHandlerExW(name.c_str(), ServiceHandlerEntry, nullptr));
}

void ReportServiceStatus(ServiceStatusHandle* handle, const ServiceStatusReport& report) {
    SERVICE_STATUS status{report.serviceType,   report.currentState,    report.controlsAccepted,
                          report.win32ExitCode, report.serviceExitCode, report.checkpoint,
                          report.waitHint};
    SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(handle), &status);
}

ScmHandle* ScmOpenManager(uint32_t access) {
    return Wrap(OpenSCManagerW(nullptr, nullptr, access));
}

ScmHandle* ScmOpenService(ScmHandle* manager, const std::wstring& name, uint32_t access) {
    return Wrap(OpenServiceW(Native(manager), name.c_str(), access));
}

ScmHandle* ScmCreateService(ScmHandle* manager, const OwnServiceConfig& config) {
    return Wrap(CreateServiceW(Native(manager), config.name.c_str(), config.displayName.c_str(),
                               SERVICE_ALL_ACCESS, config.serviceType, config.startType,
                               config.errorControl, config.commandLine.c_str(), nullptr, nullptr,
                               nullptr, nullptr, nullptr));
}

bool ScmChangeConfig(ScmHandle* service, const OwnServiceConfig& config) {
    return ChangeServiceConfigW(Native(service), config.serviceType, config.startType,
                                config.errorControl, config.commandLine.c_str(), nullptr, nullptr,
                                nullptr, nullptr, nullptr, config.displayName.c_str()) != FALSE;
}

bool ScmStartService(ScmHandle* service) {
    return StartServiceW(Native(service), 0, nullptr) != FALSE;
}

bool ScmStopService(ScmHandle* service) {
    SERVICE_STATUS status{};
    return ControlService(Native(service), SERVICE_CONTROL_STOP, &status) != FALSE;
}

bool ScmQueryState(ScmHandle* service, uint32_t& state) {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(Native(service), &status)) {
        return false;
    }
    state = status.dwCurrentState;
    return true;
}

bool ScmDeleteService(ScmHandle* service) {
    return DeleteService(Native(service)) != FALSE;
}

void ScmClose(ScmHandle* handle) {
    if (handle != nullptr) {
        CloseServiceHandle(Native(handle));
    }
}

}  // namespace platform
