#pragma once

// The parts of the Orvanta Helper client that do not touch the pipe: building requests and
// reading replies. Usable on any platform.

#include <cstdint>
#include <string>

#include "common/wire.h"

namespace orvanta {

// The names, the request building and the reply reading are the helper's own (common/wire.h).
inline constexpr const wchar_t* kPipeName = wire::kPipeName;
inline constexpr const wchar_t* kServiceName = wire::kServiceName;
using wire::Base64Encode;
using wire::BuildConnectRequest;
using wire::BuildRequest;
using wire::ReplyLine;

// 0 for "OK", "RUNNING" and "STOPPED", 1 for anything else the helper said.
int ExitCodeForReply(const std::string& reply);
constexpr int kExitUnreachable = 2;

// Whether a pipe server may receive a request (which may carry a private key). While the
// OrvantaHelper service has a process, only that process; when none runs (an administrator's
// helper started with --console), a pipe owned by SYSTEM or the Administrators group. Process
// ids of 0 mean unknown (no service process, no server id).
bool ServerIsTrusted(uint32_t serverProcessId, uint32_t serviceProcessId,
                     bool pipeOwnedBySystemOrAdministrators);

// Turns C-style escapes (\n \r \t \0 \\ \xHH) into bytes; false on a malformed escape.
bool UnescapeRaw(const std::string& text, std::string& bytes);

}  // namespace orvanta
