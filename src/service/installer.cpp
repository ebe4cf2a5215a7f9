#include "service/installer.h"

#include <memory>

#include "log/data_directory.h"
#include "platform/platform.h"
#include "service/service_names.h"

namespace {

constexpr uint32_t kManagerConnect = 0x1;
constexpr uint32_t kManagerCreateService = 0x2;
constexpr uint32_t kServiceQueryStatus = 0x4;
constexpr uint32_t kServiceChangeConfig = 0x2;
constexpr uint32_t kServiceStart = 0x10;
constexpr uint32_t kServiceStop = 0x20;
constexpr uint32_t kDelete = 0x10000;
// A service marked for deletion goes once the last other handle to it closes; a few seconds
// are enough for a console that refreshes, and Windows Installer waits for us meanwhile.
constexpr uint64_t kDeletionWaitMs = 5000;
// The helper stops within a second unless a request is in hand; one may take a while.
constexpr uint64_t kStopWaitMs = 30000;
constexpr uint32_t kPollMs = 250;

struct ScmCloser {
    void operator()(platform::ScmHandle* handle) const { platform::ScmClose(handle); }
};
using Scm = std::unique_ptr<platform::ScmHandle, ScmCloser>;

platform::OwnServiceConfig HelperServiceConfig() {
    // The whole path, however long; the trailing --run sends the started service to the
    // dispatcher.
    return {kServiceName,
            kServiceDisplayName,
            L"\"" + platform::ModuleFilePath() + L"\" --run",
            0x10 /* own process */,
            2 /* automatic start */,
            1 /* normal error control */};
}

// Polls, bounded on the clock, until `done` holds; true when it did.
template <typename Done>
bool WaitUntil(uint64_t boundMs, Done done) {
    const uint64_t start = platform::TickCountMs();
    while (!done()) {
        if (platform::TickCountMs() - start >= boundMs) {
            return false;
        }
        platform::SleepMs(kPollMs);
    }
    return true;
}

bool ServiceGone(platform::ScmHandle* manager) {
    return WaitUntil(kDeletionWaitMs, [manager] {
        return !Scm(platform::ScmOpenService(manager, kServiceName, kServiceQueryStatus));
    });
}

int Create(platform::ScmHandle* manager, const platform::OwnServiceConfig& config) {
    const Scm created(platform::ScmCreateService(manager, config));
    if (!created) {
        return 2;
    }
    platform::ScmStartService(created.get());
    return 0;
}

}  // namespace

int InstallService() {
    const platform::OwnServiceConfig config = HelperServiceConfig();
    const Scm manager(platform::ScmOpenManager(kManagerCreateService));
    if (!manager) {
        return 1;
    }
    // Made the service's own now, so that on a fresh machine no user can prepare it first.
    PrepareDataDirectory();
    Scm existing(platform::ScmOpenService(manager.get(), kServiceName,
                                          kServiceChangeConfig | kServiceStart));
    if (existing) {
        if (platform::ScmChangeConfig(existing.get(), config) ||
            platform::LastErrorCode() != platform::kErrorServiceMarkedForDelete) {
            platform::ScmStartService(existing.get());  // refused while it runs: not an error
            return 0;
        }
        // Deleted, and held open by another process: it must go before it can be made anew.
        existing.reset();
        if (!ServiceGone(manager.get())) {
            return 2;
        }
    }
    return Create(manager.get(), config);
}

int UninstallService() {
    const Scm manager(platform::ScmOpenManager(kManagerConnect));
    if (!manager) {
        return 1;
    }
    if (const Scm service(platform::ScmOpenService(manager.get(), kServiceName,
                                                   kDelete | kServiceStop | kServiceQueryStatus));
        service) {
        // The manager removes the service once it has stopped and every handle is closed; the
        // stop is waited for, so that the files can be removed right after.
        platform::ScmStopService(service.get());
        platform::ScmDeleteService(service.get());
        WaitUntil(kStopWaitMs, [&service] {
            uint32_t state = 0;
            return !platform::ScmQueryState(service.get(), state) ||
                   state == platform::kServiceStopped;
        });
    }
    return 0;
}
