#pragma once

#include <string>

// Turns one request line (UTF-8, see wire::RequestLine) into one reply ("OK", "RUNNING",
// "STOPPED", "ERR bad base64", "ERR connect failed" or "ERR unknown").
std::string CommandDispatcher(const std::string& line);
