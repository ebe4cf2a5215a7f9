#pragma once

#include <string>

#include "platform/platform.h"

// Signalled (never reset) when the helper must stop serving the pipe. Created by the service
// main or, in the foreground mode, by the entry point before ControlPipe runs.
extern platform::Event StopEvent;

inline const std::wstring kControlPipeName = L"\\\\.\\pipe\\OrvantaHelper";
// SYSTEM and Administrators: all access; Authenticated Users: read and write.
inline const std::wstring kControlPipeSddl = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;AU)";

// Serves the control pipe one client at a time until StopEvent is signalled.
void ControlPipe();
