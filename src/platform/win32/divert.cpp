#include <windows.h>

#include "platform/platform.h"

namespace platform {

DivertLibrary* LoadDivertFromPath(const std::wstring& path) {
    return reinterpret_cast<DivertLibrary*>(LoadLibraryW(path.c_str()));
}

DivertLibrary* LoadDivertFromSafeSearch(const std::wstring& name, bool besideExecutable) {
    // Never the current directory or PATH, where an ordinary user might plant a library.
    const DWORD where = besideExecutable
                            ? LOAD_LIBRARY_SEARCH_DEFAULT_DIRS
                            : LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS;
    return reinterpret_cast<DivertLibrary*>(LoadLibraryExW(name.c_str(), nullptr, where));
}

void* FindDivertExport(DivertLibrary* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(library), name));
}

}  // namespace platform
