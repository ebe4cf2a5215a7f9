// Windows services in the fake world: the tunnel service's scripted states, the helper's own
// service as the service control manager hosts it, and its installation.
#include "fake_world.h"

namespace platform {

namespace {

// Applies the changes scheduled up to now on the fake clock.
void ScheduleUpTo(uint64_t now) {
    auto& services = fake::TheWorld().services;
    for (auto it = services.begin(); it != services.end();) {
        fake::Service& service = it->second;
        if (now >= service.removedAt) {
            it = services.erase(it);
            continue;
        }
        if (now >= service.stopsAt) {
            service.state = 1;
        } else if (now >= service.runsAt) {
            service.state = kServiceRunning;
        }
        ++it;
    }
}

}  // namespace

ServiceProbe ProbeService(const std::wstring& name, bool readStatus, bool readStartType) {
    fake::World& w = fake::TheWorld();
    ++w.serviceProbes;
    ScheduleUpTo(fake::ClockMs());
    ServiceProbe probe;
    probe.managerOpened = !w.managerOpenFails;
    const auto found = w.services.find(name);
    probe.serviceOpened = probe.managerOpened && found != w.services.end();
    if (probe.serviceOpened && readStatus && !found->second.statusQueryFails) {
        fake::Service& service = found->second;
        if (service.statusReadsUntilStopped >= 0 && service.statusReadsUntilStopped-- == 0) {
            service.state = 1;  // it died
        }
        probe.statusRead = true;
        probe.currentState = found->second.state;
    }
    probe.startsAutomatically =
        probe.serviceOpened && readStartType && found->second.startsAutomatically;
    return probe;
}

struct ServiceStatusHandle {};
struct ScmHandle {
    std::wstring service;  // empty for the manager
    bool canChangeAndStart = false;
};

namespace {

ServiceStatusHandle theStatusHandle;

void Call(const std::string& call) {
    fake::TheWorld().scmCalls.push_back(call);
}

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

bool IsMarked(const std::wstring& service) {
    return fake::TheWorld().markedForDeletion.count(service) > 0;
}

ScmHandle* NewHandle(const std::wstring& service, bool canChangeAndStart = false) {
    ++fake::TheWorld().openScmHandles;
    return new ScmHandle{service, canChangeAndStart};
}

uint32_t OpenManager(const std::string& purpose, ScmHandle*& manager) {
    Call("open manager to " + purpose);
    if (fake::TheWorld().managerOpenFails) {
        return 5;  // ERROR_ACCESS_DENIED
    }
    manager = NewHandle(L"");
    return 0;
}

uint32_t OpenOne(const std::string& purpose, const std::wstring& name, ScmHandle*& service) {
    Call("open service to " + purpose);
    ForgetWhatWentAway(fake::TheWorld());
    if (fake::TheWorld().installed.count(name) == 0) {
        return 1060;  // ERROR_SERVICE_DOES_NOT_EXIST
    }
    service = NewHandle(name, purpose == "change");
    return 0;
}

}  // namespace

// Another service, such as the tunnel's, by name: a stop takes its time, a start is pending
// until it runs.
namespace {

// A stop takes 200 ms, a start 100 ms; refused as Windows refuses them when already done.
uint32_t ControlByName(const std::wstring& name, bool start) {
    Call((start ? "start " : "stop ") + platform::WideToUtf8(name));
    ScheduleUpTo(fake::ClockMs());
    const auto found = fake::TheWorld().services.find(name);
    if (found == fake::TheWorld().services.end()) {
        return 1060;  // ERROR_SERVICE_DOES_NOT_EXIST
    }
    fake::Service& service = found->second;
    if ((service.state == kServiceStopped) != start) {
        return start ? 1056 : 1062;  // ALREADY_RUNNING, NOT_ACTIVE
    }
    service.state = start ? kServiceStartPending : kServiceStopPending;
    (start ? service.runsAt : service.stopsAt) = fake::ClockMs() + (start ? 100 : 200);
    (start ? service.stopsAt : service.runsAt) = UINT64_MAX;
    return 0;
}

}  // namespace

uint32_t RequestServiceStopByName(const std::wstring& name) {
    return ControlByName(name, false);
}

uint32_t RequestServiceStartByName(const std::wstring& name) {
    return ControlByName(name, true);
}

uint32_t RemoveServiceByName(const std::wstring& name) {
    Call("remove " + platform::WideToUtf8(name));
    return fake::TheWorld().services.erase(name) > 0 ? 0 : 1060;
}

uint32_t RunServiceDispatcher(const std::wstring&, ServiceMainFunction main) {
    if (fake::TheWorld().dispatcherFails) {
        return 1063;  // ERROR_FAILED_SERVICE_CONTROLLER_CONNECT
    }
    main(0, nullptr);
    return 0;
}

uint32_t RegisterServiceHandler(const std::wstring&, ServiceHandlerFunction handler,
                                ServiceStatusHandle*& status) {
    if (fake::TheWorld().handlerRegistrationFails) {
        return 1083;  // ERROR_SERVICE_NOT_IN_EXE
    }
    fake::TheWorld().handler = handler;
    status = &theStatusHandle;
    return 0;
}

uint32_t ReportServiceStatus(ServiceStatusHandle*, const ServiceStatusReport& report) {
    fake::TheWorld().statusReports.push_back(report);
    return 0;
}

uint32_t OpenManagerToConnect(ScmHandle*& manager) {
    return OpenManager("connect", manager);
}

uint32_t OpenManagerToCreate(ScmHandle*& manager) {
    return OpenManager("create", manager);
}

uint32_t OpenServiceToQuery(ScmHandle*, const std::wstring& name, ScmHandle*& service) {
    return OpenOne("query", name, service);
}

uint32_t OpenServiceToChange(ScmHandle*, const std::wstring& name, ScmHandle*& service) {
    return OpenOne("change", name, service);
}

uint32_t OpenServiceToRemove(ScmHandle*, const std::wstring& name, ScmHandle*& service) {
    return OpenOne("remove", name, service);
}

uint32_t CreateOwnService(ScmHandle*, const OwnServiceConfig& config, ScmHandle*& service) {
    Call("create");
    fake::World& w = fake::TheWorld();
    ForgetWhatWentAway(w);
    if (w.markedForDeletion.count(config.name) > 0) {
        return kErrorServiceMarkedForDelete;
    }
    if (w.serviceCreationFails || w.installed.count(config.name) > 0) {
        return 1073;  // ERROR_SERVICE_EXISTS
    }
    w.installed[config.name] = config;
    service = NewHandle(config.name, true);
    return 0;
}

uint32_t ReconfigureOwnService(ScmHandle* service, const OwnServiceConfig& config) {
    Call("change");
    if (IsMarked(service->service)) {
        return kErrorServiceMarkedForDelete;
    }
    fake::TheWorld().installed[service->service] = config;
    return 0;
}

// Windows wants the change right, and the start right for restart actions.
uint32_t SetRestartOnFailure(ScmHandle* service, const RestartPolicy& policy) {
    Call("failure actions");
    fake::World& w = fake::TheWorld();
    if (!service->canChangeAndStart || w.failureActionsRefused) {
        return 5;  // ERROR_ACCESS_DENIED
    }
    w.failureActions[service->service] = policy;
    return 0;
}

uint32_t CountErrorStopsAsFailures(ScmHandle* service) {
    Call("failure flag");
    if (!service->canChangeAndStart) {
        return 5;
    }
    fake::TheWorld().errorStopsCount.insert(service->service);
    return 0;
}

uint32_t RequestServiceStart(ScmHandle* service) {
    Call("start");
    return IsMarked(service->service) ? kErrorServiceMarkedForDelete : 0;
}

uint32_t RequestServiceStop(ScmHandle*) {
    Call("stop");
    fake::World& w = fake::TheWorld();
    w.stoppedAt = w.stopTakesMs == UINT64_MAX ? UINT64_MAX : fake::ClockMs() + w.stopTakesMs;
    return 0;
}

uint32_t ReadServiceState(ScmHandle*, uint32_t& state) {
    state = fake::ClockMs() >= fake::TheWorld().stoppedAt ? kServiceStopped : kServiceStopPending;
    return 0;
}

uint32_t MarkServiceForDeletion(ScmHandle* service) {
    Call("delete");
    fake::World& w = fake::TheWorld();
    if (w.heldOpenUntil.count(service->service) > 0) {
        w.markedForDeletion.insert(service->service);
    } else {
        w.installed.erase(service->service);
    }
    return 0;
}

void CloseScmHandle(ScmHandle* handle) {
    if (handle != nullptr) {
        --fake::TheWorld().openScmHandles;
        delete handle;
    }
}

}  // namespace platform
