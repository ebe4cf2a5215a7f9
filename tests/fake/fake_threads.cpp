// Threads of the fake world are real threads, unless creating one is to fail; a test may hold
// new ones back from running.
#include <thread>

#include "fake_world.h"

namespace platform {

struct Thread {
    std::thread thread;
};

uint32_t StartThread(void (*body)(), Thread*& thread) {
    if (fake::TheWorld().threadCreationFails) {
        return 8;  // ERROR_NOT_ENOUGH_MEMORY
    }
    thread = new Thread{std::thread([body] {
        fake::WaitUntil([] { return !fake::TheWorld().threadsHeld.load(); });
        body();
    })};
    return 0;
}

void JoinThread(Thread* thread) {
    ++fake::TheWorld().threadJoins;
    thread->thread.join();
    delete thread;
}

}  // namespace platform
