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
// first is that process's pipe, and the helper never joins it.
OwnedPipe CreateInstance(const platform::PipeSecurityDescriptor* security, uint32_t& error) {
    platform::PipeInstance* pipe = nullptr;
    error = platform::CreateSoleInstance(kControlPipeName, security, pipe);
    return OwnedPipe(pipe);
}

// Failed creations are retried every 500 ms, a name another process holds logged once. Once
// they have failed for 30 s the server gives up with the last error: a service that reports
// running but serves no one would never be restarted by its failure actions.
class CreationRetries {
  public:
    // True when a retry is due (after the pause), false when the failures have lasted too long.
    bool RetryAfter(uint32_t error) {
        if (error == platform::kErrorPipeNameTaken && !takenLogged_) {
            takenLogged_ = true;
            HelperLog(L"control pipe name held by another process; retrying");
        }
        const uint64_t now = platform::TickCountMs();
        if (!failing_) {
            failing_ = true;
            failingSince_ = now;
        }
        if (now - failingSince_ >= kGiveUpAfterMs) {
            HelperLog(L"control pipe not created for 30 s err=" + std::to_wstring(error) +
                      L"; the service stops");
            return false;
        }
        platform::SleepMs(kCreateRetryPauseMs);
        return true;
    }
    void Created() { failing_ = false; }

  private:
    static constexpr uint64_t kGiveUpAfterMs = 30000;
    bool failing_ = false;
    uint64_t failingSince_ = 0;
    bool takenLogged_ = false;
};

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

uint32_t ControlPipe(platform::Event stop) {
    platform::PipeSecurityDescriptor* built = nullptr;
    platform::BuildPipeSecurity(kControlPipeSddl, built);  // failing, the instance gets the default
    const std::unique_ptr<platform::PipeSecurityDescriptor, SecurityDeleter> security(built);
    CreationRetries retries;
    OwnedPipe pipe;
    while (!StopRequested(stop)) {
        if (pipe != nullptr) {
            if (!ServeOne(pipe.get(), stop)) {
                pipe.reset();
            }
            continue;
        }
        uint32_t error = 0;
        pipe = CreateInstance(security.get(), error);
        if (pipe != nullptr) {
            retries.Created();
        } else if (!retries.RetryAfter(error)) {
            return error;
        }
    }
    return 0;
}
