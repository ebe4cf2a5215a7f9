#pragma once

// The in-memory world that the fake platform serves to the unit tests. Tests script it
// directly, then call the helper's operations and read back what happened.

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace platform {
struct EventObject {
    std::atomic<bool> set{false};
};
}  // namespace platform

namespace fake {

// One client of the control pipe, as the helper meets it.
struct PipeClient {
    bool connects = true;             // false: it left before the wait, which then fails
    std::vector<std::string> writes;  // each write is read back in pieces of the read size
    bool staysSilent = false;         // after its writes it neither sends nor closes
    bool readsReply = true;           // false: it never reads, so the flush must be bounded
    bool stopsHelperOnConnect = false;

    // What the helper did with it.
    int reads = 0;
    std::string reply;
    bool flushed = false;
    bool disconnected = false;
    bool closed = false;
};

struct World {
    // Clock: sleeps are recorded and advance the clock; nothing really waits.
    uint64_t clockMs = 0;
    std::vector<uint32_t> sleeps;
    platform::LocalTime localTime{2026, 6, 27, 9, 5, 3};

    std::map<std::wstring, std::wstring> environment;
    std::set<std::wstring> directories;
    bool directoryCreationFails = false;
    std::map<std::wstring, std::string> files;
    std::set<std::wstring> lockedFiles;  // opening these fails
    std::wstring modulePath = L"C:\\Program Files\\Orvanta\\OrvantaHelper.exe";

    // Control pipe.
    bool securityBuildFails = false;
    int securityBuilt = 0;
    int securityFreed = 0;
    int pipeCreateFailures = 0;  // the next N instance creations fail
    int instancesCreated = 0;
    int instancesClosed = 0;
    std::deque<PipeClient> waitingClients;  // when none is left, the wait signals the stop
    std::deque<PipeClient> servedClients;
    uint64_t ioDeadlineAt = 0;
    bool ioDeadlineArmed = false;
    bool unboundedWait = false;  // a blocking call that a real client could hold forever

    std::deque<platform::EventObject> events;  // owned by the world
};

World& TheWorld();
// Back to an empty world; events made before are gone.
void Reset();

}  // namespace fake
