#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "platform/platform.h"

constexpr size_t kReceiveBufferSize = 8192;
constexpr size_t kMaxRequestBytes = 1048576;
// A client must deliver its line within this time of connecting, and read its reply within
// this time of the write; otherwise it is dropped so it cannot hold the helper.
constexpr uint32_t kClientTimeLimitMs = 5000;

// Serves one connected instance: one request line in, one reply line out. Always closes the
// instance before it returns; `beforeClose`, when given, runs once the reply is out and before
// the instance is closed (the pipe server makes its next instance there).
void RequestHandler(platform::PipeInstance* pipe, const std::function<void()>& beforeClose = {});

// The request text carried by the received bytes: the bytes before the first line feed, less
// trailing carriage returns, up to the first NUL, decoded from UTF-8.
std::wstring RequestText(const std::string& received);
