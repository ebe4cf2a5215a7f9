// The control pipe of the fake world: scripted clients, read back in pieces of the read size.
#include <algorithm>
#include <atomic>
#include <map>
#include <string>

#include "fake_world.h"

namespace platform {

// The access list from the SDDL text: account -> rights, mapped as for a pipe.
struct PipeSecurityDescriptor {
    std::map<std::string, uint32_t> grants;
};

enum class InstanceState { Listening, Connected, Closing, Disconnected };

struct PipeInstance {
    InstanceState state = InstanceState::Listening;  // a new instance admits clients at once
    fake::PipeClient* client = nullptr;              // in servedClients while it is connected
    size_t write = 0;                                // which of the client's writes is being read
    size_t offset = 0;                               // how much of it was read
};

struct IoDeadline {};

namespace {

constexpr uint32_t kErrorAccessDenied = 5;
constexpr uint32_t kErrorPipeBusy = 231;

// The generic mapping of pipes (FILE_GENERIC_READ, _WRITE, _EXECUTE, FILE_ALL_ACCESS).
uint32_t MapGeneric(uint32_t access) {
    uint32_t mapped = access & 0x0FFFFFFFu;
    mapped |= (access & fake::kGenericRead) != 0 ? 0x120089u : 0;
    mapped |= (access & fake::kGenericWrite) != 0 ? 0x120116u : 0;
    mapped |= (access & 0x20000000u) != 0 ? 0x1200A0u : 0;
    mapped |= (access & 0x10000000u) != 0 ? 0x1F01FFu : 0;
    return mapped;
}

// Allow entries "(A;;RIGHTS;;;ACCOUNT)" with GA/GR/GW/GX or hex rights; false on anything else.
bool ParseDacl(const std::wstring& sddl, std::map<std::string, uint32_t>& grants) {
    const std::string text(sddl.begin(), sddl.end());
    if (text.rfind("D:", 0) != 0) {
        return false;
    }
    const std::map<std::string, uint32_t> generic = {{"GA", 0x10000000u},
                                                     {"GR", fake::kGenericRead},
                                                     {"GW", fake::kGenericWrite},
                                                     {"GX", 0x20000000u}};
    for (size_t at = 2; at < text.size();) {
        const size_t close = text.find(')', at);
        if (close == std::string::npos || text.compare(at, 4, "(A;;") != 0) {
            return false;
        }
        const std::string entry = text.substr(at + 4, close - at - 4);  // RIGHTS;;;ACCOUNT
        const size_t split = entry.find(";;;");
        if (split == std::string::npos) {
            return false;
        }
        const std::string rights = entry.substr(0, split);
        uint32_t access = 0;
        if (rights.rfind("0x", 0) == 0) {
            access = static_cast<uint32_t>(std::stoul(rights, nullptr, 16));
        } else if (rights.empty() || rights.size() % 2 != 0) {
            return false;
        }
        for (size_t i = 0; rights.rfind("0x", 0) != 0 && i < rights.size(); i += 2) {
            const auto right = generic.find(rights.substr(i, 2));
            if (right == generic.end()) {
                return false;
            }
            access |= right->second;
        }
        grants[entry.substr(split + 3)] |= MapGeneric(access);
        at = close + 1;
    }
    return true;
}

// Windows' default for a pipe: full control for SYSTEM, Administrators and the creator (the
// helper's account), read for Everyone and Anonymous.
std::map<std::string, uint32_t> DefaultGrants() {
    return {{"SY", 0x1F01FFu}, {"BA", 0x1F01FFu}, {"WD", 0x120089u}, {"AN", 0x120089u}};
}

// CreateFile of the client end: CreateFileW adds SYNCHRONIZE and FILE_READ_ATTRIBUTES, and
// every right asked for must be granted to one of the caller's groups.
uint32_t OpenError(const fake::PipeClient& client) {
    const uint32_t wanted = MapGeneric(client.access) | 0x100000u | 0x80u;
    uint32_t granted = 0;
    for (const char* group : {"AU", "WD", client.administrator ? "BA" : "AU"}) {
        const auto grant = fake::TheWorld().pipeGrants.find(group);
        granted |= grant != fake::TheWorld().pipeGrants.end() ? grant->second : 0;
    }
    return (wanted & ~granted) != 0 ? kErrorAccessDenied : 0;
}

// What another process meets now that no instance listens: a busy name while one exists.
void LookAsANewcomer() {
    fake::World& w = fake::TheWorld();
    w.newcomerOpens.insert(w.pipeInstances == 0 ? 2 : kErrorPipeBusy);
    // A plain CreateNamedPipe: the maximum of one instance refuses it while one exists (users
    // hold FILE_CREATE_PIPE_INSTANCE through generic write).
    w.otherProcessCreates.insert(w.pipeInstances == 0 ? 0 : kErrorPipeBusy);
}

}  // namespace

uint32_t BuildPipeSecurity(const std::wstring& sddl, PipeSecurityDescriptor*& security) {
    auto* built = new PipeSecurityDescriptor();
    if (fake::TheWorld().securityBuildFails || !ParseDacl(sddl, built->grants)) {
        delete built;
        return 1336;  // ERROR_INVALID_ACL
    }
    ++fake::TheWorld().securityBuilt;
    security = built;
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
        return kErrorPipeBusy;
    }
    if (w.pipeNameTakenFor > 0 || w.pipeInstances > 0) {  // the first of its name, or nothing
        w.pipeNameTakenFor -= w.pipeNameTakenFor > 0 ? 1 : 0;
        return kErrorPipeNameTaken;
    }
    if (w.instancesCreated > 0) {
        LookAsANewcomer();  // made anew: the name lapsed meanwhile
    }
    ++w.instancesCreated;
    ++w.pipeInstances;
    w.pipeGrants = security != nullptr ? security->grants : DefaultGrants();
    pipe = new PipeInstance();
    return 0;
}

ClientWait WaitForClient(PipeInstance* pipe, Event stop) {
    fake::World& w = fake::TheWorld();
    w.pipeStop = stop;
    if (pipe->state == InstanceState::Connected || pipe->state == InstanceState::Closing) {
        // Windows would answer ERROR_PIPE_CONNECTED (the old client again) or ERROR_NO_DATA.
        w.waitedWithoutDisconnect = true;
        SignalEvent(stop);
        return ClientWait::NoClient;
    }
    pipe->state = InstanceState::Listening;
    for (;;) {
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
        fake::PipeClient& client = w.servedClients.back();
        client.openError = OpenError(client);
        if (client.openError == 0) {
            break;
        }
    }
    *pipe = PipeInstance{InstanceState::Connected, &w.servedClients.back(), 0, 0};
    if (pipe->client->stopsHelperOnConnect) {
        SignalEvent(stop);
    }
    if (!pipe->client->connects) {
        pipe->state = InstanceState::Closing;
        return ClientWait::NoClient;
    }
    return ClientWait::Connected;
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
    fake::World& w = fake::TheWorld();
    if (w.disconnectFailures > 0) {
        --w.disconnectFailures;
        return 31;  // ERROR_GEN_FAILURE: the client stays on
    }
    if (pipe->state == InstanceState::Listening || pipe->state == InstanceState::Disconnected) {
        return pipe->state == InstanceState::Listening ? kErrorPipeListening
                                                       : kErrorPipeNotConnected;
    }
    pipe->client->disconnected = true;
    pipe->client->closed = true;
    pipe->client = nullptr;
    // Disconnected, it admits no client until the next wait: a newcomer finds it busy.
    pipe->state = InstanceState::Disconnected;
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
