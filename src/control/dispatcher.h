#pragma once

#include <string>

#include "platform/platform.h"

// Turns one request line (UTF-8, see wire::RequestLine) into one reply ("OK", "RUNNING",
// "STOPPED", "ERR bad base64", "ERR connect failed", "ERR unknown" or a split status line).
// `stop` is the pipe server's stop, which the split status reports once it is signalled.
std::string CommandDispatcher(const std::string& line, platform::Event stop = nullptr);
