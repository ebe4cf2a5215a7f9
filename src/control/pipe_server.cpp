#include "control/pipe_server.h"

#include <memory>

#include "control/request_handler.h"
#include "log/helper_log.h"

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

// The first instance must be the first of its name: one that another process created first is
// that process's pipe, and no instance of the helper may join it. Logged once, retried as any
// failed creation is.
platform::PipeInstance* CreateFirstInstance(const platform::PipeSecurityDescriptor* security) {
    static bool takenLogged = false;
    platform::PipeInstance* pipe = nullptr;
    const uint32_t error = platform::CreatePipeInstance(kControlPipeName, security, true, pipe);
    if (error != 0) {
        if (error == platform::kErrorPipeNameTaken && !takenLogged) {
            takenLogged = true;
            HelperLog(L"control pipe name held by another process; retrying");
        }
        platform::SleepMs(kCreateRetryPauseMs);
    }
    return pipe;
}

// One pass: wait for a client on the listening instance, serve or discard it, and make the next
// instance before this one closes (once the reply is out, so that making it costs the client
// nothing). Returns the instance that listens next (null when none could be made); a stop seen
// after the wait closes everything.
platform::PipeInstance* ServeOne(platform::PipeInstance* listening,
                                 const platform::PipeSecurityDescriptor* security) {
    const platform::ClientWait wait = platform::WaitForClient(listening, StopEvent);
    if (StopRequested()) {
        platform::ClosePipe(listening);  // a client that arrived now gets no reply
        return nullptr;
    }
    platform::PipeInstance* next = nullptr;
    const auto makeNext = [&] {
        platform::CreatePipeInstance(kControlPipeName, security, false, next);
    };
    if (wait == platform::ClientWait::Connected) {
        RequestHandler(listening, makeNext);
    } else {
        makeNext();
        platform::ClosePipe(listening);
    }
    return next;
}

}  // namespace

void ControlPipe() {
    platform::PipeSecurityDescriptor* built = nullptr;
    platform::BuildPipeSecurity(kControlPipeSddl, built);  // failing, instances get the default
    const std::unique_ptr<platform::PipeSecurityDescriptor, SecurityDeleter> security(built);
    platform::PipeInstance* listening = nullptr;
    while (!StopRequested()) {
        listening = listening != nullptr ? ServeOne(listening, security.get())
                                         : CreateFirstInstance(security.get());
    }
    if (listening != nullptr) {
        platform::ClosePipe(listening);
    }
}
