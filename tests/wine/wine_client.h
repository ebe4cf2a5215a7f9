#pragma once

// One request to the helper through the client library, for the programs that link it.

#include <string>

#include "orvanta_client.h"

namespace wine_support {

enum class Verify { Server, Skip };

// The reply line, or "<no reply>". A --console helper under Wine runs as the Wine user and
// its pipe is not owned by SYSTEM, so those tests skip the client's check of the server.
inline std::string Ask(const std::string& request, Verify verify) {
    orvanta::ClientOptions options;
    options.waitMs = 60000;
    options.verifyServer = verify == Verify::Server;
    const orvanta::ClientResult result = orvanta::SendRequest(request, options);
    return result.status == orvanta::ClientStatus::Replied ? result.reply : "<no reply>";
}

}  // namespace wine_support
