#pragma once

#include <cstdint>

namespace platform {

struct Thread;
// Starts a thread running `body`; 0, or the error when the system cannot create one.
uint32_t StartThread(void (*body)(), Thread*& thread);
// Waits for the thread to end and releases it.
void JoinThread(Thread* thread);

}  // namespace platform
