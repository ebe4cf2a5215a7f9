// The split-app list parser: any text gives trimmed, non-empty, lower-cased entries.
#include <cstdlib>
#include <string>

#include "fake_world.h"
#include "split/split_apps.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::wstring text =
        platform::Utf8ToWide(std::string(reinterpret_cast<const char*>(data), size));
    for (const std::wstring& entry : ParseSplitApps(text)) {
        if (entry.empty() || entry.front() == L' ' || entry.front() == L'\t' ||
            entry.back() == L'\r' || entry.back() == L' ' ||
            entry.find(L';') != std::wstring::npos) {
            std::abort();
        }
        for (wchar_t unit : entry) {
            if (unit >= L'A' && unit <= L'Z') {
                std::abort();
            }
        }
    }
    return 0;
}
