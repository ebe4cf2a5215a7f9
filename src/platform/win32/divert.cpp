#include <windows.h>

#include "platform/platform.h"

namespace platform {

DivertLibrary* LoadDivertFromPath(const std::wstring& path) {
    return reinterpret_cast<DivertLibrary*>(LoadLibraryW(path.c_str()));
}

DivertLibrary* LoadDivertFromSafeSearch(const std::wstring& name) {
    // Never the current directory or PATH, where an ordinary user might plant a library.
    return reinterpret_cast<DivertLibrary*>(
        LoadLibraryExW(name.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS));
}

void* FindDivertExport(DivertLibrary* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(library), name));
}

}  // namespace platform
