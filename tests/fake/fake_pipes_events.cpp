// Events and the control pipe of the fake world.
#include <algorithm>
#include <atomic>

#include "fake_world.h"

namespace platform {

struct PipeSecurityDescriptor {};

struct PipeInstance {
    fake::PipeClient* client = nullptr;  // in servedClients once a client connected
    size_t write = 0;                    // which of the client's writes is being read
    size_t offset = 0;                   // how much of it was read
};

struct IoDeadline {};

Event CreateManualResetEvent() {
    if (fake::TheWorld().eventCreationFails) {
        fake::TheWorld().lastError = 1450;  // ERROR_NO_SYSTEM_RESOURCES
        return nullptr;
    }
    return &fake::TheWorld().events.emplace_back();
}

void SignalEvent(Event event) {
    event->set = true;
}

bool IsEventSignalled(Event event) {
    return event != nullptr && event->set;
}

PipeSecurityDescriptor* BuildPipeSecurity(const std::wstring&) {
    if (fake::TheWorld().securityBuildFails) {
        return nullptr;
    }
    ++fake::TheWorld().securityBuilt;
    return new PipeSecurityDescriptor();
}

void FreePipeSecurity(PipeSecurityDescriptor* security) {
    if (security != nullptr) {
        ++fake::TheWorld().securityFreed;
        delete security;
    }
}

PipeInstance* CreatePipeInstance(const std::wstring&, const PipeSecurityDescriptor*,
                                 bool firstInstance) {
    fake::World& w = fake::TheWorld();
    if (w.pipeCreateFailures > 0 || (firstInstance && w.pipeNameTakenFor > 0)) {
        (w.pipeCreateFailures > 0 ? w.pipeCreateFailures : w.pipeNameTakenFor) -= 1;
        w.lastError = firstInstance ? 5 : 231;  // access denied; all instances busy
        return nullptr;
    }
    ++w.instancesCreated;
    return new PipeInstance();
}

ClientWait WaitForClient(PipeInstance* pipe, Event stop) {
    fake::World& w = fake::TheWorld();
    w.pipeStop = stop;
    if (w.waitingClients.empty()) {
        // Nobody else comes: the test is over, as if the service had been told to stop.
        if (w.whenNoClientsLeft) {
            w.whenNoClientsLeft();
        } else {
            SignalEvent(stop);
        }
        return ClientWait::NoClient;
    }
    w.servedClients.push_back(w.waitingClients.front());
    w.waitingClients.pop_front();
    pipe->client = &w.servedClients.back();
    if (pipe->client->stopsHelperOnConnect) {
        SignalEvent(stop);
    }
    return pipe->client->connects ? ClientWait::Connected : ClientWait::NoClient;
}

namespace {

// A call that waits on a silent client ends at the armed deadline, or never in reality.
bool WaitForSilentClient() {
    fake::World& w = fake::TheWorld();
    if (!w.ioDeadlineArmed) {
        w.unboundedWait = true;
    } else if (!IsEventSignalled(w.ioDeadlineStop)) {  // a stop ends the wait at once
        w.clockUs = std::max(w.clockUs, w.ioDeadlineAt * 1000);
    }
    return false;
}

}  // namespace

bool ReadPipe(PipeInstance* pipe, char* buffer, size_t capacity, size_t& received) {
    fake::PipeClient& client = *pipe->client;
    if (++client.reads == 2 && client.stopsHelperAfterFirstRead) {
        SignalEvent(fake::TheWorld().pipeStop);
    }
    received = 0;
    if (pipe->write >= client.writes.size()) {
        return client.staysSilent ? WaitForSilentClient() : false;  // closed: broken pipe
    }
    const std::string& bytes = client.writes[pipe->write];
    received = std::min(capacity, bytes.size() - pipe->offset);
    std::copy_n(bytes.data() + pipe->offset, received, buffer);
    pipe->offset += received;
    if (pipe->offset == bytes.size()) {
        ++pipe->write;
        pipe->offset = 0;
    }
    return true;
}

bool WritePipe(PipeInstance* pipe, const std::string& bytes) {
    pipe->client->reply += bytes;
    return true;
}

void FlushPipe(PipeInstance* pipe) {
    if (pipe->client->readsReply) {
        pipe->client->flushed = true;
    } else {
        WaitForSilentClient();
    }
}

void DisconnectPipe(PipeInstance* pipe) {
    pipe->client->disconnected = true;
}

void ClosePipe(PipeInstance* pipe) {
    if (pipe->client != nullptr) {
        pipe->client->closed = true;
    }
    ++fake::TheWorld().instancesClosed;
    delete pipe;
}

IoDeadline* ArmIoDeadline(uint32_t milliseconds, Event stop) {
    fake::World& w = fake::TheWorld();
    w.ioDeadlineArmed = true;
    w.ioDeadlineAt = fake::ClockMs() + milliseconds;
    w.ioDeadlineStop = stop;
    return new IoDeadline();
}

void DisarmIoDeadline(IoDeadline* deadline) {
    fake::TheWorld().ioDeadlineArmed = false;
    delete deadline;
}

struct PeriodicTimer {
    void (*tick)();
};

PeriodicTimer* StartPeriodicTimer(void (*tick)(), uint32_t) {
    fake::TheWorld().timers.push_back(tick);
    return new PeriodicTimer{tick};
}

void StopPeriodicTimer(PeriodicTimer* timer) {
    if (timer != nullptr) {
        auto& timers = fake::TheWorld().timers;
        const auto found = std::find(timers.begin(), timers.end(), timer->tick);
        if (found != timers.end()) {  // a timer of a world before the last reset is gone
            timers.erase(found);
        }
        delete timer;
    }
}

void HandleConsoleStop(Event stop) {
    fake::TheWorld().consoleStop = stop;
}

void ConsoleStopDone() {
    fake::TheWorld().consoleStopDone = true;
}

uint32_t LastErrorCode() {
    return fake::TheWorld().lastError;
}

}  // namespace platform
