// The fake world itself: one at a time, made anew for each test.
#include <chrono>
#include <thread>

#include "fake_world.h"

namespace fake {

namespace {
World* world = new World();
}

World& TheWorld() {
    return *world;
}

void Reset() {
    delete world;
    world = new World();
}

uint64_t ClockMs() {
    std::lock_guard<std::mutex> lock(world->clockLock);
    return world->clockUs / 1000;
}

bool WaitUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 10000; ++i) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

}  // namespace fake
