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
// Creates the last level of the path; an existing directory is not an error and nothing is
// reported (the caller notices a missing directory when it opens a file in it).
void CreateDirectoryIfMissing(const std::wstring& path);
// Opens for appending (readers may share), writes the bytes, closes. False when the file
// could not be opened; a short or failed write is not reported.
// Neither write goes through a link: a file that is a reparse point or has more than one hard
// link is deleted and created anew.
bool AppendToFile(const std::wstring& path, const std::string& bytes);
// Creates or truncates the file without sharing, writes the bytes, closes. False when the file
// could not be created; a short or failed write is not reported. With `administratorsOnly`,
// whatever has the name is removed and a new file is created owned by SYSTEM with a protected
// DACL for SYSTEM and Administrators in the same call, so the bytes never sit in a file that
// anyone else owns.
// Returns 0, or the Win32 error of the failed open or creation.
uint32_t WriteWholeFile(const std::wstring& path, const std::string& bytes,
                        bool administratorsOnly);
// Reads a whole file of at most `maxBytes` without following a link; false when it cannot be
// opened, is a link or is larger.
bool ReadWholeFile(const std::wstring& path, size_t maxBytes, std::string& bytes);
// The size of the file, when its attributes can be read.
std::optional<uint64_t> FileSize(const std::wstring& path);
// Renames `source` to `target`, replacing what has that name (the entry itself, never what a
// link points to). False when it could not.
bool MoveReplacing(const std::wstring& source, const std::wstring& target);
// Removes the entry itself, never what a link points to.
void DeletePath(const std::wstring& path);

// ---- Protecting the data directory ------------------------------------------------------

// Creates the directory owned by SYSTEM with a protected DACL (SYSTEM and Administrators: full
// control; Authenticated Users: read and execute; inherited by what is created inside). False
// when it exists already or the caller may not give it that owner.
bool CreateProtectedDirectory(const std::wstring& path);

// What opening the directory itself, without following a reparse point, showed.
struct DirectoryInspection {
    bool opened = false;
    bool isReparsePoint = false;
    bool pathMatches = false;  // its final path is the path asked for
    bool foreign = false;      // another owner, or a DACL that lets non-administrators write
    bool takenBack = false;    // owner and protected DACL were set again through the handle
};
// A directory kept open without delete sharing, so that it can be neither renamed nor replaced
// by a link while the files inside it are opened by path.
struct HeldDirectory;
// With `takeBackIfForeign`, a foreign directory that is no link gets the protected owner and
// DACL again through the same handle (with the privileges LocalSystem holds for that). `held`
// receives the open directory when it was opened and is no link; release it after the use.
DirectoryInspection InspectDirectory(const std::wstring& path, bool takeBackIfForeign,
                                     HeldDirectory*& held);
void ReleaseDirectory(HeldDirectory* held);

// A file that only SYSTEM, Administrators and TrustedInstaller may change, held with its folders.
struct HeldFile;
// Opens each folder from `root` down to `path`, then the file, without following links and
// without delete sharing (the file without write sharing either), and checks that each is
// owned by SYSTEM, Administrators or TrustedInstaller and grants no one else the right to
// write, append, delete, change permissions or owner, or add or remove entries. Null when one
// cannot be opened or fails; otherwise all stay open, so none can be swapped, until released.
HeldFile* HoldAdministratorsOnlyFile(const std::wstring& root, const std::wstring& path);
void ReleaseHeldFile(HeldFile* held);
// For a file that exists: deletes it when it is a reparse point or has more than one hard
// link, otherwise gives it SYSTEM as owner and the protected DACL.
void ProtectExistingFile(const std::wstring& path);
bool RunningAsLocalSystem();
// Makes the process load libraries only from the safe default directories (the executable's
// directory, System32, directories added by an administrator), never the current directory or
// PATH.
void UseSafeLibrarySearch();
// True when the path's attributes can be read (a file or a directory of that name).
bool PathExists(const std::wstring& path);
// The full path of the running executable, however long; empty when it cannot be read.
std::wstring ModuleFilePath();

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
// One byte-mode, synchronous, duplex instance that refuses remote clients; null on failure.
PipeInstance* CreatePipeInstance(const std::wstring& name, const PipeSecurityDescriptor* security);
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
