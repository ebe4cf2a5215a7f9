// The divert library of the fake world: a receive hands out queued events and otherwise waits
// until events are fed or the receive side is shut down.
#include <chrono>
#include <cstdio>
#include <thread>

#include "fake_file_system.h"

namespace platform {

struct DivertLibrary {};

namespace {

DivertLibrary theLibrary;
int theHandle;

fake::Divert& State() {
    return fake::TheWorld().divert;
}

DivertHandle Open(const char* filter, int layer, int16_t priority, uint64_t flags) {
    fake::Divert& d = State();
    {  // the driver's load opens its file, and waits out a user's oplock on it as any open does
        std::unique_lock<std::mutex> files(fake::TheWorld().fileSystemLock);
        fake::files::WaitOutOplock(files, d.driver);
        d.driverHeldAtOpen = fake::TheWorld().opens.count(d.driver) > 0;
    }
    std::lock_guard<std::mutex> lock(d.lock);
    d.openFilter = filter;
    d.openLayer = layer;
    d.openPriority = priority;
    d.openFlags = flags;
    d.shutDown = false;  // a new handle
    d.closed = false;
    if (d.openError != 0) {
        d.lastError = d.openError;
        return InvalidDivertHandle();
    }
    return &theHandle;
}

int Recv(DivertHandle, void*, unsigned, unsigned*, DivertAddress* address) {
    fake::Divert& d = State();
    std::unique_lock<std::mutex> lock(d.lock);
    if (d.receiveFailures > 0) {
        --d.receiveFailures;
        return 0;
    }
    d.receiving = true;
    d.changed.notify_all();
    d.changed.wait(lock, [&] { return !d.events.empty() || d.shutDown; });
    d.receiving = false;
    if (d.events.empty()) {
        return 0;  // shut down and drained
    }
    *address = d.events.front();
    d.events.pop_front();
    ++d.received;
    d.changed.notify_all();
    return 1;
}

int Close(DivertHandle) {
    fake::Divert& d = State();
    std::lock_guard<std::mutex> lock(d.lock);
    d.closed = true;
    return 1;
}

int FormatIPv4(uint32_t address, char* buffer, unsigned length) {
    if (State().formatFails) {
        return 0;
    }
    std::snprintf(buffer, length, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF,
                  (address >> 8) & 0xFF, address & 0xFF);
    return 1;
}

int Shutdown(DivertHandle, int how) {
    fake::Divert& d = State();
    std::lock_guard<std::mutex> lock(d.lock);
    if (how & kDivertShutdownRecv) {
        d.shutDown = true;
        d.changed.notify_all();
    }
    return 1;
}

uint32_t Loaded(bool loads, const std::wstring& path, DivertLibrary*& library) {
    fake::Divert& d = State();
    std::lock_guard<std::mutex> lock(d.lock);
    d.loadAttempts.push_back(L"path:" + path);
    if (!loads) {
        return 126;  // ERROR_MOD_NOT_FOUND
    }
    library = &theLibrary;
    d.driver = path.substr(0, path.rfind(L'\\')) + L"\\WinDivert64.sys";
    return 0;
}

}  // namespace

uint32_t LoadDivertFromPath(const std::wstring& path, DivertLibrary*& library) {
    {  // the load's own open of the file waits out a user's oplock, under no bound of its own
        fake::World& w = fake::TheWorld();
        std::unique_lock<std::mutex> lock(w.fileSystemLock);
        if (const uint32_t error = fake::files::WaitOutOplock(lock, path); error != 0) {
            return error;
        }
    }
    return Loaded(State().loadablePaths.count(path) > 0, path, library);
}

uint32_t DivertLastError() {
    return State().lastError;
}

void* FindDivertExport(DivertLibrary*, const char* name) {
    if (State().missingExports.count(name) > 0) {
        return nullptr;
    }
    const std::string export_name = name;
    if (export_name == "WinDivertOpen")
        return reinterpret_cast<void*>(&Open);
    if (export_name == "WinDivertRecv")
        return reinterpret_cast<void*>(&Recv);
    if (export_name == "WinDivertClose")
        return reinterpret_cast<void*>(&Close);
    if (export_name == "WinDivertHelperFormatIPv4Address")
        return reinterpret_cast<void*>(&FormatIPv4);
    if (export_name == "WinDivertShutdown")
        return reinterpret_cast<void*>(&Shutdown);
    return nullptr;
}

}  // namespace platform

namespace fake {

platform::DivertAddress SocketEvent(uint32_t event, uint32_t processId, uint32_t remoteHostOrder,
                                    bool ipv6) {
    platform::DivertAddress address{};
    address.flags =
        (platform::kDivertLayerSocket & 0xFF) | (event << 8) | (1u << 16) | (ipv6 ? 1u << 20 : 0);
    address.processId = processId;
    address.remoteAddr[0] = remoteHostOrder;
    return address;
}

void FeedEvents(const std::vector<platform::DivertAddress>& events) {
    Divert& d = TheWorld().divert;
    std::lock_guard<std::mutex> lock(d.lock);
    d.events.insert(d.events.end(), events.begin(), events.end());
    d.changed.notify_all();
}

bool WaitUntilEventsTaken() {
    Divert& d = TheWorld().divert;
    std::unique_lock<std::mutex> lock(d.lock);
    return d.changed.wait_for(lock, std::chrono::seconds(10), [&] { return d.events.empty(); });
}

}  // namespace fake

namespace fake {

bool WaitUntilReceiving() {
    Divert& d = TheWorld().divert;
    std::unique_lock<std::mutex> lock(d.lock);
    return d.changed.wait_for(lock, std::chrono::seconds(10), [&] { return d.receiving; });
}

}  // namespace fake
