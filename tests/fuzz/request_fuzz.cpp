// Bytes from a client in, one reply out: the whole request path over the fake pipe. And the
// two ends agree: what the client builds from the bytes, the helper reads back unchanged.
#include <cstdlib>
#include <string>

#include "common/names.h"
#include "common/wire.h"
#include "control/pipe_server.h"
#include "fake_world.h"
#include "orvanta_client_logic.h"

namespace {

void Check(bool holds) {
    if (!holds) {
        std::abort();
    }
}

void ServeThroughThePipe(const std::string& bytes) {
    fake::Reset();
    // With the tunnel program in place, "connect" goes on past the decoding to the file and
    // the install.
    fake::TheWorld().files[L"C:\\Program Files\\Orvanta\\awg\\amneziawg.exe"] = "";
    platform::Event stop = nullptr;
    platform::CreateManualResetEvent(stop);
    fake::PipeClient client;
    // Split the input at its first byte's position so the framing also sees pieces.
    const size_t cut = bytes.empty() ? 0 : static_cast<uint8_t>(bytes[0]) % (bytes.size() + 1);
    client.writes = {bytes.substr(0, cut), bytes.substr(cut)};
    fake::TheWorld().waitingClients.push_back(client);
    ControlPipe(stop);
    const std::string& reply = fake::TheWorld().servedClients.front().reply;
    bool known = false;
    for (const char* text : {wire::kOk, wire::kRunning, wire::kStopped, wire::kErrUnknown,
                             wire::kErrBadBase64, wire::kErrConnectFailed}) {
        known = known || reply == std::string(text) + "\n";
    }
    Check(known);
}

// The line split in UTF-8 reads as the decoded text split at its first U+0020.
void CheckSplitMatchesTheDecodedText(const std::string& bytes) {
    const std::string line = wire::RequestLine(bytes);
    const std::wstring text = platform::Utf8ToWide(line);
    const size_t space = text.find(L' ');
    const wire::Request request = wire::SplitRequest(line);
    Check(platform::Utf8ToWide(request.word) == LowerCaseName(text.substr(0, space)));
    Check(platform::Utf8ToWide(request.argument) ==
          (space == std::wstring::npos ? std::wstring() : text.substr(space + 1)));
}

wire::Request HelperReads(const std::string& request) {
    return wire::SplitRequest(wire::RequestLine(request));
}

void CheckClientRequestsReadBack(const std::string& bytes) {
    const char* const words[] = {wire::kPing, wire::kStatus, wire::kSplitApps, wire::kDisconnect,
                                 wire::kConnect};
    const char* word = words[bytes.empty() ? 0 : static_cast<uint8_t>(bytes[0]) % 5];
    // Only what one line carries: no line feed, no NUL, no carriage return at its end.
    std::string argument = bytes.empty() ? "" : bytes.substr(1);
    argument = argument.substr(0, argument.find_first_of(std::string("\n\0", 2)));
    while (!argument.empty() && argument.back() == '\r') {
        argument.pop_back();
    }
    const wire::Request request = HelperReads(orvanta::BuildRequest(word, argument));
    Check(request.word == word && request.argument == argument);
    const wire::Request connect = HelperReads(orvanta::BuildConnectRequest(bytes));
    std::string configuration;
    Check(connect.word == wire::kConnect);
    Check(bytes.empty() ||
          (platform::DecodeBase64(platform::Utf8ToWide(connect.argument), configuration) &&
           configuration == bytes));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    ServeThroughThePipe(bytes);
    CheckSplitMatchesTheDecodedText(bytes);
    CheckClientRequestsReadBack(bytes);
    return 0;
}
