#include "split/process_identifier.h"

#include "common/names.h"
#include "platform/platform.h"

std::wstring ProcessImageName(uint32_t processId) {
    if (processId == 0 || processId == 4) {
        return {};  // the idle and system pseudo-processes
    }
    const std::optional<std::wstring> path = platform::ProcessImagePath(processId);
    if (!path) {
        return {};
    }
    const size_t separator = path->find_last_of(L"\\/");
    return LowerCaseName(separator == std::wstring::npos ? *path : path->substr(separator + 1));
}
