// Bytes from a client in, one reply out: the whole request path over the fake pipe. And the
// two ends agree: what the client builds from the bytes, the helper reads back unchanged.
#include <cstdlib>
#include <string>

#include "common/names.h"
#include "control/pipe_server.h"
#include "fake_world.h"
#include "orvanta_client_logic.h"

namespace {

// Splitting the line's bytes reads as splitting its decoded text at the first U+0020.
bool SplitsAsTheText(const std::string& line, const wire::Request& request) {
    const std::wstring text = platform::Utf8ToWide(line);
    const size_t space = text.find(L' ');
    return platform::Utf8ToWide(request.word) == LowerCaseName(text.substr(0, space)) &&
           platform::Utf8ToWide(request.argument) ==
               (space == std::wstring::npos ? L"" : text.substr(space + 1));
}

wire::Request HelperReads(const std::string& request) {
    return wire::SplitRequest(wire::RequestLine(request));
}

// A word and an argument that one line carries (no line feed, no NUL, no carriage return at
// its end) come back as built; the configuration comes back from its Base64.
bool ClientRequestsReadBack(const std::string& bytes) {
    const char* const words[] = {wire::kPing,       wire::kStatus,  wire::kSplitApps,
                                 wire::kDisconnect, wire::kConnect, wire::kSplitStatus};
    const char* word = words[bytes.empty() ? 0 : static_cast<uint8_t>(bytes[0]) % 6];
    std::string argument = bytes.substr(bytes.empty() ? 0 : 1);
    argument = argument.substr(0, argument.find_first_of(std::string("\n\0", 2)));
    argument = argument.substr(0, argument.find_last_not_of('\r') + 1);
    const wire::Request request = HelperReads(orvanta::BuildRequest(word, argument));
    const wire::Request connect = HelperReads(orvanta::BuildConnectRequest(bytes));
    std::string configuration;
    return request.word == word && request.argument == argument && connect.word == "connect" &&
           (bytes.empty() ||
            (platform::DecodeBase64(platform::Utf8ToWide(connect.argument), configuration) &&
             configuration == bytes));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fake::Reset();
    // With the tunnel program in place, "connect" goes on past the decoding to the file and
    // the install.
    fake::TheWorld().files[L"C:\\Program Files\\Orvanta\\awg\\amneziawg.exe"] = "";
    platform::Event stop = nullptr;
    platform::CreateManualResetEvent(stop);
    fake::PipeClient client;
    // Split the input at its first byte's position so the framing also sees pieces.
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const size_t cut = size > 0 ? data[0] % (size + 1) : 0;
    client.writes = {bytes.substr(0, cut), bytes.substr(cut)};
    fake::TheWorld().waitingClients.push_back(client);
    ControlPipe(stop);
    const std::string& reply = fake::TheWorld().servedClients.front().reply;
    orvanta::SplitStatus split;
    if (reply != "OK\n" && reply != "ERR unknown\n" && reply != "RUNNING\n" &&
        reply != "STOPPED\n" && reply != "ERR bad base64\n" && reply != "ERR connect failed\n" &&
        !orvanta::ParseSplitStatus(wire::ReplyLine(reply), split)) {
        std::abort();
    }
    const std::string line = wire::RequestLine(bytes);
    if (!SplitsAsTheText(line, wire::SplitRequest(line)) || !ClientRequestsReadBack(bytes)) {
        std::abort();
    }
    return 0;
}
