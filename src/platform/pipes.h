#pragma once

// The control pipe's server end. Calls that can fail return 0 or the Win32 error.

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/time_events.h"

namespace platform {

struct PipeSecurityDescriptor;
// Builds the descriptor from its SDDL text.
uint32_t BuildPipeSecurity(const std::wstring& sddl, PipeSecurityDescriptor*& security);
void FreePipeSecurity(PipeSecurityDescriptor* security);

constexpr uint32_t kErrorPipeNameTaken = 5;       // another process has an instance of the name
constexpr uint32_t kErrorPipeNotConnected = 233;  // disconnecting: no client was on the instance
constexpr uint32_t kErrorPipeListening = 536;     // disconnecting: the instance listens already
struct PipeInstance;
// The only instance the name may have: byte-mode, synchronous, duplex, refusing remote clients,
// created as the first of its name (kErrorPipeNameTaken when any instance exists) with a
// maximum of one instance, so that no process can add another while it exists. `security` may
// be null (default security).
uint32_t CreateSoleInstance(const std::wstring& name, const PipeSecurityDescriptor* security,
                            PipeInstance*& pipe);
enum class ClientWait { Connected, NoClient };
// Waits for a client to connect. Returns NoClient when the wait fails (a client that came and
// left before it included) or is woken because `stop` became signalled, so that a stop needs no
// client to arrive.
ClientWait WaitForClient(PipeInstance* pipe, Event stop);
// One blocking read of up to `capacity` bytes (0 bytes when the client closed its end).
uint32_t ReadPipe(PipeInstance* pipe, char* buffer, size_t capacity, size_t& received);
// All bytes in one blocking write.
uint32_t WritePipe(PipeInstance* pipe, const std::string& bytes);
// Blocks until the client has read everything written.
void FlushPipe(PipeInstance* pipe);
// Ends the client's connection (unread data is lost), so that the instance can wait for the
// next client.
uint32_t DisconnectPipe(PipeInstance* pipe);
void ClosePipe(PipeInstance* pipe);

// While armed, bounds the calling thread's blocking calls (pipe calls, and opens, creates and
// renames of files and folders): once `milliseconds` have passed (never, for kNoTimeLimit) or
// `stop` (if any) is signalled, the pending call (and any later one) fails with
// kErrorOperationAborted until the deadline is disarmed. Each deadline is its own thread's:
// disarming it ends that one alone, and its passing cancels nothing of another thread's.
// Arming and disarming create nothing: one watcher thread, started with the first deadline,
// serves every one.
constexpr uint32_t kNoTimeLimit = 0xFFFFFFFFu;
constexpr uint32_t kErrorOperationAborted = 995;
struct IoDeadline;
IoDeadline* ArmIoDeadline(uint32_t milliseconds, Event stop);
// True when the deadline had passed (or its stop was signalled) before it was disarmed: what the
// thread called meanwhile may have been cancelled.
bool DisarmIoDeadline(IoDeadline* deadline);

}  // namespace platform
