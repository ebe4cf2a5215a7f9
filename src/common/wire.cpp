#include "common/wire.h"

#include <cstdint>

#include "common/names.h"

namespace wire {

std::string RequestLine(const std::string& received) {
    std::string line = received.substr(0, received.find('\n'));
    while (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return line.substr(0, line.find('\0'));
}

Request SplitRequest(const std::string& line) {
    const size_t space = line.find(' ');
    Request request{line.substr(0, space),
                    space == std::string::npos ? std::string() : line.substr(space + 1)};
    LowerCaseAToZ(request.word);
    return request;
}

std::string Base64Encode(const std::string& bytes) {
    static const char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t left = bytes.size() - i;
        uint32_t group = static_cast<uint8_t>(bytes[i]) << 16;
        if (left > 1) {
            group |= static_cast<uint8_t>(bytes[i + 1]) << 8;
        }
        if (left > 2) {
            group |= static_cast<uint8_t>(bytes[i + 2]);
        }
        text.push_back(kAlphabet[(group >> 18) & 0x3F]);
        text.push_back(kAlphabet[(group >> 12) & 0x3F]);
        text.push_back(left > 1 ? kAlphabet[(group >> 6) & 0x3F] : '=');
        text.push_back(left > 2 ? kAlphabet[group & 0x3F] : '=');
    }
    return text;
}

std::string BuildRequest(const std::string& word, const std::string& argument) {
    return argument.empty() ? word + "\n" : word + " " + argument + "\n";
}

std::string BuildConnectRequest(const std::string& configurationBytes) {
    // The space stays even before an empty text, which the helper refuses as no configuration.
    return std::string(kConnect) + " " + Base64Encode(configurationBytes) + "\n";
}

std::string ReplyLine(const std::string& received) {
    return received.substr(0, received.find('\n'));
}

}  // namespace wire
