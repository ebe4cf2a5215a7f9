#include <windows.h>

#include "platform/time_events.h"
#include "platform/win32/win32_handle.h"

namespace platform {

LocalTime CurrentLocalTime() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

void SleepMs(uint32_t milliseconds) {
    Sleep(milliseconds);
}

uint64_t TickCountMs() {
    return GetTickCount64();
}

uint64_t SystemTimeSeconds() {
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);  // 100 ns units since 1601; the call cannot fail
    const uint64_t units = (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    return units / 10000000;
}

uint32_t CreateManualResetEvent(Event& event) {
    const HANDLE handle = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (handle == nullptr) {
        return GetLastError();
    }
    event = new EventObject{handle};  // lives as long as the process
    return 0;
}

void SignalEvent(Event event) {
    event->signalled.store(true);
    SetEvent(event->handle);
}

bool IsEventSignalled(Event event) {
    return event->signalled.load();
}

bool WaitForEvent(Event event, uint32_t milliseconds) {
    return event->signalled.load() ||
           WaitForSingleObject(event->handle, milliseconds) == WAIT_OBJECT_0;
}

struct PeriodicTimer {
    HANDLE timer;
    void (*tick)();
};

namespace {

void CALLBACK OnTimer(void* context, BOOLEAN) {
    static_cast<PeriodicTimer*>(context)->tick();
}

}  // namespace

uint32_t StartPeriodicTimer(void (*tick)(), uint32_t periodMs, PeriodicTimer*& timer) {
    auto* made = new PeriodicTimer{nullptr, tick};
    if (!CreateTimerQueueTimer(&made->timer, nullptr, OnTimer, made, periodMs, periodMs,
                               WT_EXECUTEDEFAULT)) {
        const DWORD error = GetLastError();
        delete made;
        return error;
    }
    timer = made;
    return 0;
}

void StopPeriodicTimer(PeriodicTimer* timer) {
    if (timer != nullptr) {
        DeleteTimerQueueTimer(nullptr, timer->timer, INVALID_HANDLE_VALUE);  // waits for a tick
        delete timer;
    }
}

namespace {

constexpr DWORD kCleanUpWaitMs = 4500;  // the system ends the process 5 s after a close
Event ConsoleStop = nullptr;
HANDLE ConsoleCleanedUp = nullptr;

BOOL WINAPI OnConsoleControl(DWORD control) {
    SignalEvent(ConsoleStop);
    if (control == CTRL_CLOSE_EVENT || control == CTRL_LOGOFF_EVENT ||
        control == CTRL_SHUTDOWN_EVENT) {
        // The process ends as soon as this returns: let the main thread clean up first.
        WaitForSingleObject(ConsoleCleanedUp, kCleanUpWaitMs);
    }
    return TRUE;
}

}  // namespace

void HandleConsoleStop(Event stop) {
    ConsoleStop = stop;
    ConsoleCleanedUp = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void ConsoleStopDone() {
    if (ConsoleCleanedUp != nullptr) {
        SetEvent(ConsoleCleanedUp);
    }
}

}  // namespace platform
