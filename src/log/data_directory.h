#pragma once

#include <string>

// %ProgramData%\Orvanta, resolved from the environment on every call and created when missing.
// Empty when the directory is a link to somewhere else: then nothing may be written there.
std::wstring DataDirectory();
// The files in it; empty when the directory must not be used (an open then fails).
std::wstring LogFilePath();
std::wstring ConfigFilePath();
