#pragma once

#include <string>

// %ProgramData%\Orvanta, resolved from the environment on every call and created when missing.
std::wstring DataDirectory();
std::wstring LogFilePath();
std::wstring ConfigFilePath();
