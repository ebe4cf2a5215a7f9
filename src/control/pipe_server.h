#pragma once

#include <string>

#include "common/wire.h"
#include "platform/platform.h"

inline const std::wstring kControlPipeName = wire::kPipeName;
// SYSTEM and Administrators: all access. Authenticated Users: generic read and generic write,
// which is what clients of every framework ask for (GENERIC_READ | GENERIC_WRITE). Generic write
// includes FILE_CREATE_PIPE_INSTANCE; the name stays the helper's because its one instance
// allows no other beside it.
inline const std::wstring kControlPipeSddl = L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;AU)";

// Serves the control pipe one client at a time, in order, until `stop` is signalled (never
// reset; null when it could not be made, and the loop then serves until the process ends). The
// caller owns it: the service main, or the entry point in the foreground mode. It holds the
// name's only instance and reuses it for every client, so that while it serves no process can
// create an instance of the name and a client meets "busy", never "not found". Returns 0 after
// the stop, or the Win32 error of an instance that could not be created for 30 s.
uint32_t ControlPipe(platform::Event stop);
