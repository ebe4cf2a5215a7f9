#include <windows.h>

#include "platform/divert.h"

namespace platform {

namespace {

uint32_t Loaded(HMODULE module, DivertLibrary*& library) {
    if (module == nullptr) {
        return GetLastError();
    }
    library = reinterpret_cast<DivertLibrary*>(module);
    return 0;
}

}  // namespace

uint32_t LoadDivertFromPath(const std::wstring& path, DivertLibrary*& library) {
    return Loaded(LoadLibraryW(path.c_str()), library);
}

void* FindDivertExport(DivertLibrary* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(library), name));
}

uint32_t DivertLastError() {
    return GetLastError();
}

}  // namespace platform
