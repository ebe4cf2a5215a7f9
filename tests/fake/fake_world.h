#pragma once

// The in-memory world that the fake platform serves to the unit tests. Tests script it
// directly, then call the helper's operations and read back what happened.

#include <array>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
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
bool IsEventSignalled(Event event);
}  // namespace platform

namespace fake {

// Takes the next answer a test queued, if it left one.
template <typename T>
bool TakeScripted(std::deque<T>& script, T& answer) {
    if (script.empty()) {
        return false;
    }
    answer = script.front();
    script.pop_front();
    return true;
}

// An open handle as Windows' share rules see it: FILE_* rights and FILE_SHARE_* bits.
struct Open {
    uint32_t access = 0;
    uint32_t share = 0;
};

// One client of the control pipe, as the helper meets it.
struct PipeClient {
    uint32_t access = 0xC0000000u;    // its open asks for GENERIC_READ | GENERIC_WRITE, as Qt does
    bool connects = true;             // false: it left before the wait, which then fails
    std::vector<std::string> writes;  // each write is read back in pieces of the read size
    bool staysSilent = false;         // after its writes it neither sends nor closes
    bool readsReply = true;           // false: it never reads, so the flush must be bounded
    bool stopsHelperOnConnect = false;
    bool stopsHelperAfterFirstRead = false;  // the stop arrives while its request is in hand
    bool onlyWakes = false;  // no client: the wait ends without one, the instance as it was

    // What the helper did with it.
    uint32_t openError = 0;  // the pipe's access list refused its open; the helper never saw it
    int reads = 0;
    std::string reply;
    bool flushed = false;
    bool disconnected = false;
    bool closed = false;  // its connection ended
};

// A Windows service as the fake service control manager knows it. Changes can be scheduled
// on the fake clock.
struct Service {
    uint32_t state = platform::kServiceRunning;
    uint64_t runsAt = UINT64_MAX;
    uint64_t stopsAt = UINT64_MAX;
    uint64_t removedAt = UINT64_MAX;
    bool statusQueryFails = false;
    bool startsAutomatically = false;
    int statusReadsUntilStopped = -1;  // counts down on each status read; stopped at 0
};

// What one run of a program does.
struct ProgramRun {
    bool starts = true;
    uint32_t exitCode = 0;
    std::function<void()> effect;  // e.g. creates or removes a service
    bool outlivesWait = false;     // still running when the wait runs out: ended before `effect`
    bool cannotBeEnded = false;    // and the end fails (access denied)
};

// The divert library the sniffer loads, shared with the sniffer thread.
struct Divert {
    std::mutex lock;
    std::condition_variable changed;
    std::set<std::wstring> loadablePaths;    // full paths that load
    std::vector<std::wstring> loadAttempts;  // "path:" followed by the path
    std::set<std::string> missingExports;
    uint32_t openError = 0;  // non-zero: the open fails with this last-error code
    std::wstring driver;     // the driver file beside the loaded library, which an open loads
    bool driverHeldAtOpen = false;
    uint32_t lastError = 0;
    std::string openFilter;
    int openLayer = -1, openPriority = -1;
    uint64_t openFlags = 0;
    bool formatFails = false;
    std::deque<platform::DivertAddress> events;  // a receive waits while this is empty
    int receiveFailures = 0;                     // the next N receives fail at once
    bool shutDown = false;
    bool closed = false;
    int received = 0;        // events handed out
    bool receiving = false;  // a receive is waiting for events
};

struct World {
    // Clock: sleeps are recorded and advance the clock, as Windows' timer does, by the request
    // rounded up to its 15.625 ms tick; nothing really waits.
    uint64_t clockUs = 0;
    std::vector<uint32_t> sleeps;
    platform::LocalTime localTime{2026, 6, 27, 9, 5, 3};
    // The system clock in seconds since 1601, which tests set back or forward as Windows allows.
    uint64_t systemSeconds = 13'425'000'000;

    std::map<std::wstring, std::wstring> environment;
    std::wstring modulePath = L"C:\\Program Files\\Orvanta\\OrvantaHelper.exe";
    std::wstring systemDirectory = L"C:\\Windows\\system32";  // empty: it cannot be read
    bool safeLibrarySearch = false;
    bool runningAsLocalSystem = false;
    bool administrator = true;  // may make Administrators the owner of what it creates

    // The file system. What is not in `security` only administrators can change.
    std::mutex fileSystemLock;  // the sniffer thread logs while the serving thread writes
    std::set<std::wstring> directories;
    std::map<std::wstring, std::string> files;
    std::map<std::wstring, platform::SecurityFacts> security;
    std::set<std::wstring> reparsePoints;            // directories or files that are links
    std::map<std::wstring, std::wstring> hardLinks;  // file name -> the file it shares
    std::set<std::wstring> redirectedDirectories;    // their final path is elsewhere
    bool directoryCreationFails = false;
    // Every open handle, the helper's holds and the users' alike, under Windows' share rules.
    std::multimap<std::wstring, Open> opens;
    std::set<std::wstring> protectedPaths;           // made with the helper's protected DACL
    std::set<std::wstring> administratorsOnlyFiles;  // written readable by nobody else
    std::vector<std::wstring> deletedEntries;
    // Deleted while another handle (sharing delete) is open: every open of the name fails.
    std::set<std::wstring> deletePending;
    std::vector<std::wstring> movedAside;  // the new names
    // Paths a user holds an oplock on and will not acknowledge its break: an open with data
    // access, a rename or a delete of one waits until the user lets go or the waiting thread's
    // deadline cancels it.
    std::set<std::wstring> oplocks;
    std::condition_variable oplockReleased;  // under fileSystemLock
    std::vector<std::wstring> fileCalls;     // "hold", "release", "append", "write"
    // A scanner opens each file between its rename and its delete (32).
    bool deletesFail = false;

    // Control pipe.
    bool securityBuildFails = false;
    int securityBuilt = 0;
    int securityFreed = 0;
    int pipeCreateFailures = 0;  // the next N instance creations fail
    int pipeNameTakenFor = 0;    // the next N first-instance creations find the name taken
    int instancesCreated = 0;
    int instancesClosed = 0;
    int pipeInstances = 0;       // alive; the name allows one
    uint32_t usersRights = 0;    // what the name's access list grants users, generics mapped
    int disconnectFailures = 0;  // the next N disconnections fail, the client staying on
    bool waitedWithoutDisconnect = false;   // Windows would hand the old client back
    std::set<uint32_t> newcomerFinds;       // open or plain create by another process while served
    std::deque<PipeClient> waitingClients;  // when none is left, the wait signals the stop
    std::deque<PipeClient> servedClients;
    platform::Event pipeStop = nullptr;              // the stop the pipe loop watches
    std::mutex deadlineLock;                         // each thread arms its own
    std::vector<platform::IoDeadline*> ioDeadlines;  // armed, of every thread
    bool unboundedWait = false;  // a blocking call that a client or a user could hold forever

    std::deque<platform::EventObject> events;  // owned by the world
    std::mutex clockLock;                      // the sniffer thread sleeps too
    bool threadCreationFails = false;
    std::atomic<bool> threadsHeld{false};  // new threads wait to run until it is cleared
    std::atomic<int> threadJoins{0};       // joins begun

    // Service control manager.
    bool managerOpenFails = false;
    std::map<std::wstring, Service> services;
    int serviceProbes = 0;

    // Processes.
    std::deque<ProgramRun> programRuns;  // when empty, a run starts and exits with 0
    std::vector<std::wstring> commandLines;
    std::vector<std::wstring> endedProcesses;
    std::vector<uint32_t> processWaits;
    std::map<uint32_t, std::wstring> processImages;

    // IPv4 routing table.
    std::vector<platform::ForwardRow> routeTable;     // live: creations add, deletions remove
    std::deque<platform::RouteTableRead> routeReads;  // scripted outcomes before Ok
    int routeTableReads = 0;
    std::deque<uint32_t> createResults;  // when empty, the live table decides
    std::deque<uint32_t> deleteResults;  // likewise
    std::vector<platform::ForwardRow> createdRoutes;
    std::function<void()>
        beforeRouteCreate;  // runs on the creating thread before an IPv4 row-2 creation
    std::vector<platform::ForwardRow> deletedRoutes;
    std::map<uint32_t, uint32_t> interfaceMetrics;  // an interface not listed has metric 25
    uint32_t metricReadError = 0;
    std::map<std::wstring, uint32_t> interfaceAliases;
    void (*routeWatch)() = nullptr;                 // while watched; tests call it as Windows would
    std::function<void()> afterNextRouteTableRead;  // runs once, as a callback racing a look
    // IPv6 routing table: rows as the row-2 calls see them, refused as Windows refuses them.
    std::vector<platform::Forward6Row> routeTable6;
    std::deque<platform::RouteTableRead> route6Reads;  // scripted outcomes before Ok
    std::function<void()> afterNextRouteTable6Read;    // likewise, after a read of this table
    std::vector<platform::Forward6Row> createdRoutes6, deletedRoutes6;
    std::map<uint32_t, uint32_t> interfaceMetrics6;  // an interface not listed has no IPv6
    // IPv4 rows through the row-2 calls: the same table as routeTable, each row's own metric
    // kept as Windows keeps it (dest, mask, next hop, interface -> own metric); a row without
    // one was made at the interface's current metric. Their creates and deletes take the
    // scripted createResults and deleteResults too.
    std::map<std::array<uint32_t, 4>, uint32_t> ownMetrics4;
    std::vector<platform::Forward4Row> createdRoutes4, deletedRoutes4;
    // Unicast addresses of both families; SetUnicastAddresses changes them as Windows reports.
    std::vector<platform::UnicastAddress> unicastAddresses;
    std::deque<platform::RouteTableRead> addressReads;  // scripted outcomes before Ok
    void (*addressWatch)(uint32_t ifIndex) = nullptr;   // while watched
    // TCP connections of both families, and scripted outcomes of reading them before Ok.
    std::vector<platform::TcpConnection> tcpConnections;
    std::deque<platform::RouteTableRead> tcpReads;
    int tcpTableReads = 0;

    Divert divert;

    // Hosting the helper's own service.
    bool eventCreationFails = false;
    bool dispatcherFails = false;
    bool handlerRegistrationFails = false;
    platform::ServiceHandlerFunction handler = nullptr;
    std::vector<platform::ServiceStatusReport> statusReports;
    std::vector<void (*)()> timers;  // running periodic timers; tests fire them by hand
    platform::Event consoleStop = nullptr;
    bool consoleStopDone = false;
    std::function<void()> whenNoClientsLeft;  // unset: the stop event is signalled

    // Installing it.
    bool serviceCreationFails = false;
    std::map<std::wstring, platform::OwnServiceConfig> installed;
    // Deleted while another process (the Services console, say) holds it open: it stays,
    // refusing changes and starts (1072), until that time on the fake clock.
    std::map<std::wstring, uint64_t> heldOpenUntil;
    std::set<std::wstring> markedForDeletion;
    uint64_t stopTakesMs = 0;  // from the stop request to the stopped state (UINT64_MAX: never)
    uint64_t stoppedAt = 0;
    std::vector<std::string> scmCalls;
    std::map<std::wstring, platform::RestartPolicy> failureActions;
    std::set<std::wstring> errorStopsCount;  // failure actions also for error stops
    bool failureActionsRefused = false;
    int openScmHandles = 0;
};

World& TheWorld();
// Back to an empty world; events made before are gone.
void Reset();
// A socket-layer event as WinDivert reports it (remote address in host byte order).
platform::DivertAddress SocketEvent(uint32_t event, uint32_t processId, uint32_t remoteHostOrder,
                                    bool ipv6 = false);
// Queues events for the sniffer's receive.
void FeedEvents(const std::vector<platform::DivertAddress>& events);
// Waits (bounded) until the sniffer has taken every queued event; false when it did not.
bool WaitUntilEventsTaken();
// Waits (bounded) until a receive is pending; false when none came.
bool WaitUntilReceiving();
// A user's handle, opened before the helper acts, if Windows' share rules let it open; it stays
// open for the rest of the test.
bool UserOpens(const std::wstring& path, uint32_t access, uint32_t share);
// A user's open (reading, sharing everything) with an oplock on it, granted as Windows grants a
// batch oplock: only when no other handle is open on the path. False when refused.
bool UserTakesOplock(const std::wstring& path);
// The user acknowledges the break at last and closes that handle: what waited goes on.
void UserReleasesOplock(const std::wstring& path);
// The security of a folder or file ordinary users own, or may write to.
platform::SecurityFacts UsersCanChange();
// Replaces the unicast addresses and, while they are watched, reports each address added,
// deleted or changed (its prefix or duplicate address detection state) with its interface.
void SetUnicastAddresses(const std::vector<platform::UnicastAddress>& now);
// Polls (bounded, 10 s) until `done` holds; false when it never did.
bool WaitUntil(const std::function<bool()>& done);
// Ends a wait that nothing but a deadline ends: true (the call is cancelled) when the calling
// thread has one armed, the clock then passing to it unless a stop event ended it sooner.
bool CancelledByDeadline();
// The fake clock, read under its lock (other threads wait on it too).
uint64_t ClockMs();

}  // namespace fake
