#pragma once

#include <string>

#include "platform/platform.h"

// Signalled (never reset) when the helper must stop serving the pipe. Created by the service
// main or, in the foreground mode, by the entry point before ControlPipe runs.
extern platform::Event StopEvent;

inline const std::wstring kControlPipeName = L"\\\\.\\pipe\\OrvantaHelper";
// SYSTEM and Administrators: all access. Authenticated Users: read and write data, attributes
// and extended attributes, read the descriptor, synchronize (0x12019b): generic write less
// FILE_CREATE_PIPE_INSTANCE (0x4), so no user can add an instance of the name, or take the name
// while it exists. A client opens with GENERIC_READ | FILE_WRITE_DATA.
inline const std::wstring kControlPipeSddl = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x12019b;;;AU)";

// Serves the control pipe one client at a time, in order, until StopEvent is signalled. The
// name never lapses while it serves: the next instance exists before the served one closes.
void ControlPipe();
