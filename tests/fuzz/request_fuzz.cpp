// Bytes from a client in, one reply out: the whole request path over the fake pipe.
#include <cstdlib>
#include <string>

#include "control/pipe_server.h"
#include "fake_world.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fake::Reset();
    // With the tunnel program in place, "connect" goes on past the decoding to the file and
    // the install.
    fake::TheWorld().files[L"C:\\Program Files\\Orvanta\\awg\\amneziawg.exe"] = "";
    platform::CreateManualResetEvent(StopEvent);
    fake::PipeClient client;
    // Split the input at its first byte's position so the framing also sees pieces.
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const size_t cut = size > 0 ? data[0] % (size + 1) : 0;
    client.writes = {bytes.substr(0, cut), bytes.substr(cut)};
    fake::TheWorld().waitingClients.push_back(client);
    ControlPipe();
    const std::string& reply = fake::TheWorld().servedClients.front().reply;
    if (reply != "OK\n" && reply != "ERR unknown\n" && reply != "RUNNING\n" &&
        reply != "STOPPED\n" && reply != "ERR bad base64\n" && reply != "ERR connect failed\n") {
        std::abort();
    }
    return 0;
}
