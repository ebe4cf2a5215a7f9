#pragma once

#include <string>

// Turns one request text into one reply text ("OK", "RUNNING", "STOPPED", "ERR bad base64",
// "ERR connect failed" or "ERR unknown").
std::wstring CommandDispatcher(const std::wstring& request);
