#include "control/request_handler.h"

#include <memory>
#include <vector>

#include "common/wire.h"
#include "control/dispatcher.h"

namespace {

struct DeadlineDisarmer {
    void operator()(platform::IoDeadline* deadline) const { platform::DisarmIoDeadline(deadline); }
};
using ScopedDeadline = std::unique_ptr<platform::IoDeadline, DeadlineDisarmer>;

// Ends the client's connection on every path, an exception included.
class Connection {
  public:
    explicit Connection(platform::PipeInstance* pipe) : pipe_(pipe) {}
    ~Connection() {
        if (pipe_ != nullptr) {
            platform::DisconnectPipe(pipe_);
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    uint32_t End() {
        platform::PipeInstance* pipe = pipe_;
        pipe_ = nullptr;
        return platform::DisconnectPipe(pipe);
    }

  private:
    platform::PipeInstance* pipe_;
};

// Only time bounds a connected client: a stop that arrives meanwhile lets the request finish
// and its reply be written, and the pipe loop ends at its next look.
ScopedDeadline ArmClientTimeLimit() {
    return ScopedDeadline(platform::ArmIoDeadline(kClientTimeLimitMs, nullptr));
}

// Reads until a line feed arrives, the client stops sending, the size limit is passed or the
// time limit runs out. Whatever arrived by then is the request; `cut` tells that it passed the
// size limit without a line feed.
std::string ReceiveRequest(platform::PipeInstance* pipe, bool& cut) {
    const ScopedDeadline deadline = ArmClientTimeLimit();
    std::vector<char> buffer(kReceiveBufferSize);
    std::string received;
    for (;;) {
        size_t count = 0;
        if (platform::ReadPipe(pipe, buffer.data(), buffer.size(), count) != 0 || count == 0) {
            return received;
        }
        received.append(buffer.data(), count);
        // Only the new bytes can hold the first line feed.
        if (received.find('\n', received.size() - count) != std::string::npos) {
            return received;
        }
        if (received.size() > kMaxRequestBytes) {
            cut = true;
            return received;
        }
    }
}

void SendReply(platform::PipeInstance* pipe, const std::string& reply) {
    const ScopedDeadline deadline = ArmClientTimeLimit();
    // The flush must come before the disconnection, which discards unread data.
    if (platform::WritePipe(pipe, reply + "\n") == 0) {
        platform::FlushPipe(pipe);
    }
}

}  // namespace

uint32_t RequestHandler(platform::PipeInstance* pipe, platform::Event stop) {
    Connection connection(pipe);
    bool cut = false;
    const std::string received = ReceiveRequest(pipe, cut);
    // A cut request is not what the client meant: a configuration or a list missing its end.
    SendReply(pipe, cut ? wire::kErrUnknown : CommandDispatcher(wire::RequestLine(received), stop));
    return connection.End();
}
