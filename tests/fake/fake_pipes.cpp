// The control pipe of the fake world: scripted clients, read back in pieces of the read size.
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

uint32_t BuildPipeSecurity(const std::wstring&, PipeSecurityDescriptor*& security) {
    if (fake::TheWorld().securityBuildFails) {
        return 1336;  // ERROR_INVALID_ACL
    }
    ++fake::TheWorld().securityBuilt;
    security = new PipeSecurityDescriptor();
    return 0;
}

void FreePipeSecurity(PipeSecurityDescriptor* security) {
    if (security != nullptr) {
        ++fake::TheWorld().securityFreed;
        delete security;
    }
}

uint32_t CreatePipeInstance(const std::wstring&, const PipeSecurityDescriptor*, bool firstInstance,
                            PipeInstance*& pipe) {
    fake::World& w = fake::TheWorld();
    if (w.pipeCreateFailures > 0) {
        --w.pipeCreateFailures;
        return 231;  // ERROR_PIPE_BUSY: all instances taken
    }
    if (firstInstance && w.pipeNameTakenFor > 0) {
        --w.pipeNameTakenFor;
        return kErrorPipeNameTaken;
    }
    ++w.instancesCreated;
    pipe = new PipeInstance();
    return 0;
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

// A call that waits on a silent client ends at the armed deadline (cancelled: 995), or never in
// reality.
uint32_t WaitForSilentClient() {
    fake::World& w = fake::TheWorld();
    if (!w.ioDeadlineArmed) {
        w.unboundedWait = true;
    } else if (!IsEventSignalled(w.ioDeadlineStop)) {  // a stop ends the wait at once
        w.clockUs = std::max(w.clockUs, w.ioDeadlineAt * 1000);
    }
    return 995;  // ERROR_OPERATION_ABORTED
}

}  // namespace

uint32_t ReadPipe(PipeInstance* pipe, char* buffer, size_t capacity, size_t& received) {
    fake::PipeClient& client = *pipe->client;
    if (++client.reads == 2 && client.stopsHelperAfterFirstRead) {
        SignalEvent(fake::TheWorld().pipeStop);
    }
    received = 0;
    if (pipe->write >= client.writes.size()) {
        return client.staysSilent ? WaitForSilentClient() : 109;  // closed: ERROR_BROKEN_PIPE
    }
    const std::string& bytes = client.writes[pipe->write];
    received = std::min(capacity, bytes.size() - pipe->offset);
    std::copy_n(bytes.data() + pipe->offset, received, buffer);
    pipe->offset += received;
    if (pipe->offset == bytes.size()) {
        ++pipe->write;
        pipe->offset = 0;
    }
    return 0;
}

uint32_t WritePipe(PipeInstance* pipe, const std::string& bytes) {
    pipe->client->reply += bytes;
    return 0;
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

}  // namespace platform
