#pragma once

// The helper's only window onto the operating system, one header per topic; this one brings
// them all. Everything above it is portable C++: `platform/win32` implements it with the real
// calls, and the unit tests link a scripted in-memory fake instead. The one currency of failure
// is the Win32 error code (0 for success), logged where the helper handles it.

#include "platform/divert.h"
#include "platform/files.h"
#include "platform/pipes.h"
#include "platform/processes.h"
#include "platform/routes.h"
#include "platform/security.h"
#include "platform/services.h"
#include "platform/text.h"
#include "platform/threads.h"
#include "platform/time_events.h"
