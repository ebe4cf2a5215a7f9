#include "service/installer.h"

#include <memory>

#include "common/polling.h"
#include "log/data_directory.h"
#include "platform/platform.h"
#include "service/service_names.h"

namespace {

// A service marked for deletion goes once the last other handle to it closes; a few seconds
// are enough for a console that refreshes, and Windows Installer waits for us meanwhile.
constexpr uint64_t kDeletionWaitMs = 5000;
// The helper stops within a second unless a request is in hand; one may take a while.
constexpr uint64_t kStopWaitMs = 30000;
constexpr uint32_t kPollMs = 250;

struct ScmCloser {
    void operator()(platform::ScmHandle* handle) const { platform::CloseScmHandle(handle); }
};
using Scm = std::unique_ptr<platform::ScmHandle, ScmCloser>;

// Runs one of the platform's opening calls and keeps what it opened (nothing on failure).
template <typename Open, typename... Arguments>
Scm Opened(Open open, Arguments... arguments) {
    platform::ScmHandle* handle = nullptr;
    open(arguments..., handle);
    return Scm(handle);
}

platform::OwnServiceConfig HelperServiceConfig() {
    // The whole path, however long; the trailing --run sends the started service to the
    // dispatcher.
    return {kServiceName, kServiceDisplayName, L"\"" + platform::ModuleFilePath() + L"\" --run"};
}

// Polls, bounded on the clock, until `done` holds; true when it did.
template <typename Done>
bool WaitUntil(uint64_t boundMs, Done done) {
    return PollUntil(platform::TickCountMs() + boundMs, done, [](uint64_t, uint64_t) {
               platform::SleepMs(kPollMs);
               return true;
           }) == PollEnd::Done;
}

bool ServiceGone(platform::ScmHandle* manager) {
    return WaitUntil(kDeletionWaitMs, [manager] {
        return !Opened(platform::OpenServiceToQuery, manager, kServiceName);
    });
}

// A crash, or a stop with an error, would otherwise leave the machine without the helper until
// the next boot: no pipe, no status, no way to disconnect. Set before the first start, and again
// over an existing service. A refusal costs only the restarts: the service works without them.
void RestartAfterFailures(platform::ScmHandle* service) {
    platform::SetRestartOnFailure(service, {{1000, 5000, 30000}, 24 * 60 * 60});
    platform::CountErrorStopsAsFailures(service);
}

int Create(platform::ScmHandle* manager, const platform::OwnServiceConfig& config) {
    const Scm created = Opened(platform::CreateOwnService, manager, config);
    if (!created) {
        return kServiceNotCreated;
    }
    RestartAfterFailures(created.get());
    platform::RequestServiceStart(created.get());
    return kInstallerDone;
}

}  // namespace

int InstallService() {
    const platform::OwnServiceConfig config = HelperServiceConfig();
    const Scm manager = Opened(platform::OpenManagerToCreate);
    if (!manager) {
        return kManagerNotOpened;
    }
    // Made the service's own now, so that on a fresh machine no user can prepare it first.
    PrepareDataDirectory();
    Scm existing = Opened(platform::OpenServiceToChange, manager.get(), kServiceName);
    if (existing) {
        // A change or start refused for any other reason goes unreported, as it always did.
        if (platform::ReconfigureOwnService(existing.get(), config) !=
            platform::kErrorServiceMarkedForDelete) {
            RestartAfterFailures(existing.get());
            platform::RequestServiceStart(existing.get());  // refused while it runs: not an error
            return kInstallerDone;
        }
        // Deleted, and held open by another process: it must go before it can be made anew.
        existing.reset();
        if (!ServiceGone(manager.get())) {
            return kServiceNotCreated;
        }
    }
    return Create(manager.get(), config);
}

int UninstallService() {
    const Scm manager = Opened(platform::OpenManagerToConnect);
    if (!manager) {
        return kManagerNotOpened;
    }
    if (const Scm service = Opened(platform::OpenServiceToRemove, manager.get(), kServiceName);
        service) {
        // The manager removes the service once it has stopped and every handle is closed; the
        // stop is waited for, so that the files can be removed right after.
        platform::RequestServiceStop(service.get());
        platform::MarkServiceForDeletion(service.get());
        WaitUntil(kStopWaitMs, [&service] {
            uint32_t state = 0;
            return platform::ReadServiceState(service.get(), state) != 0 ||
                   state == platform::kServiceStopped;
        });
    }
    return kInstallerDone;
}
