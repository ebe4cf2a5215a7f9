#pragma once

#include <string>

#include "platform/platform.h"

// Signalled (never reset) when the helper must stop serving the pipe. Created by the service
// main or, in the foreground mode, by the entry point before ControlPipe runs.
extern platform::Event StopEvent;

inline const std::wstring kControlPipeName = L"\\\\.\\pipe\\OrvantaHelper";
// SYSTEM and Administrators: all access. Authenticated Users: generic read and generic write,
// which is what clients of every framework ask for (GENERIC_READ | GENERIC_WRITE). Generic write
// includes FILE_CREATE_PIPE_INSTANCE; the name stays the helper's because its one instance
// allows no other beside it.
inline const std::wstring kControlPipeSddl = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;AU)";

// Serves the control pipe one client at a time, in order, until StopEvent is signalled. It
// holds the name's only instance and reuses it for every client, so that while it serves no
// process can create an instance of the name and a client meets "busy", never "not found".
void ControlPipe();
