#include "service/installer.h"

#include <memory>

#include "log/data_directory.h"
#include "platform/platform.h"
#include "service/service_names.h"

namespace {

constexpr uint32_t kManagerConnect = 0x1;
constexpr uint32_t kManagerCreateService = 0x2;
constexpr uint32_t kServiceChangeConfig = 0x2;
constexpr uint32_t kServiceStart = 0x10;
constexpr uint32_t kServiceStop = 0x20;
constexpr uint32_t kDelete = 0x10000;

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

}  // namespace

int InstallService() {
    const platform::OwnServiceConfig config = HelperServiceConfig();
    const Scm manager(platform::ScmOpenManager(kManagerCreateService));
    if (!manager) {
        return 1;
    }
    // Made the service's own now, so that on a fresh machine no user can prepare it first.
    PrepareDataDirectory();
    if (const Scm existing(platform::ScmOpenService(manager.get(), kServiceName,
                                                    kServiceChangeConfig | kServiceStart));
        existing) {
        platform::ScmChangeConfig(existing.get(), config);
        platform::ScmStartService(existing.get());  // refused while it runs: not an error
        return 0;
    }
    const Scm created(platform::ScmCreateService(manager.get(), config));
    if (!created) {
        return 2;
    }
    platform::ScmStartService(created.get());
    return 0;
}

int UninstallService() {
    const Scm manager(platform::ScmOpenManager(kManagerConnect));
    if (!manager) {
        return 1;
    }
    if (const Scm service(
            platform::ScmOpenService(manager.get(), kServiceName, kDelete | kServiceStop));
        service) {
        // The manager removes the service once it has stopped and every handle is closed.
        platform::ScmStopService(service.get());
        platform::ScmDeleteService(service.get());
    }
    return 0;
}
