#pragma once

// Time, sleeps, events, periodic timers and the console's stop. Calls that can fail return 0
// or the Win32 error.

#include <cstdint>

namespace platform {

struct LocalTime {
    int year, month, day, hour, minute, second;
};
LocalTime CurrentLocalTime();
void SleepMs(uint32_t milliseconds);
// Milliseconds since the system started, never going back: the clock every bounded wait is
// measured on.
uint64_t TickCountMs();
// Whole seconds since 1601-01-01 UTC by the system clock: kept across a reboot, but set back or
// forward at will by an administrator or the time service, so never an order of events.
uint64_t SystemTimeSeconds();

struct EventObject;
using Event = EventObject*;
// A manual-reset event, not signalled. It lives as long as the process.
uint32_t CreateManualResetEvent(Event& event);
void SignalEvent(Event event);
// A poll with a zero time-out: only "signalled" counts as set.
bool IsEventSignalled(Event event);
// Waits at most `milliseconds` for the event; true when it is signalled.
bool WaitForEvent(Event event, uint32_t milliseconds);

// Runs `tick` about every `periodMs` on a thread of the system's until stopped.
struct PeriodicTimer;
uint32_t StartPeriodicTimer(void (*tick)(), uint32_t periodMs, PeriodicTimer*& timer);
// Cancels the timer and waits for a tick that is running; nothing for null.
void StopPeriodicTimer(PeriodicTimer* timer);

// In the foreground: Ctrl+C, Ctrl+Break, closing the console window, logoff and shutdown
// signal `stop` instead of killing the process. For a close, logoff or shutdown, whose handler
// must not return before the process has cleaned up, the handler then waits (at most a few
// seconds, as the system allows) for ConsoleStopDone.
void HandleConsoleStop(Event stop);
void ConsoleStopDone();

}  // namespace platform
