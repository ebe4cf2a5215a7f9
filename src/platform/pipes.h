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

constexpr uint32_t kErrorPipeNameTaken = 5;  // the first instance: another process has the name
struct PipeInstance;
// One byte-mode, synchronous, duplex instance that refuses remote clients; `security` may be
// null (default security). With `firstInstance`, it fails (kErrorPipeNameTaken) when any
// instance of the name exists already.
uint32_t CreatePipeInstance(const std::wstring& name, const PipeSecurityDescriptor* security,
                            bool firstInstance, PipeInstance*& pipe);
enum class ClientWait { Connected, NoClient };
// Waits for a client to connect. Returns NoClient when the wait fails or is woken because
// `stop` became signalled, so that a stop needs no client to arrive.
ClientWait WaitForClient(PipeInstance* pipe, Event stop);
// One blocking read of up to `capacity` bytes (0 bytes when the client closed its end).
uint32_t ReadPipe(PipeInstance* pipe, char* buffer, size_t capacity, size_t& received);
// All bytes in one blocking write.
uint32_t WritePipe(PipeInstance* pipe, const std::string& bytes);
// Blocks until the client has read everything written.
void FlushPipe(PipeInstance* pipe);
void DisconnectPipe(PipeInstance* pipe);
void ClosePipe(PipeInstance* pipe);

// While armed, bounds the calling thread's blocking pipe calls: once `milliseconds` have
// passed (never, for kNoTimeLimit) or `stop` (if any) is signalled, the pending call (and any
// later one) fails until the deadline is disarmed. Arming and disarming create nothing: one
// watcher thread, started with the first deadline, serves every one.
constexpr uint32_t kNoTimeLimit = 0xFFFFFFFFu;
struct IoDeadline;
IoDeadline* ArmIoDeadline(uint32_t milliseconds, Event stop);
void DisarmIoDeadline(IoDeadline* deadline);

}  // namespace platform
