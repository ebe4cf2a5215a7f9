#include "orvanta_client_logic.h"

#include <cstdint>

namespace orvanta {

int ExitCodeForReply(const std::string& reply) {
    return reply == wire::kOk || reply == wire::kRunning || reply == wire::kStopped ? 0 : 1;
}

bool ServerIsTrusted(uint32_t serverProcessId, uint32_t serviceProcessId,
                     bool pipeOwnedBySystemOrAdministrators) {
    if (serviceProcessId != 0) {
        // Every instance of a pipe name shows the first instance's owner, so beside a running
        // service a user's extra instance would pass an owner check: only its process counts.
        return serverProcessId == serviceProcessId;
    }
    return pipeOwnedBySystemOrAdministrators;
}

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

bool UnescapeRaw(const std::string& text, std::string& bytes) {
    bytes.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes.push_back(text[i]);
            continue;
        }
        if (++i == text.size()) {
            return false;
        }
        switch (text[i]) {
            case 'n':
                bytes.push_back('\n');
                break;
            case 'r':
                bytes.push_back('\r');
                break;
            case 't':
                bytes.push_back('\t');
                break;
            case '0':
                bytes.push_back('\0');
                break;
            case '\\':
                bytes.push_back('\\');
                break;
            case 'x': {
                const int high = i + 1 < text.size() ? HexValue(text[i + 1]) : -1;
                const int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
                if (high < 0 || low < 0) {
                    return false;
                }
                bytes.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                break;
            }
            default:
                return false;
        }
    }
    return true;
}

}  // namespace orvanta
