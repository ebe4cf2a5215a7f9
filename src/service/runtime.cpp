#include "service/runtime.h"

#include <atomic>
#include <mutex>

#include "control/pipe_server.h"
#include "log/helper_log.h"
#include "platform/platform.h"
#include "service/recovery.h"
#include "service/service_names.h"

namespace {

using namespace platform;  // the service states, controls and acceptances

constexpr uint32_t kStopProgressMs = 1000;
constexpr uint32_t kWaitHintMs = 5000;

platform::ServiceStatusHandle* StatusHandle = nullptr;
// Written by the service main, the handler and the stop's progress timer, one at a time.
std::mutex StatusLock;
platform::ServiceStatusReport ServiceStatus{};
// While a stop is pending: a stop that arrives during a long command waits for it, so the
// service manager (and a shutdown) must see progress rather than a hung service.
std::atomic<platform::PeriodicTimer*> StopProgress{nullptr};
// Ends the pipe server. Made by the service main before it accepts a stop, and signalled by the
// handler, which the service manager calls only for the controls accepted by then.
platform::Event StopEvent = nullptr;

// A stopped report with an exit code other than 0 is a failure: the service manager then runs
// the service's failure actions (the installer sets them to restart it).
void Report(uint32_t state, uint32_t controlsAccepted, uint32_t win32ExitCode = 0) {
    std::lock_guard<std::mutex> lock(StatusLock);
    ServiceStatus.currentState = state;
    ServiceStatus.win32ExitCode = win32ExitCode;
    ServiceStatus.controlsAccepted = controlsAccepted;
    ServiceStatus.waitHint = kWaitHintMs;
    ServiceStatus.checkpoint = state == kServiceStopPending ? ServiceStatus.checkpoint + 1 : 0;
    platform::ReportServiceStatus(StatusHandle, ServiceStatus);
}

void ReportStopProgress() {
    std::lock_guard<std::mutex> lock(StatusLock);
    if (ServiceStatus.currentState == kServiceStopPending) {
        ++ServiceStatus.checkpoint;
        platform::ReportServiceStatus(StatusHandle, ServiceStatus);
    }
}

}  // namespace

void ServiceMain(uint32_t, wchar_t**) {
    if (platform::RegisterServiceHandler(kServiceName, &ServiceControlHandler, StatusHandle) != 0) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(StatusLock);
        ServiceStatus = {};
        ServiceStatus.serviceType = kOwnProcess;
    }
    platform::StopPeriodicTimer(StopProgress.exchange(nullptr));  // a run starts afresh
    Report(kServiceStartPending, 0);
    if (const uint32_t error = platform::CreateManualResetEvent(StopEvent); error != 0) {
        // Without the event a stop could never end the pipe server: do not serve at all.
        Report(kServiceStopped, 0, error);
        return;
    }
    HelperLog(L"service starting");
    RecoverSplitting();  // a tunnel left up by the last run gets its splitting back
    Report(kServiceRunning, kAcceptStop | kAcceptShutdown);
    const uint32_t pipeError = ControlPipe(StopEvent);
    EndSplitting();
    HelperLog(L"service stopping");
    DrainLog();  // once stopped, the process may end at any moment
    platform::StopPeriodicTimer(StopProgress.exchange(nullptr));
    Report(kServiceStopped, 0, pipeError);
}

uint32_t ServiceControlHandler(uint32_t control, uint32_t, void*, void*) {
    switch (control) {
        case kControlStop:
        case kControlShutdown:
            Report(kServiceStopPending, 0);
            if (StopProgress.load() == nullptr) {
                PeriodicTimer* timer = nullptr;
                platform::StartPeriodicTimer(&ReportStopProgress, kStopProgressMs, timer);
                StopProgress.store(timer);
            }
            platform::SignalEvent(StopEvent);
            return 0;
        case kControlInterrogate:
            return 0;
        default:
            return kErrorCallNotImplemented;
    }
}
