// Threads of the fake world are real threads, unless creating one is to fail.
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
    thread = new Thread{std::thread(body)};
    return 0;
}

void JoinThread(Thread* thread) {
    thread->thread.join();
    delete thread;
}

}  // namespace platform
