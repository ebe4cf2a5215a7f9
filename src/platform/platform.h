#pragma once

// The helper's only window onto the operating system. Everything above this header is
// portable C++; `platform/win32` implements it with the real calls and the unit tests link a
// scripted in-memory fake instead. Wide strings are UTF-16 on Windows; conversions between
// UTF-8 and wide text stay in here.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/windivert_types.h"

namespace platform {

// ---- Text -------------------------------------------------------------------------------

// UTF-8 to wide text; malformed sequences become U+FFFD, nothing is rejected.
std::wstring Utf8ToWide(const std::string& bytes);
// Wide text to UTF-8; unpaired surrogates become U+FFFD.
std::string WideToUtf8(const std::wstring& text);
// Plain Base64 as the system decoder reads it; false when the text is rejected.
bool DecodeBase64(const std::wstring& text, std::string& bytes);

// ---- Environment and files --------------------------------------------------------------

std::optional<std::wstring> EnvironmentVariable(const std::wstring& name);
// Creates the last level of the path with the default security of its parent; an existing
// directory is not an error and nothing is reported.
void CreateDirectoryIfMissing(const std::wstring& path);
// True when the path's attributes can be read (a file or a directory of that name).
bool PathExists(const std::wstring& path);
// The full path of the running executable, however long; empty when it cannot be read.
std::wstring ModuleFilePath();

// ---- Security of files and folders, as plain data ---------------------------------------

enum class Principal {
    System,
    Administrators,
    TrustedInstaller,
    CreatorOwner,
    CurrentUser,  // the account this process runs as, when it is none of the above
    Other,
};
struct AccessEntry {
    bool allows = true;        // an allow entry (deny entries never grant)
    bool inheritOnly = false;  // applies to what is created inside, not to the object
    uint32_t mask = 0;         // file rights, generic rights included as written
    Principal who = Principal::Other;
};
struct SecurityFacts {
    bool read = false;  // false: the owner and DACL could not be read
    Principal owner = Principal::Other;
    bool nullDacl = false;  // no DACL at all: everyone may do everything
    std::vector<AccessEntry> entries;
};
// The rights that change a file or folder: write or append data (in a folder: add files or
// folders), write attributes or extended attributes, delete it or what is in it, change its
// DACL or owner; and the generic rights that include them.
constexpr uint32_t kRightsThatChange =
    0x2 | 0x4 | 0x10 | 0x40 | 0x100 | 0x10000 | 0x40000 | 0x80000 | 0x40000000 | 0x10000000;

// ---- Held files and folders --------------------------------------------------------------

// What opening an entry itself (never what a link points to) showed.
struct EntryFacts {
    uint32_t error = 0;        // the open's Win32 error; 0 when it was opened
    bool isLink = false;       // a reparse point, or a file with a second hard link
    bool pathMatches = false;  // its final path is the path asked for (no link on the way)
    SecurityFacts security;
};
// An entry held open with data access (a folder for listing, a file for reading and running)
// and without delete sharing (a file without write sharing either), so that nobody can rename,
// delete, replace or change it while it is held. Windows checks share modes only between opens
// with data access, so a hold without it would hold nothing. Null, with the error in `facts`,
// when it cannot be opened, also when someone already holds it with delete or write access.
struct HeldEntry;
HeldEntry* HoldEntry(const std::wstring& path, bool isDirectory, EntryFacts& facts);
void ReleaseEntry(HeldEntry* entry);

// Who owns a directory or file the helper creates with its protected descriptor.
enum class Owner { System, Administrators };
// Creates the directory with a protected DACL (SYSTEM and Administrators: full control;
// Authenticated Users: read and execute; inherited by what is created inside) and the owner.
// Returns 0, or the Win32 error (183 when it exists; 1307 when the caller may not give it
// that owner).
uint32_t CreateProtectedDirectory(const std::wstring& path, Owner owner);
// Renames the entry itself (a link stays a link) to `newPath` in the same parent, so that
// nothing in it is ever used again. Returns 0, or the Win32 error.
uint32_t MoveEntryAside(const std::wstring& path, const std::wstring& newPath);

// ---- Files inside a held directory -------------------------------------------------------
// Each opens the file relative to the held directory's handle, never again by its full path.
// A file that is a link or has a second hard link is never written through: appending deletes
// and creates it anew.

// Opens for appending (readers may share), writes the bytes, closes. False when the file could
// not be opened; a short or failed write is not reported.
bool AppendToFileIn(HeldEntry* directory, const std::wstring& name, const std::string& bytes);
// Writes the bytes to a new file `name`.tmp created owned by `owner` with a protected DACL for
// SYSTEM and Administrators alone, then renames it over `name`: a process that holds the old
// file keeps the old, now unnamed file. Returns 0, or the Win32 error of the first step that
// failed.
uint32_t ReplaceFileIn(HeldEntry* directory, const std::wstring& name, const std::string& bytes,
                       Owner owner);
// Reads a whole file of at most `maxBytes` that is no link; false otherwise.
bool ReadFileIn(HeldEntry* directory, const std::wstring& name, size_t maxBytes,
                std::string& bytes);
std::optional<uint64_t> FileSizeIn(HeldEntry* directory, const std::wstring& name);
// Renames `from` to `to`, replacing what has that name. False when it could not.
bool RenameFileIn(HeldEntry* directory, const std::wstring& from, const std::wstring& to);
// Deletes the entry itself. False when it could not.
bool DeleteFileIn(HeldEntry* directory, const std::wstring& name);

bool RunningAsLocalSystem();
// True when the process's token holds the Administrators group enabled (an elevated
// administrator, or SYSTEM).
bool RunningAsAdministrator();
// Makes the process load libraries only from the safe default directories (the executable's
// directory, System32, directories added by an administrator), never the current directory or
// PATH.
void UseSafeLibrarySearch();

// ---- Time and events --------------------------------------------------------------------

struct LocalTime {
    int year, month, day, hour, minute, second;
};
LocalTime CurrentLocalTime();
void SleepMs(uint32_t milliseconds);
// Milliseconds since the system started, never going back: the clock every bounded wait is
// measured on.
uint64_t TickCountMs();

struct EventObject;
using Event = EventObject*;
// A manual-reset event, not signalled; null when it cannot be created.
Event CreateManualResetEvent();
void SignalEvent(Event event);
// A poll with a zero time-out: only "signalled" counts as set.
bool IsEventSignalled(Event event);
// Waits at most `milliseconds` for the event; true when it is signalled.
bool WaitForEvent(Event event, uint32_t milliseconds);
uint32_t LastErrorCode();

// Runs `tick` about every `periodMs` on a thread of the system's until stopped; null when no
// timer could be made.
struct PeriodicTimer;
PeriodicTimer* StartPeriodicTimer(void (*tick)(), uint32_t periodMs);
// Cancels the timer and waits for a tick that is running.
void StopPeriodicTimer(PeriodicTimer* timer);

// In the foreground: Ctrl+C, Ctrl+Break, closing the console window, logoff and shutdown
// signal `stop` instead of killing the process. For a close, logoff or shutdown, whose handler
// must not return before the process has cleaned up, the handler then waits (at most a few
// seconds, as the system allows) for ConsoleStopDone.
void HandleConsoleStop(Event stop);
void ConsoleStopDone();

// ---- Threads ----------------------------------------------------------------------------

struct Thread;
// Starts a thread running `body`; null when the system cannot create one.
Thread* StartThread(void (*body)());
// Waits for the thread to end and releases it.
void JoinThread(Thread* thread);

// ---- Control pipe, server end -----------------------------------------------------------

struct PipeSecurityDescriptor;
// Null when the SDDL text cannot be converted; instances then get the default security.
PipeSecurityDescriptor* BuildPipeSecurity(const std::wstring& sddl);
void FreePipeSecurity(PipeSecurityDescriptor* security);

struct PipeInstance;
// One byte-mode, synchronous, duplex instance that refuses remote clients; null on failure
// (LastErrorCode tells why). With `firstInstance`, it fails (access denied) when any instance
// of the name exists already.
PipeInstance* CreatePipeInstance(const std::wstring& name, const PipeSecurityDescriptor* security,
                                 bool firstInstance);
enum class ClientWait { Connected, NoClient };
// Waits for a client to connect. Returns NoClient when the wait fails or is woken because
// `stop` became signalled, so that a stop needs no client to arrive.
ClientWait WaitForClient(PipeInstance* pipe, Event stop);
// One blocking read of up to `capacity` bytes; false when the read fails (or was cancelled).
bool ReadPipe(PipeInstance* pipe, char* buffer, size_t capacity, size_t& received);
// All bytes in one blocking write; false on failure.
bool WritePipe(PipeInstance* pipe, const std::string& bytes);
// Blocks until the client has read everything written.
void FlushPipe(PipeInstance* pipe);
void DisconnectPipe(PipeInstance* pipe);
void ClosePipe(PipeInstance* pipe);

// While armed, bounds the calling thread's blocking pipe calls: once `milliseconds` have
// passed (never, for kNoTimeLimit) or `stop` is signalled, the pending call (and any later one)
// fails until the deadline is disarmed. Arming and disarming create nothing: one watcher
// thread, started with the first deadline, serves every one.
constexpr uint32_t kNoTimeLimit = 0xFFFFFFFFu;
struct IoDeadline;
IoDeadline* ArmIoDeadline(uint32_t milliseconds, Event stop);
void DisarmIoDeadline(IoDeadline* deadline);

// ---- Services ---------------------------------------------------------------------------

constexpr uint32_t kServiceStopped = 1;
constexpr uint32_t kServiceStartPending = 2;
constexpr uint32_t kServiceRunning = 4;

// What one connection to the service control manager learned about a service.
struct ServiceProbe {
    bool managerOpened = false;
    bool serviceOpened = false;
    bool statusRead = false;
    uint32_t currentState = 0;
    bool startsAutomatically = false;  // read only when asked for
};
ServiceProbe ProbeService(const std::wstring& name, bool readStatus, bool readStartType = false);

// ---- Hosting the helper's own service ----------------------------------------------------

using ServiceMainFunction = void (*)(uint32_t argc, wchar_t** argv);
using ServiceHandlerFunction = uint32_t (*)(uint32_t control, uint32_t eventType, void* eventData,
                                            void* context);
// Hands the calling thread to the service control dispatcher for one own-process service; it
// runs `main` on a thread of its own and returns once the service has stopped. False when
// the dispatcher cannot connect to the service control manager.
bool RunServiceDispatcher(const std::wstring& name, ServiceMainFunction main);

struct ServiceStatusHandle;
// Registers the extended control handler (no context); null on failure.
ServiceStatusHandle* RegisterServiceHandler(const std::wstring& name,
                                            ServiceHandlerFunction handler);
struct ServiceStatusReport {
    uint32_t serviceType, currentState, controlsAccepted, win32ExitCode, serviceExitCode,
        checkpoint, waitHint;
};
void ReportServiceStatus(ServiceStatusHandle* handle, const ServiceStatusReport& report);

// ---- Installing the helper's own service ------------------------------------------------

struct ScmHandle;  // a handle to the service control manager or to one service
ScmHandle* ScmOpenManager(uint32_t access);
ScmHandle* ScmOpenService(ScmHandle* manager, const std::wstring& name, uint32_t access);
struct OwnServiceConfig {
    std::wstring name, displayName, commandLine;
    uint32_t serviceType, startType, errorControl;
};
// Creates the service with all access, running as LocalSystem, without group, tag or
// dependencies; null on failure.
ScmHandle* ScmCreateService(ScmHandle* manager, const OwnServiceConfig& config);
// Rewrites type, start type, error control, command line and display name; leaves the rest.
bool ScmChangeConfig(ScmHandle* service, const OwnServiceConfig& config);
bool ScmStartService(ScmHandle* service);
bool ScmStopService(ScmHandle* service);
// The service's current state; false when it cannot be read.
bool ScmQueryState(ScmHandle* service, uint32_t& state);
// Why a change or start failed: the service is marked for deletion. It goes once every handle
// to it is closed, which another process (the Services console) may delay.
constexpr uint32_t kErrorServiceMarkedForDelete = 1072;
bool ScmDeleteService(ScmHandle* service);
void ScmClose(ScmHandle* handle);

// ---- Processes --------------------------------------------------------------------------

enum class ProcessOutcome {
    NotStarted,
    Exited,          // `exitCode` is its exit code (1 when it could not be read)
    EndedAfterWait,  // still running when the wait ran out: ended, and gone before the return
    NotEnded,        // still running, and not gone within a second of being ended: `exitCode`
                     // holds the Win32 error of the termination (or of the wait)
};
// Runs the command line hidden, with no window and no inherited handles, and waits at most
// `waitMs`. A process that outlives the wait is ended, so that it cannot act later; the end is
// waited for a second at most.
ProcessOutcome RunHiddenProcess(const std::wstring& commandLine, uint32_t waitMs,
                                uint32_t& exitCode);
// The Win32 path of a process's image, however long; nothing when the process cannot be opened
// with the limited query right.
std::optional<std::wstring> ProcessImagePath(uint32_t processId);

// ---- IPv4 routing table -----------------------------------------------------------------

struct ForwardRow {
    uint32_t dest = 0, mask = 0, policy = 0, nextHop = 0, ifIndex = 0, type = 0, proto = 0, age = 0,
             nextHopAS = 0, metric1 = 0, metric2 = 0, metric3 = 0, metric4 = 0, metric5 = 0;
};
enum class RouteTableRead {
    Ok,
    ProbeFailed,  // the size probe did not ask for a buffer
    NoMemory,
    Grew,        // the table outgrew the probed size before it was read
    ReadFailed,  // any other failure of the read
};
// One size probe and one read of the table, rows in the system's order.
RouteTableRead ReadIpv4ForwardTable(std::vector<ForwardRow>& rows);
uint32_t CreateForwardEntry(const ForwardRow& row);
uint32_t DeleteForwardEntry(const ForwardRow& row);
// The IPv4 metric of the interface, which Windows adds to a route's own metric: a row whose
// metric is below it is refused. Returns 0, or the Win32 error when it cannot be read.
uint32_t ReadInterfaceMetric(uint32_t ifIndex, uint32_t& metric);
// The index of the interface whose alias (the name Windows shows for the adapter) is `alias`.
// Returns 0, or the Win32 error when there is no such interface.
uint32_t InterfaceIndexFromAlias(const std::wstring& alias, uint32_t& ifIndex);
constexpr uint32_t kErrorRouteNotFound = 1168;        // ERROR_NOT_FOUND
constexpr uint32_t kErrorRouteExists = 5010;          // ERROR_OBJECT_ALREADY_EXISTS
constexpr uint32_t kErrorMetricBelowInterface = 160;  // ERROR_BAD_ARGUMENTS
constexpr uint32_t kRouteTypeDirect = 3;              // on-link: the next hop is the destination
constexpr uint32_t kRouteTypeIndirect = 4;
constexpr uint32_t kRouteProtocolNetMgmt = 3;

// Calls `changed` on a thread of the system's whenever an IPv4 default route (0.0.0.0/0) is
// added, deleted or changed, until stopped; other routes (the helper's own among them) do not
// call it. Null when the system refuses the registration.
struct RouteWatch;
RouteWatch* WatchDefaultRoutes(void (*changed)());
// Ends the watch; a call of `changed` that is running has returned when this returns. Never
// call it from `changed` itself.
void StopWatchingRoutes(RouteWatch* watch);

// ---- Divert library ---------------------------------------------------------------------

struct DivertLibrary;
// Loads the library from exactly this path; null on failure.
DivertLibrary* LoadDivertFromPath(const std::wstring& path);
// Loads the library by name from the safe default directories only (the executable's own
// directory unless `besideExecutable` is false, System32, directories an administrator
// added); null on failure.
DivertLibrary* LoadDivertFromSafeSearch(const std::wstring& name, bool besideExecutable);
void* FindDivertExport(DivertLibrary* library, const char* name);
// Dotted-decimal text to an IPv4 address in network byte order.
bool ParseIpv4(const char* text, uint32_t& networkOrder);
uint32_t HostToNetwork32(uint32_t hostOrder);

}  // namespace platform
