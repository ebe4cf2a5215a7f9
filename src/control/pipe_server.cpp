#include "control/pipe_server.h"

#include <memory>

#include "control/request_handler.h"
#include "log/helper_log.h"

namespace {

constexpr uint32_t kCreateRetryPauseMs = 500;

struct SecurityDeleter {
    void operator()(platform::PipeSecurityDescriptor* security) const {
        platform::FreePipeSecurity(security);
    }
};

struct PipeCloser {
    void operator()(platform::PipeInstance* pipe) const { platform::ClosePipe(pipe); }
};
using OwnedPipe = std::unique_ptr<platform::PipeInstance, PipeCloser>;

bool StopRequested(platform::Event stop) {
    return stop != nullptr && platform::IsEventSignalled(stop);
}

// The instance is only ever made as the first of its name: one that another process created
// first is that process's pipe, and the helper never joins it. Logged once, retried as any
// failed creation is.
OwnedPipe CreateInstance(const platform::PipeSecurityDescriptor* security) {
    static bool takenLogged = false;
    platform::PipeInstance* pipe = nullptr;
    const uint32_t error = platform::CreateSoleInstance(kControlPipeName, security, pipe);
    if (error != 0) {
        if (error == platform::kErrorPipeNameTaken && !takenLogged) {
            takenLogged = true;
            HelperLog(L"control pipe name held by another process; retrying");
        }
        platform::SleepMs(kCreateRetryPauseMs);
    }
    return OwnedPipe(pipe);
}

// After a disconnection that left no client on the instance, it can wait for the next one.
// After any other failure a client may still be attached, and waiting again would hand it a
// second request: the instance is then closed and made anew.
bool FreeForNextClient(uint32_t disconnectError) {
    return disconnectError == 0 || disconnectError == platform::kErrorPipeNotConnected ||
           disconnectError == platform::kErrorPipeListening;
}

// One pass: wait for a client, serve or discard it, and leave the instance ready for the next.
// Returns false when the instance cannot be reused, or a stop was seen after the wait (a client
// that arrived with it gets no reply).
bool ServeOne(platform::PipeInstance* pipe, platform::Event stop) {
    const platform::ClientWait wait = platform::WaitForClient(pipe, stop);
    if (StopRequested(stop)) {
        return false;
    }
    if (wait == platform::ClientWait::Connected) {
        return FreeForNextClient(RequestHandler(pipe, stop));
    }
    // A client that came and left before the wait leaves the instance to be disconnected.
    return FreeForNextClient(platform::DisconnectPipe(pipe));
}

}  // namespace

void ControlPipe(platform::Event stop) {
    platform::PipeSecurityDescriptor* built = nullptr;
    platform::BuildPipeSecurity(kControlPipeSddl, built);  // failing, the instance gets the default
    const std::unique_ptr<platform::PipeSecurityDescriptor, SecurityDeleter> security(built);
    OwnedPipe pipe;
    while (!StopRequested(stop)) {
        if (pipe == nullptr) {
            pipe = CreateInstance(security.get());
        } else if (!ServeOne(pipe.get(), stop)) {
            pipe.reset();
        }
    }
}
