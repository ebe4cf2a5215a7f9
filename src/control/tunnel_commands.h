#pragma once

#include <string>

// The four commands that act on the tunnel; each returns its reply (common/wire.h).
std::string StatusCommand();
std::string SplitAppsCommand(const std::wstring& argument);
std::string DisconnectCommand();
// The argument is the Base64 of the configuration's UTF-8 text.
std::string ConnectCommand(const std::wstring& argument);
