#include "service/runtime.h"

#include "control/pipe_server.h"
#include "log/helper_log.h"
#include "platform/platform.h"
#include "service/service_names.h"
#include "split/split_apps.h"
#include "split/state_file.h"

namespace {

constexpr uint32_t kOwnProcess = 0x10;
constexpr uint32_t kStopped = 1, kStartPending = 2, kStopPending = 3, kRunning = 4;
constexpr uint32_t kAcceptStop = 1;
constexpr uint32_t kWaitHintMs = 5000;
constexpr uint32_t kControlStop = 1, kControlInterrogate = 4, kControlShutdown = 5;
constexpr uint32_t kErrorCallNotImplemented = 120;

platform::ServiceStatusHandle* StatusHandle = nullptr;
// Written by the service main before the running report and after the pipe server returned,
// and by the handler only in between, so the two never write at once.
platform::ServiceStatusReport ServiceStatus{};

void Report(uint32_t state, uint32_t controlsAccepted) {
    ServiceStatus.currentState = state;
    ServiceStatus.controlsAccepted = controlsAccepted;
    ServiceStatus.waitHint = kWaitHintMs;
    platform::ReportServiceStatus(StatusHandle, ServiceStatus);
}

}  // namespace

void ServiceMain(uint32_t, wchar_t**) {
    StatusHandle = platform::RegisterServiceHandler(kServiceName, &ServiceControlHandler);
    if (StatusHandle == nullptr) {
        return;
    }
    ServiceStatus = {};
    ServiceStatus.serviceType = kOwnProcess;
    Report(kStartPending, 0);
    StopEvent = platform::CreateManualResetEvent();
    if (StopEvent == nullptr) {
        // Without the event a stop could never end the pipe server: do not serve at all.
        ServiceStatus.win32ExitCode = platform::LastErrorCode();
        Report(kStopped, 0);
        return;
    }
    HelperLog(L"service starting");
    RestoreSplitState();  // a tunnel left up by the last run gets its splitting back
    Report(kRunning, kAcceptStop);
    ControlPipe();
    StopSniffer();
    HelperLog(L"service stopping");
    Report(kStopped, 0);
}

uint32_t ServiceControlHandler(uint32_t control, uint32_t, void*, void*) {
    switch (control) {
        case kControlStop:
        case kControlShutdown:
            Report(kStopPending, 0);
            platform::SignalEvent(StopEvent);
            return 0;
        case kControlInterrogate:
            return 0;
        default:
            return kErrorCallNotImplemented;
    }
}
