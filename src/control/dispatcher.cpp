#include "control/dispatcher.h"

#include "common/names.h"
#include "control/tunnel_commands.h"

std::wstring CommandDispatcher(const std::wstring& request) {
    // Only U+0020 separates; the argument is kept verbatim.
    const size_t space = request.find(L' ');
    const std::wstring word = LowerCaseName(request.substr(0, space));
    const std::wstring argument = space == std::wstring::npos ? L"" : request.substr(space + 1);
    if (word == L"ping") {
        return L"OK";
    }
    if (word == L"status") {
        return StatusCommand();
    }
    if (word == L"splitapps") {
        return SplitAppsCommand(argument);
    }
    if (word == L"disconnect") {
        return DisconnectCommand();
    }
    if (word == L"connect") {
        return ConnectCommand(argument);
    }
    return L"ERR unknown";
}
