#include "orvanta_client_logic.h"

#include <cstdint>
#include <map>
#include <sstream>

namespace orvanta {

int ExitCodeForReply(const std::string& reply) {
    return reply == wire::kOk || reply == wire::kRunning || reply == wire::kStopped ||
                   reply.rfind("split ", 0) == 0
               ? 0
               : 1;
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

// A decimal number that fits 32 bits, nothing else.
bool ParseNumber(const std::string& text, uint32_t& value) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const unsigned long long number = std::stoull(text);
    value = static_cast<uint32_t>(number);
    return number <= UINT32_MAX;
}

// "N/CAP"
bool ParseRoutes(const std::string& text, uint32_t& count, uint32_t& cap) {
    const size_t slash = text.find('/');
    return slash != std::string::npos && ParseNumber(text.substr(0, slash), count) &&
           ParseNumber(text.substr(slash + 1), cap);
}

// "IFINDEX" or "none" (0)
bool ParseInterface(const std::string& text, uint32_t& ifIndex) {
    return text == "none" || (ParseNumber(text, ifIndex) && ifIndex != 0);
}

// The fields after "split on": every one of the grammar's must be there. A missing one reads
// as empty, which no field accepts.
bool ParseSplitOn(std::map<std::string, std::string>& fields, SplitStatus& status) {
    const std::string& cap = fields["cap-reached"];
    status.capReachedIpv4 = cap == "ipv4" || cap == "both";
    status.capReachedIpv6 = cap == "ipv6" || cap == "both";
    return ParseNumber(fields["apps"], status.apps) &&
           ParseRoutes(fields["routes"], status.routes, status.routesCap) &&
           ParseRoutes(fields["routes6"], status.routes6, status.routes6Cap) &&
           ParseInterface(fields["ipv4"], status.ipv4IfIndex) &&
           ParseInterface(fields["ipv6"], status.ipv6IfIndex) &&
           ParseNumber(fields["remembered"], status.remembered) &&
           ParseNumber(fields["kept"], status.kept);
}

}  // namespace

bool ParseSplitStatus(const std::string& line, SplitStatus& status) {
    status = SplitStatus();
    std::istringstream words(line);
    std::string split, state, word;
    words >> split >> state;
    if (split != "split" || (state != "on" && state != "off")) {
        return false;
    }
    status.on = state == "on";
    std::map<std::string, std::string> fields;
    while (words >> word) {
        const size_t equals = word.find('=');
        if (equals == std::string::npos) {
            status.blockedByTunnel = status.blockedByTunnel || word == "blocked-by-tunnel";
        } else if (!fields.emplace(word.substr(0, equals), word.substr(equals + 1)).second) {
            return false;  // a field twice
        }
    }
    if (status.on) {
        return ParseSplitOn(fields, status);
    }
    status.reason = fields["reason"];
    return !status.reason.empty() &&
           (fields.count("err") == 0 || ParseNumber(fields["err"], status.error));
}

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
