#include "service/runtime.h"

#include <atomic>
#include <mutex>

#include "control/pipe_server.h"
#include "log/helper_log.h"
#include "platform/platform.h"
#include "service/recovery.h"
#include "service/service_names.h"

namespace {

constexpr uint32_t kOwnProcess = 0x10;
constexpr uint32_t kStopped = 1, kStartPending = 2, kStopPending = 3, kRunning = 4;
constexpr uint32_t kAcceptStop = 1, kAcceptShutdown = 4;
constexpr uint32_t kStopProgressMs = 1000;
constexpr uint32_t kWaitHintMs = 5000;
constexpr uint32_t kControlStop = 1, kControlInterrogate = 4, kControlShutdown = 5;
constexpr uint32_t kErrorCallNotImplemented = 120;

platform::ServiceStatusHandle* StatusHandle = nullptr;
// Written by the service main, the handler and the stop's progress timer, one at a time.
std::mutex StatusLock;
platform::ServiceStatusReport ServiceStatus{};
// While a stop is pending: a stop that arrives during a long command waits for it, so the
// service manager (and a shutdown) must see progress rather than a hung service.
std::atomic<platform::PeriodicTimer*> StopProgress{nullptr};

void Report(uint32_t state, uint32_t controlsAccepted) {
    std::lock_guard<std::mutex> lock(StatusLock);
    ServiceStatus.currentState = state;
    ServiceStatus.controlsAccepted = controlsAccepted;
    ServiceStatus.waitHint = kWaitHintMs;
    ServiceStatus.checkpoint = state == kStopPending ? ServiceStatus.checkpoint + 1 : 0;
    platform::ReportServiceStatus(StatusHandle, ServiceStatus);
}

void ReportStopProgress() {
    std::lock_guard<std::mutex> lock(StatusLock);
    if (ServiceStatus.currentState == kStopPending) {
        ++ServiceStatus.checkpoint;
        platform::ReportServiceStatus(StatusHandle, ServiceStatus);
    }
}

}  // namespace

void ServiceMain(uint32_t, wchar_t**) {
    StatusHandle = platform::RegisterServiceHandler(kServiceName, &ServiceControlHandler);
    if (StatusHandle == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(StatusLock);
        ServiceStatus = {};
        ServiceStatus.serviceType = kOwnProcess;
    }
    platform::StopPeriodicTimer(StopProgress.exchange(nullptr));  // a run starts afresh
    Report(kStartPending, 0);
    StopEvent = platform::CreateManualResetEvent();
    if (StopEvent == nullptr) {
        // Without the event a stop could never end the pipe server: do not serve at all.
        ServiceStatus.win32ExitCode = platform::LastErrorCode();
        Report(kStopped, 0);
        return;
    }
    HelperLog(L"service starting");
    RecoverSplitting();  // a tunnel left up by the last run gets its splitting back
    Report(kRunning, kAcceptStop | kAcceptShutdown);
    ControlPipe();
    EndSplitting();
    HelperLog(L"service stopping");
    platform::StopPeriodicTimer(StopProgress.exchange(nullptr));
    Report(kStopped, 0);
}

uint32_t ServiceControlHandler(uint32_t control, uint32_t, void*, void*) {
    switch (control) {
        case kControlStop:
        case kControlShutdown:
            Report(kStopPending, 0);
            if (StopProgress.load() == nullptr) {
                StopProgress.store(
                    platform::StartPeriodicTimer(&ReportStopProgress, kStopProgressMs));
            }
            platform::SignalEvent(StopEvent);
            return 0;
        case kControlInterrogate:
            return 0;
        default:
            return kErrorCallNotImplemented;
    }
}
