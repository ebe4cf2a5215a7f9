// The helper's own service in the fake world: dispatcher, status reports and installation.
#include <cstdio>

#include "fake_world.h"

namespace platform {

struct ServiceStatusHandle {};
struct ScmHandle {
    std::wstring service;  // empty for the manager
};

namespace {

ServiceStatusHandle theStatusHandle;

void Call(const std::string& call) {
    fake::TheWorld().scmCalls.push_back(call);
}

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%x", value);
    return text;
}

constexpr uint32_t kMarkedForDelete = 1072;

// A service marked for deletion goes once the other holder lets go.
void ForgetWhatWentAway(fake::World& w) {
    for (auto it = w.markedForDeletion.begin(); it != w.markedForDeletion.end();) {
        if (fake::ClockMs() >= w.heldOpenUntil[*it]) {
            w.installed.erase(*it);
            it = w.markedForDeletion.erase(it);
        } else {
            ++it;
        }
    }
}

bool Refused(const std::wstring& service) {
    fake::World& w = fake::TheWorld();
    if (w.markedForDeletion.count(service) == 0) {
        return false;
    }
    w.lastError = kMarkedForDelete;
    return true;
}

ScmHandle* NewHandle(const std::wstring& service) {
    ++fake::TheWorld().openScmHandles;
    return new ScmHandle{service};
}

}  // namespace

bool RunServiceDispatcher(const std::wstring&, ServiceMainFunction main) {
    if (fake::TheWorld().dispatcherFails) {
        return false;
    }
    main(0, nullptr);
    return true;
}

ServiceStatusHandle* RegisterServiceHandler(const std::wstring&, ServiceHandlerFunction handler) {
    if (fake::TheWorld().handlerRegistrationFails) {
        return nullptr;
    }
    fake::TheWorld().handler = handler;
    return &theStatusHandle;
}

void ReportServiceStatus(ServiceStatusHandle*, const ServiceStatusReport& report) {
    fake::TheWorld().statusReports.push_back(report);
}

ScmHandle* ScmOpenManager(uint32_t access) {
    Call("open manager " + Hex(access));
    return fake::TheWorld().managerOpenFails ? nullptr : NewHandle(L"");
}

ScmHandle* ScmOpenService(ScmHandle*, const std::wstring& name, uint32_t access) {
    Call("open service " + Hex(access));
    ForgetWhatWentAway(fake::TheWorld());
    return fake::TheWorld().installed.count(name) > 0 ? NewHandle(name) : nullptr;
}

ScmHandle* ScmCreateService(ScmHandle*, const OwnServiceConfig& config) {
    Call("create");
    fake::World& w = fake::TheWorld();
    ForgetWhatWentAway(w);
    if (w.serviceCreationFails || w.installed.count(config.name) > 0) {
        w.lastError = w.markedForDeletion.count(config.name) > 0 ? kMarkedForDelete : 1073;
        return nullptr;
    }
    w.installed[config.name] = config;
    return NewHandle(config.name);
}

bool ScmChangeConfig(ScmHandle* service, const OwnServiceConfig& config) {
    Call("change");
    if (Refused(service->service)) {
        return false;
    }
    fake::TheWorld().installed[service->service] = config;
    return true;
}

bool ScmStartService(ScmHandle* service) {
    Call("start");
    return !Refused(service->service);
}

bool ScmStopService(ScmHandle*) {
    Call("stop");
    fake::World& w = fake::TheWorld();
    w.stoppedAt = w.stopTakesMs == UINT64_MAX ? UINT64_MAX : fake::ClockMs() + w.stopTakesMs;
    return true;
}

bool ScmQueryState(ScmHandle*, uint32_t& state) {
    state = fake::ClockMs() >= fake::TheWorld().stoppedAt ? kServiceStopped : 3;
    return true;
}

bool ScmDeleteService(ScmHandle* service) {
    Call("delete");
    fake::World& w = fake::TheWorld();
    if (w.heldOpenUntil.count(service->service) > 0) {
        w.markedForDeletion.insert(service->service);
    } else {
        w.installed.erase(service->service);
    }
    return true;
}

void ScmClose(ScmHandle* handle) {
    if (handle != nullptr) {
        --fake::TheWorld().openScmHandles;
        delete handle;
    }
}

}  // namespace platform
