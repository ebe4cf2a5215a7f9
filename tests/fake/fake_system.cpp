// Services, processes, threads and the routing table of the fake world.
#include <arpa/inet.h>

#include <algorithm>
#include <thread>

#include "fake_world.h"

namespace platform {

struct Thread {
    std::thread thread;
};

Thread* StartThread(void (*body)()) {
    if (fake::TheWorld().threadCreationFails) {
        return nullptr;
    }
    return new Thread{std::thread(body)};
}

void JoinThread(Thread* thread) {
    thread->thread.join();
    delete thread;
}

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

ProcessOutcome RunHiddenProcess(const std::wstring& commandLine, uint32_t waitMs,
                                uint32_t& exitCode) {
    fake::World& w = fake::TheWorld();
    w.commandLines.push_back(commandLine);
    w.processWaits.push_back(waitMs);
    fake::ProgramRun run;
    if (!w.programRuns.empty()) {
        run = w.programRuns.front();
        w.programRuns.pop_front();
    }
    if (!run.starts) {
        return ProcessOutcome::NotStarted;
    }
    if (run.outlivesWait && run.cannotBeEnded) {
        exitCode = 5;  // ERROR_ACCESS_DENIED
        return ProcessOutcome::NotEnded;
    }
    if (run.outlivesWait) {
        w.endedProcesses.push_back(commandLine);
        exitCode = 259;
        return ProcessOutcome::EndedAfterWait;
    }
    if (run.effect) {
        run.effect();
    }
    exitCode = run.exitCode;
    return ProcessOutcome::Exited;
}

std::optional<std::wstring> ProcessImagePath(uint32_t processId) {
    const auto& images = fake::TheWorld().processImages;
    const auto found = images.find(processId);
    if (found == images.end()) {
        return std::nullopt;
    }
    return found->second;
}

RouteTableRead ReadIpv4ForwardTable(std::vector<ForwardRow>& rows) {
    fake::World& w = fake::TheWorld();
    ++w.routeTableReads;
    rows.clear();
    if (!w.routeReads.empty()) {
        const RouteTableRead result = w.routeReads.front();
        w.routeReads.pop_front();
        return result;
    }
    rows = w.routeTable;
    return RouteTableRead::Ok;
}

namespace {

// Windows tells routes apart by destination, mask, next hop and interface.
std::vector<ForwardRow>::iterator FindRoute(std::vector<ForwardRow>& table, const ForwardRow& row) {
    return std::find_if(table.begin(), table.end(), [&row](const ForwardRow& present) {
        return present.dest == row.dest && present.mask == row.mask &&
               present.nextHop == row.nextHop && present.ifIndex == row.ifIndex;
    });
}

}  // namespace

uint32_t CreateForwardEntry(const ForwardRow& row) {
    fake::World& w = fake::TheWorld();
    w.createdRoutes.push_back(row);
    if (!w.createResults.empty()) {
        const uint32_t result = w.createResults.front();
        w.createResults.pop_front();
        return result;
    }
    if (FindRoute(w.routeTable, row) != w.routeTable.end()) {
        return kErrorRouteExists;
    }
    w.routeTable.push_back(row);
    return 0;
}

uint32_t DeleteForwardEntry(const ForwardRow& row) {
    fake::World& w = fake::TheWorld();
    w.deletedRoutes.push_back(row);
    if (!w.deleteResults.empty()) {
        const uint32_t result = w.deleteResults.front();
        w.deleteResults.pop_front();
        return result;
    }
    const auto found = FindRoute(w.routeTable, row);
    if (found == w.routeTable.end()) {
        return kErrorRouteNotFound;
    }
    w.routeTable.erase(found);
    return 0;
}

uint32_t InterfaceIndexFromAlias(const std::wstring& alias, uint32_t& ifIndex) {
    const auto& aliases = fake::TheWorld().interfaceAliases;
    const auto found = aliases.find(alias);
    if (found == aliases.end()) {
        return 87;  // ERROR_INVALID_PARAMETER
    }
    ifIndex = found->second;
    return 0;
}

struct RouteWatch {};

RouteWatch* WatchDefaultRoutes(void (*changed)()) {
    fake::TheWorld().routeWatch = changed;
    return new RouteWatch();
}

void StopWatchingRoutes(RouteWatch* watch) {
    if (watch != nullptr) {
        fake::TheWorld().routeWatch = nullptr;
        delete watch;
    }
}

uint32_t ReadInterfaceMetric(uint32_t ifIndex, uint32_t& metric) {
    const fake::World& w = fake::TheWorld();
    if (w.metricReadError != 0) {
        return w.metricReadError;
    }
    const auto found = w.interfaceMetrics.find(ifIndex);
    metric = found == w.interfaceMetrics.end() ? 25 : found->second;
    return 0;
}

bool ParseIpv4(const char* text, uint32_t& networkOrder) {
    in_addr address{};
    if (inet_pton(AF_INET, text, &address) != 1) {
        return false;
    }
    networkOrder = address.s_addr;
    return true;
}

uint32_t HostToNetwork32(uint32_t hostOrder) {
    return htonl(hostOrder);
}

}  // namespace platform
