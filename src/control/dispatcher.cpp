#include "control/dispatcher.h"

#include "common/names.h"

std::wstring CommandDispatcher(const std::wstring& request) {
    // Only U+0020 separates; the argument is kept verbatim.
    const size_t space = request.find(L' ');
    const std::wstring word = LowerCaseName(request.substr(0, space));
    const std::wstring argument = space == std::wstring::npos ? L"" : request.substr(space + 1);
    (void)argument;
    if (word == L"ping") {
        return L"OK";
    }
    return L"ERR unknown";
}
