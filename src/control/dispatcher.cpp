#include "control/dispatcher.h"

#include "common/wire.h"
#include "control/split_status_command.h"
#include "control/tunnel_commands.h"
#include "platform/platform.h"

std::string CommandDispatcher(const std::string& line, platform::Event stop) {
    // The line splits at its first U+0020 before decoding: a space is never part of a longer
    // sequence, and a malformed one never takes it in, so each side decodes as in the whole.
    const wire::Request request = wire::SplitRequest(line);
    if (request.word == wire::kPing) {
        return wire::kOk;
    }
    if (request.word == wire::kStatus) {
        return StatusCommand();
    }
    if (request.word == wire::kSplitApps) {
        return SplitAppsCommand(platform::Utf8ToWide(request.argument));
    }
    if (request.word == wire::kDisconnect) {
        return DisconnectCommand();
    }
    if (request.word == wire::kConnect) {
        return ConnectCommand(platform::Utf8ToWide(request.argument));
    }
    if (request.word == wire::kSplitStatus) {
        return SplitStatusCommand(stop != nullptr && platform::IsEventSignalled(stop));
    }
    if (request.word == wire::kSplitForget) {
        return SplitForgetCommand();
    }
    return wire::kErrUnknown;
}
