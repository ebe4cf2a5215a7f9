#pragma once

#include <cstddef>
#include <string>

#include "platform/platform.h"

constexpr size_t kReceiveBufferSize = 8192;
constexpr size_t kMaxRequestBytes = 1048576;
// A client must deliver its line within this time of connecting, and read its reply within
// this time of the write; otherwise it is dropped so it cannot hold the helper.
constexpr uint32_t kClientTimeLimitMs = 5000;

// Serves one connected instance: one request line in, one reply line out. Always ends the
// connection before it returns (an exception included), and returns how that went (0, or the
// Win32 error of the disconnection); the instance stays open for the pipe server to reuse.
// `stop` is the pipe server's, for the commands that report it.
uint32_t RequestHandler(platform::PipeInstance* pipe, platform::Event stop);
