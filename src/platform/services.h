#pragma once

// Windows services: asking about one, hosting the helper's own, and installing it. Calls that
// can fail return 0 or the Win32 error.

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// Current states.
constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceStopPending = 3;
constexpr uint32_t kServiceRunning = 4;

// What one connection to the service control manager learned about a service.
struct ServiceProbe {
    bool managerOpened = false;
    bool serviceOpened = false;
    bool statusRead = false;
    uint32_t currentState = 0;
    bool startsAutomatically = false;  // read only when asked for
};
ServiceProbe ProbeService(const std::wstring& name, bool readStatus, bool readStartType = false);

// Asks a service, by name, to stop, to start, or to go (stopped and marked for deletion), with
// only the rights each needs. 0 or the Win32 error: 1062 (ERROR_SERVICE_NOT_ACTIVE) for a stop
// of a service that was not running, 1056 (ERROR_SERVICE_ALREADY_RUNNING) for a start of one
// that runs, 1060 (ERROR_SERVICE_DOES_NOT_EXIST).
uint32_t RequestServiceStopByName(const std::wstring& name);
uint32_t RequestServiceStartByName(const std::wstring& name);
uint32_t RemoveServiceByName(const std::wstring& name);

// ---- Hosting the helper's own service ----

using ServiceMainFunction = void (*)(uint32_t argc, wchar_t** argv);
using ServiceHandlerFunction = uint32_t (*)(uint32_t control, uint32_t eventType, void* eventData,
                                            void* context);
// Hands the calling thread to the service control dispatcher for one own-process service; it
// runs `main` on a thread of its own and returns once the service has stopped. Fails (1063)
// when the process was not started by the service control manager.
uint32_t RunServiceDispatcher(const std::wstring& name, ServiceMainFunction main);

struct ServiceStatusHandle;
// Registers the extended control handler (no context).
uint32_t RegisterServiceHandler(const std::wstring& name, ServiceHandlerFunction handler,
                                ServiceStatusHandle*& status);
constexpr uint32_t kOwnProcess = 0x10;
constexpr uint32_t kAcceptStop = 0x1, kAcceptShutdown = 0x4;
constexpr uint32_t kControlStop = 1, kControlInterrogate = 4, kControlShutdown = 5;
constexpr uint32_t kErrorCallNotImplemented = 120;  // a control the handler does not take
struct ServiceStatusReport {
    uint32_t serviceType, currentState, controlsAccepted, win32ExitCode, serviceExitCode,
        checkpoint, waitHint;
};
uint32_t ReportServiceStatus(ServiceStatusHandle* status, const ServiceStatusReport& report);

// ---- Installing the helper's own service ----

struct ScmHandle;  // a handle to the service control manager or to one service
uint32_t OpenManagerToConnect(ScmHandle*& manager);
uint32_t OpenManagerToCreate(ScmHandle*& manager);
uint32_t OpenServiceToQuery(ScmHandle* manager, const std::wstring& name, ScmHandle*& service);
// With the rights to change its configuration and to start it.
uint32_t OpenServiceToChange(ScmHandle* manager, const std::wstring& name, ScmHandle*& service);
// With the rights to stop it, delete it and read its state.
uint32_t OpenServiceToRemove(ScmHandle* manager, const std::wstring& name, ScmHandle*& service);
// The helper's service: own process, started with the machine, normal error control.
struct OwnServiceConfig {
    std::wstring name, displayName, commandLine;
};
// Creates it with all access, running as LocalSystem, without group, tag or dependencies.
uint32_t CreateOwnService(ScmHandle* manager, const OwnServiceConfig& config, ScmHandle*& service);
// Rewrites type, start type, error control, command line and display name; leaves the rest.
uint32_t ReconfigureOwnService(ScmHandle* service, const OwnServiceConfig& config);
// What the manager does when the service fails: restarts it after each delay in turn (the last
// repeating), the count of failures reset after `resetSeconds` without one. Needs a handle
// with the rights to change the service and to start it.
struct RestartPolicy {
    std::vector<uint32_t> delaysMs;
    uint32_t resetSeconds = 0;
};
uint32_t SetRestartOnFailure(ScmHandle* service, const RestartPolicy& policy);
// Counts a stop with a non-zero exit code as a failure too, not only a crash.
uint32_t CountErrorStopsAsFailures(ScmHandle* service);
uint32_t RequestServiceStart(ScmHandle* service);
uint32_t RequestServiceStop(ScmHandle* service);
// The service goes once it has stopped and every handle to it is closed; until then it is
// marked for deletion, and changing or starting it fails with this error.
uint32_t MarkServiceForDeletion(ScmHandle* service);
constexpr uint32_t kErrorServiceMarkedForDelete = 1072;
uint32_t ReadServiceState(ScmHandle* service, uint32_t& state);
// Nothing for null.
void CloseScmHandle(ScmHandle* handle);

}  // namespace platform
