#pragma once

// A client of the Orvanta Helper's control pipe, for Windows applications: one request, one
// reply per call. Include this header and link orvanta_client.cpp with
// orvanta_client_logic.cpp.

#include <cstdint>
#include <string>

#include "orvanta_client_logic.h"

namespace orvanta {

struct ClientOptions {
    // How long to keep trying while the pipe is busy (another client is being served, or the
    // helper is between two requests) or absent (the helper is starting). A "connect" may keep the
    // helper busy for minutes, so callers that queue behind one may want more.
    uint32_t waitMs = 60000;
    // Before anything is written, make sure the pipe is served by the OrvantaHelper service's
    // process (or, when no such service runs, owned by SYSTEM or Administrators): any local user
    // can create a pipe of the same name and would otherwise receive the request, a tunnel's
    // private key included. Turn this off only for a helper started with --console by an
    // ordinary user during development.
    bool verifyServer = true;
};

enum class ClientStatus {
    Replied,      // `reply` holds the helper's reply line
    Unreachable,  // the pipe could not be opened in time; `error` says why
    NoReply,      // the request went out but the connection ended without a reply line
    Untrusted,    // the pipe is served by some other process; nothing was sent
};

struct ClientResult {
    ClientStatus status = ClientStatus::Unreachable;
    std::string reply;             // without the line feed
    uint32_t error = 0;            // the Win32 error code of the last failure
    uint32_t serverProcessId = 0;  // the process that served the pipe, when known
};

// Sends the request bytes exactly as given (they should end with a line feed) and reads the
// reply line.
ClientResult SendRequest(const std::string& request, const ClientOptions& options = {});

}  // namespace orvanta
