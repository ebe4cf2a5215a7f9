#pragma once

// The WinDivert library, loaded at run time and never unloaded.

#include <cstdint>
#include <string>

#include "platform/windivert_types.h"

namespace platform {

struct DivertLibrary;
// Loads the library from exactly this path. Returns 0 or the Win32 error.
uint32_t LoadDivertFromPath(const std::wstring& path, DivertLibrary*& library);
// Null when the library has no such export.
void* FindDivertExport(DivertLibrary* library, const char* name);
// Why the library's last call failed on this thread (its open, say).
uint32_t DivertLastError();

}  // namespace platform
