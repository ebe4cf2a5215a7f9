#include <system_error>
#include <thread>

#include "platform/threads.h"

namespace platform {

struct Thread {
    std::thread thread;
};

uint32_t StartThread(void (*body)(), Thread*& thread) {
    try {
        thread = new Thread{std::thread(body)};
        return 0;
    } catch (const std::system_error& error) {
        return error.code().value() != 0 ? static_cast<uint32_t>(error.code().value())
                                         : 8;  // ERROR_NOT_ENOUGH_MEMORY
    }
}

void JoinThread(Thread* thread) {
    thread->thread.join();
    delete thread;
}

}  // namespace platform
