// The control pipe of the fake world: scripted clients, read back in pieces of the read size.
#include <algorithm>
#include <atomic>
#include <regex>
#include <thread>

#include "fake_world.h"

namespace platform {

struct PipeSecurityDescriptor {
    uint32_t usersRights = 0;
};

enum class State { Listening, Connected, Closing, Disconnected };

struct PipeInstance {
    State state = State::Listening;      // a new instance admits a client at once
    fake::PipeClient* client = nullptr;  // in servedClients while connected
    size_t write = 0;                    // which of the client's writes is being read
    size_t offset = 0;                   // how much of it was read
};

struct IoDeadline {
    std::thread::id thread;
    uint64_t atMs;
    Event stop;
    bool passed = false;
    const fake::World* world;  // a deadline kept past a reset is gone with its world
};

namespace {

// The pipe generic mapping: FILE_GENERIC_READ, FILE_GENERIC_WRITE, FILE_ALL_ACCESS.
uint32_t MapGeneric(uint32_t access) {
    return (access & 0x0FFFFFFFu) | ((access & 0x80000000u) != 0 ? 0x120089u : 0) |
           ((access & 0x40000000u) != 0 ? 0x120116u : 0) |
           ((access & 0x10000000u) != 0 ? 0x1F01FFu : 0);
}

// What another process meets while no instance listens: busy while one exists, for an open and
// for a plain CreateNamedPipe alike (the maximum of one refuses it), else nothing (2).
void LookAsANewcomer() {
    fake::World& w = fake::TheWorld();
    w.newcomerFinds.insert(w.pipeInstances > 0 ? 231 : 2);
}

}  // namespace

uint32_t BuildPipeSecurity(const std::wstring& sddl, PipeSecurityDescriptor*& security) {
    static const std::wregex kUsersEntry(LR"(\(A;;(0x[0-9a-f]+|(?:G[ARW])+);;;AU\))");
    std::wsmatch users;
    if (fake::TheWorld().securityBuildFails || !std::regex_search(sddl, users, kUsersEntry)) {
        return 1336;  // ERROR_INVALID_ACL
    }
    const std::wstring rights = users[1];
    uint32_t access = rights[0] == L'0' ? std::stoul(rights, nullptr, 16) : 0;
    for (size_t at = 0; rights[0] == L'G' && at < rights.size(); at += 2) {  // GR, GW, GA
        access |= rights[at + 1] == L'R'   ? 0x80000000u
                  : rights[at + 1] == L'W' ? 0x40000000u
                                           : 0x10000000u;
    }
    ++fake::TheWorld().securityBuilt;
    security = new PipeSecurityDescriptor{MapGeneric(access)};
    return 0;
}

void FreePipeSecurity(PipeSecurityDescriptor* security) {
    if (security != nullptr) {
        ++fake::TheWorld().securityFreed;
        delete security;
    }
}

uint32_t CreateSoleInstance(const std::wstring&, const PipeSecurityDescriptor* security,
                            PipeInstance*& pipe) {
    fake::World& w = fake::TheWorld();
    if (w.pipeCreateFailures > 0) {
        --w.pipeCreateFailures;
        return 231;  // ERROR_PIPE_BUSY: all instances taken
    }
    if (w.pipeNameTakenFor > 0 || w.pipeInstances > 0) {  // the first of its name, or none
        w.pipeNameTakenFor -= w.pipeNameTakenFor > 0 ? 1 : 0;
        return kErrorPipeNameTaken;
    }
    if (w.instancesCreated++ > 0) {
        LookAsANewcomer();  // made anew: the name was free meanwhile
    }
    ++w.pipeInstances;
    w.usersRights = security != nullptr ? security->usersRights : 0x120089u;  // default: read
    pipe = new PipeInstance();
    return 0;
}

ClientWait WaitForClient(PipeInstance* pipe, Event stop) {
    fake::World& w = fake::TheWorld();
    w.pipeStop = stop;
    if (pipe->state == State::Connected || pipe->state == State::Closing) {
        w.waitedWithoutDisconnect = true;
        SignalEvent(stop);
        return ClientWait::NoClient;
    }
    do {
        if (w.waitingClients.empty()) {
            // Nobody else comes: the test is over, as if the service had been told to stop.
            if (w.whenNoClientsLeft) {
                w.whenNoClientsLeft();
            } else {
                SignalEvent(stop);
            }
            return ClientWait::NoClient;
        }
        if (w.waitingClients.front().onlyWakes) {
            w.waitingClients.pop_front();
            return ClientWait::NoClient;
        }
        w.servedClients.push_back(w.waitingClients.front());
        w.waitingClients.pop_front();
        // CreateFileW adds SYNCHRONIZE and FILE_READ_ATTRIBUTES; every right must be granted.
        const uint32_t wanted = MapGeneric(w.servedClients.back().access) | 0x100080u;
        w.servedClients.back().openError = (wanted & ~w.usersRights) != 0 ? 5 : 0;
    } while (w.servedClients.back().openError != 0);
    *pipe = PipeInstance{State::Connected, &w.servedClients.back()};
    if (pipe->client->stopsHelperOnConnect) {
        SignalEvent(stop);
    }
    pipe->state = pipe->client->connects ? State::Connected : State::Closing;
    return pipe->client->connects ? ClientWait::Connected : ClientWait::NoClient;
}

namespace {

// A call that waits on a silent client ends at the thread's armed deadline (cancelled: 995), or
// never in reality.
uint32_t WaitForSilentClient() {
    if (!fake::CancelledByDeadline()) {
        fake::TheWorld().unboundedWait = true;
    }
    return 995;  // ERROR_OPERATION_ABORTED
}

}  // namespace

uint32_t ReadPipe(PipeInstance* pipe, char* buffer, size_t capacity, size_t& received) {
    LookAsANewcomer();
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

uint32_t DisconnectPipe(PipeInstance* pipe) {
    if (fake::TheWorld().disconnectFailures-- > 0) {
        return 31;  // ERROR_GEN_FAILURE
    }
    if (pipe->state == State::Listening || pipe->state == State::Disconnected) {
        return pipe->state == State::Listening ? kErrorPipeListening : kErrorPipeNotConnected;
    }
    pipe->client->disconnected = pipe->client->closed = true;
    *pipe = PipeInstance{State::Disconnected};  // refuses clients (busy) until the next wait
    LookAsANewcomer();
    return 0;
}

void ClosePipe(PipeInstance* pipe) {
    if (pipe->client != nullptr) {
        pipe->client->closed = true;
    }
    ++fake::TheWorld().instancesClosed;
    --fake::TheWorld().pipeInstances;
    delete pipe;
}

IoDeadline* ArmIoDeadline(uint32_t milliseconds, Event stop) {
    fake::World& w = fake::TheWorld();
    const uint64_t at = milliseconds == kNoTimeLimit ? UINT64_MAX : fake::ClockMs() + milliseconds;
    auto* deadline = new IoDeadline{std::this_thread::get_id(), at, stop, false, &w};
    std::lock_guard<std::mutex> lock(w.deadlineLock);
    w.ioDeadlines.push_back(deadline);
    return deadline;
}

bool DisarmIoDeadline(IoDeadline* deadline) {
    fake::World& w = fake::TheWorld();
    if (deadline->world == &w) {
        std::lock_guard<std::mutex> lock(w.deadlineLock);
        w.ioDeadlines.erase(std::find(w.ioDeadlines.begin(), w.ioDeadlines.end(), deadline));
    }
    const bool passed = deadline->passed;
    delete deadline;
    return passed;
}

}  // namespace platform

namespace fake {

bool CancelledByDeadline() {
    World& w = TheWorld();
    std::lock_guard<std::mutex> lock(w.deadlineLock);
    platform::IoDeadline* first = nullptr;
    for (platform::IoDeadline* deadline : w.ioDeadlines) {
        if (deadline->thread != std::this_thread::get_id()) {
            continue;  // another thread's deadline cancels nothing of this one's
        }
        if (platform::IsEventSignalled(deadline->stop)) {
            first = deadline;  // a stop ends the wait at once
            break;
        }
        if (first == nullptr || deadline->atMs < first->atMs) {
            first = deadline;
        }
    }
    const bool stopped = first != nullptr && platform::IsEventSignalled(first->stop);
    if (first == nullptr || (first->atMs == UINT64_MAX && !stopped)) {
        return false;  // nothing ends the wait
    }
    for (platform::IoDeadline* deadline : w.ioDeadlines) {  // the thread's calls are all cancelled
        deadline->passed |= deadline->thread == first->thread;
    }
    if (!stopped) {
        std::lock_guard<std::mutex> clock(w.clockLock);
        w.clockUs = std::max(w.clockUs, first->atMs * 1000);
    }
    return true;
}

}  // namespace fake
