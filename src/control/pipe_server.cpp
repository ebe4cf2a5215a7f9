#include "control/pipe_server.h"

#include <memory>

#include "control/request_handler.h"

platform::Event StopEvent = nullptr;

namespace {

constexpr uint32_t kCreateRetryPauseMs = 500;

struct SecurityDeleter {
    void operator()(platform::PipeSecurityDescriptor* security) const {
        platform::FreePipeSecurity(security);
    }
};

bool StopRequested() {
    return StopEvent != nullptr && platform::IsEventSignalled(StopEvent);
}

// One pass: create an instance, wait for a client, serve or discard it. False once a stop
// was seen after the wait.
bool ServeOneInstance(const platform::PipeSecurityDescriptor* security) {
    platform::PipeInstance* pipe = platform::CreatePipeInstance(kControlPipeName, security);
    if (pipe == nullptr) {
        platform::SleepMs(kCreateRetryPauseMs);
        return true;
    }
    const platform::ClientWait wait = platform::WaitForClient(pipe, StopEvent);
    if (StopRequested()) {
        platform::ClosePipe(pipe);  // a client that arrived now gets no reply
        return false;
    }
    if (wait == platform::ClientWait::Connected) {
        RequestHandler(pipe);
    } else {
        platform::ClosePipe(pipe);
    }
    return true;
}

}  // namespace

void ControlPipe() {
    const std::unique_ptr<platform::PipeSecurityDescriptor, SecurityDeleter> security(
        platform::BuildPipeSecurity(kControlPipeSddl));
    if (StopRequested()) {
        return;
    }
    while (ServeOneInstance(security.get()) && !StopRequested()) {
    }
}
