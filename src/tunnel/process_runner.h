#pragma once

#include <cstdint>
#include <string>

#include "platform/processes.h"

constexpr uint32_t kProcessWaitMs = 30000;
constexpr int kStillActive = static_cast<int>(platform::kStillActive);

// Runs `"exePath" arguments` hidden and waits up to 30 s. Returns the exit code, 259 when the
// program was still running (then ended, or logged as not ended, within a second more), or -1
// when it could not be started (logged).
int RunProcess(const std::wstring& exePath, const std::wstring& arguments);
