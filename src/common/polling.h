#pragma once

#include <cstdint>

#include "platform/platform.h"

// How a bounded wait ended.
enum class PollEnd { Done, TimedOut, Ended };

// Asks `done` until it answers true or the monotonic clock reaches `deadlineTick`, and once
// more after every pause; no pause when it answers true at once. `pause(nowTick, remainingMs)`
// waits before the next look, and ends the wait (Ended) by answering false.
template <typename Done, typename Pause>
PollEnd PollUntil(uint64_t deadlineTick, Done done, Pause pause) {
    for (;;) {
        if (done()) {
            return PollEnd::Done;
        }
        const uint64_t now = platform::TickCountMs();
        if (now >= deadlineTick) {
            return PollEnd::TimedOut;
        }
        if (!pause(now, deadlineTick - now)) {
            return PollEnd::Ended;
        }
    }
}
