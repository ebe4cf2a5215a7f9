#include <windows.h>

#include "platform/platform.h"

namespace platform {

LocalTime CurrentLocalTime() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond};
}

void SleepMs(uint32_t milliseconds) {
    Sleep(milliseconds);
}

Event CreateManualResetEvent() {
    return reinterpret_cast<Event>(CreateEventW(nullptr, TRUE, FALSE, nullptr));
}

void SignalEvent(Event event) {
    SetEvent(reinterpret_cast<HANDLE>(event));
}

bool IsEventSignalled(Event event) {
    return WaitForSingleObject(reinterpret_cast<HANDLE>(event), 0) == WAIT_OBJECT_0;
}

uint32_t LastErrorCode() {
    return GetLastError();
}

}  // namespace platform
