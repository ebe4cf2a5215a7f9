#pragma once

#include <string>

// The four commands that act on the tunnel; each returns its reply text.
std::wstring StatusCommand();
std::wstring SplitAppsCommand(const std::wstring& argument);
std::wstring DisconnectCommand();
// The argument is the Base64 of the configuration's UTF-8 text.
std::wstring ConnectCommand(const std::wstring& argument);
