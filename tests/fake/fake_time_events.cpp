// Time, events, timers and the console's stop in the fake world: a sleep advances the clock by
// the request rounded up to Windows' 15.625 ms tick; periodic timers are fired by the tests.
#include <algorithm>

#include "fake_world.h"

namespace platform {

LocalTime CurrentLocalTime() {
    return fake::TheWorld().localTime;
}

void SleepMs(uint32_t milliseconds) {
    fake::World& w = fake::TheWorld();
    std::lock_guard<std::mutex> lock(w.clockLock);
    constexpr uint64_t kTickUs = 15625;
    w.sleeps.push_back(milliseconds);
    w.clockUs += (uint64_t{milliseconds} * 1000 + kTickUs - 1) / kTickUs * kTickUs;
}

uint64_t TickCountMs() {
    return fake::ClockMs();
}

uint64_t SystemTimeSeconds() {
    std::lock_guard<std::mutex> lock(fake::TheWorld().clockLock);
    return fake::TheWorld().systemSeconds;
}

// A wait that nothing ends passes on the fake clock like a sleep.
bool WaitForEvent(Event event, uint32_t milliseconds) {
    if (!IsEventSignalled(event)) {
        SleepMs(milliseconds);
    }
    return IsEventSignalled(event);
}

uint32_t CreateManualResetEvent(Event& event) {
    if (fake::TheWorld().eventCreationFails) {
        return 1450;  // ERROR_NO_SYSTEM_RESOURCES
    }
    event = &fake::TheWorld().events.emplace_back();
    return 0;
}

void SignalEvent(Event event) {
    event->set = true;
}

bool IsEventSignalled(Event event) {
    return event != nullptr && event->set;
}

struct PeriodicTimer {
    void (*tick)();
};

uint32_t StartPeriodicTimer(void (*tick)(), uint32_t, PeriodicTimer*& timer) {
    fake::TheWorld().timers.push_back(tick);
    timer = new PeriodicTimer{tick};
    return 0;
}

void StopPeriodicTimer(PeriodicTimer* timer) {
    if (timer != nullptr) {
        auto& timers = fake::TheWorld().timers;
        const auto found = std::find(timers.begin(), timers.end(), timer->tick);
        if (found != timers.end()) {  // a timer of a world before the last reset is gone
            timers.erase(found);
        }
        delete timer;
    }
}

void HandleConsoleStop(Event stop) {
    fake::TheWorld().consoleStop = stop;
}

void ConsoleStopDone() {
    fake::TheWorld().consoleStopDone = true;
}

}  // namespace platform
