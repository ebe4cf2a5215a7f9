#include "split/routes_ahead.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <iterator>
#include <mutex>
#include <utility>

#include "log/helper_log.h"
#include "platform/platform.h"
#include "split/route_manager.h"
#include "split/route_memory.h"
#include "split/split_state.h"

namespace {

// What the worker is asked to do, and the worker itself, under AheadLock, which is never held
// with another lock.
std::mutex AheadLock;
std::condition_variable AheadWork;
std::set<std::wstring> PendingApps;
bool PendingAll = false;
bool Stopped = true;
// Read between two routes, so that a stop does not wait for the whole memory.
std::atomic<bool> StopAsked{false};
platform::Thread* Worker = nullptr;

bool TakeWork(std::set<std::wstring>& apps, bool& all) {
    std::unique_lock<std::mutex> lock(AheadLock);
    AheadWork.wait(lock, [] { return Stopped || PendingAll || !PendingApps.empty(); });
    if (Stopped) {
        return false;
    }
    apps = std::exchange(PendingApps, {});
    all = std::exchange(PendingAll, false);
    return true;
}

// An application taken off the list since it was asked for gets no route made ahead.
void MakeRoutes(const std::set<std::wstring>& asked, bool all) {
    const std::set<std::wstring> listed =
        TheSplitState().Read([](const SplitParts& parts) { return parts.apps; });
    std::set<std::wstring> apps;
    std::set_intersection(asked.begin(), asked.end(), listed.begin(), listed.end(),
                          std::inserter(apps, apps.end()));
    for (const Ipv6Bytes& address : RememberedAddresses(all ? listed : apps)) {
        if (StopAsked.load()) {
            return;
        }
        AddBypassRoute(address);  // the rules of a connection: none needed, the tunnel's, the cap
    }
}

void WorkerMain() {
    std::set<std::wstring> apps;
    bool all = false;
    while (TakeWork(apps, all)) {
        MakeRoutes(apps, all);
    }
}

}  // namespace

void StartRoutesAhead() {
    uint32_t error = 0;
    {
        std::lock_guard<std::mutex> lock(AheadLock);
        if (!TheSplitState().SnifferRunning() || Worker != nullptr) {
            return;  // splitting stops, or the worker runs
        }
        Stopped = false;
        StopAsked.store(false);
        PendingApps.clear();
        PendingAll = true;
        error = platform::StartThread(&WorkerMain, Worker);  // it waits for the lock to take work
        if (error != 0) {
            Stopped = true;
            Worker = nullptr;
        }
    }
    if (error != 0) {
        HelperLog(L"route memory worker not started; remembered routes are not made ahead");
    }
}

void MakeRoutesAhead(const std::set<std::wstring>& apps) {
    {
        std::lock_guard<std::mutex> lock(AheadLock);
        if (Stopped || apps.empty()) {
            return;
        }
        // A client re-listing in a loop while a pass runs must not grow the backlog without
        // bound: past the names the memory can hold, it is the work of every listed application.
        if (PendingAll || PendingApps.size() + apps.size() > kRememberedNames) {
            PendingApps.clear();
            PendingAll = true;
        } else {
            PendingApps.insert(apps.begin(), apps.end());
        }
    }
    AheadWork.notify_all();
}

void MakeRoutesAheadForAll() {
    {
        std::lock_guard<std::mutex> lock(AheadLock);
        if (Stopped) {
            return;
        }
        PendingAll = true;
    }
    AheadWork.notify_all();
}

void StopRoutesAhead() {
    platform::Thread* worker = nullptr;
    {
        std::lock_guard<std::mutex> lock(AheadLock);
        Stopped = true;
        StopAsked.store(true);
        worker = std::exchange(Worker, nullptr);
    }
    AheadWork.notify_all();
    if (worker != nullptr) {
        platform::JoinThread(worker);
    }
}
