#include <system_error>
#include <thread>

#include "platform/platform.h"

namespace platform {

struct Thread {
    std::thread thread;
};

Thread* StartThread(void (*body)()) {
    try {
        return new Thread{std::thread(body)};
    } catch (const std::system_error&) {
        return nullptr;
    }
}

void JoinThread(Thread* thread) {
    thread->thread.join();
    delete thread;
}

}  // namespace platform
