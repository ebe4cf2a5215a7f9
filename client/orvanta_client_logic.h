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

// 0 for "OK", "RUNNING", "STOPPED" and a split status line ("split ..."), 1 for anything else
// the helper said.
int ExitCodeForReply(const std::string& reply);
constexpr int kExitUnreachable = 2;

// Whether a pipe server may receive a request (which may carry a private key). While the
// OrvantaHelper service has a process, only that process; when none runs (an administrator's
// helper started with --console), a pipe owned by SYSTEM or the Administrators group. Process
// ids of 0 mean unknown (no service process, no server id).
bool ServerIsTrusted(uint32_t serverProcessId, uint32_t serviceProcessId,
                     bool pipeOwnedBySystemOrAdministrators);

// The reply to "splitstatus" (request it with BuildRequest(wire::kSplitStatus, "")), read by
// ParseSplitStatus.
struct SplitStatus {
    bool on = false;  // per-app splitting runs
    // While on: applications listed; bypass routes held of each family and the most each may
    // hold; the physical interface each family's bypass goes through (0: none); addresses in the
    // route memory; entries of the tunnel's set kept in the tunnel; the families whose routes
    // reached their most (from the first eviction until their routes are next removed); and
    // whether the tunnel blocks bypassed traffic (its only peer allows every address).
    uint32_t apps = 0;
    uint32_t routes = 0, routesCap = 0;
    uint32_t routes6 = 0, routes6Cap = 0;
    uint32_t ipv4IfIndex = 0, ipv6IfIndex = 0;
    uint32_t remembered = 0, kept = 0;
    bool capReachedIpv4 = false, capReachedIpv6 = false;
    bool blockedByTunnel = false;
    // While off: why ("stopping", "no-tunnel", "no-apps", "sniffer-not-started",
    // "windivert-not-loaded", "windivert-exports-missing", "windivert-open-failed"), and with
    // "windivert-open-failed" WinDivert's error.
    std::string reason;
    uint32_t error = 0;
};

// BuildRequest(wire::kSplitForget, "") asks the helper to empty its route memory (the
// remembered destinations of the listed applications, see `remembered`) and delete its file;
// the reply is "OK".

// False when the line is not a split status line; fields it does not know are skipped.
bool ParseSplitStatus(const std::string& line, SplitStatus& status);

// Turns C-style escapes (\n \r \t \0 \\ \xHH) into bytes; false on a malformed escape.
bool UnescapeRaw(const std::string& text, std::string& bytes);

}  // namespace orvanta
