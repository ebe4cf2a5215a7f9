// One client's request read and answered: framing, bounds and time limits.
#include "control/request_handler.h"
#include "control_fixture.h"

namespace {

using fake::PipeClient;

class RequestHandlerTest : public ControlFixture {};

struct FramingCase {
    const char* name;
    std::string request;
    std::string reply;              // empty: the access list refuses the open
    uint32_t access = 0xC0000000u;  // GENERIC_READ | GENERIC_WRITE
};

class FramingTest : public RequestHandlerTest, public ::testing::WithParamInterface<FramingCase> {};

TEST_P(FramingTest, AnAdmittedOpenGetsExactlyOneReplyLine) {
    PipeClient asking = Writing({GetParam().request});
    asking.access = GetParam().access;
    Serve({asking});
    const PipeClient& client = Served(0);
    EXPECT_EQ(client.openError, GetParam().reply.empty() ? 5u : 0u);
    EXPECT_EQ(client.reply, GetParam().reply);
    EXPECT_EQ(client.flushed && client.disconnected && client.closed, !GetParam().reply.empty());
}

using namespace std::string_literals;

INSTANTIATE_TEST_SUITE_P(
    WireFormat, FramingTest,
    ::testing::Values(FramingCase{"Ping", "ping\n", "OK\n"},
                      FramingCase{"CarriageReturnBeforeLineFeed", "ping\r\n", "OK\n"},
                      FramingCase{"TwoCarriageReturns", "ping\r\r\n", "OK\n"},
                      FramingCase{"CarriageReturnNotAtEnd", "ping\r \n", "ERR unknown\n"},
                      FramingCase{"SecondLineNeverAnswered", "ping\nstatus\n", "OK\n"},
                      FramingCase{"NulEndsText", "ping\0garbage\n"s, "OK\n"},
                      FramingCase{"CarriageReturnsGoBeforeNul", "ping\0\r\n"s, "OK\n"},
                      FramingCase{"CarriageReturnBeforeNulStays", "ping\r\0\n"s, "ERR unknown\n"},
                      FramingCase{"ByteOrderMarkIsPartOfWord", "\xEF\xBB\xBFping\n",
                                  "ERR unknown\n"},
                      FramingCase{"CapitalsWithArguments", "PING extra words\n", "OK\n"},
                      FramingCase{"EmptyArgument", "ping \n", "OK\n"},
                      FramingCase{"EmptyRequest", "\n", "ERR unknown\n"},
                      FramingCase{"LeadingSpace", " ping\n", "ERR unknown\n"},
                      FramingCase{"TabIsNoSeparator", "ping\tx\n", "ERR unknown\n"},
                      FramingCase{"LongerWord", "pings\n", "ERR unknown\n"},
                      FramingCase{"MalformedUtf8", "\xFF\xFEping\n", "ERR unknown\n"},
                      FramingCase{"NoLineFeedBeforeClose", "ping", "OK\n"},
                      FramingCase{"ReadAndWriteDataOnly", "ping\n", "OK\n", 0x80000002u},
                      FramingCase{"AskingToChangeTheAccessList", "ping\n", "", 0xC0040000u},
                      FramingCase{"AskingForAllAccess", "ping\n", "", 0x10000000u}),
    [](const auto& info) { return info.param.name; });

TEST_F(RequestHandlerTest, RequestSplitAcrossWritesIsJoined) {
    Serve({Writing({"pi", "ng", "\n"})});
    EXPECT_EQ(Served(0).reply, "OK\n");
    EXPECT_EQ(Served(0).reads, 3);
}

TEST_F(RequestHandlerTest, ClientThatWritesNothingGetsUnknown) {
    Serve({Writing({})});
    EXPECT_EQ(Served(0).reply, "ERR unknown\n");
    EXPECT_TRUE(Served(0).closed);
}

TEST_F(RequestHandlerTest, ExactlyTheSizeLimitLeadsToOneMoreRead) {
    PipeClient client = Writing({"ping " + std::string(kMaxRequestBytes - 5, 'x')});
    client.staysSilent = true;
    Serve({client});
    EXPECT_EQ(Served(0).reads, static_cast<int>(kMaxRequestBytes / kReceiveBufferSize) + 1);
    EXPECT_EQ(fake::ClockMs(), kClientTimeLimitMs) << "the extra read waited";
    EXPECT_EQ(Served(0).reply, "OK\n");
}

TEST_F(RequestHandlerTest, RequestCutAtTheReadThatPassesTheLimitIsNotCarriedOut) {
    PipeClient client = Writing({"connect " + std::string(2 * kMaxRequestBytes, 'A')});
    client.staysSilent = true;
    Serve({client});
    EXPECT_EQ(Served(0).reads, static_cast<int>(kMaxRequestBytes / kReceiveBufferSize) + 1);
    EXPECT_EQ(fake::ClockMs(), 0u) << "no read after the limit was passed";
    EXPECT_EQ(Served(0).reply, "ERR unknown\n");
    EXPECT_TRUE(fake::TheWorld().files.empty()) << "nothing dispatched: no log line, no file";
}

TEST_F(RequestHandlerTest, SilentClientIsDroppedAtTheTimeLimitAndTheNextIsServed) {
    PipeClient silent;
    silent.staysSilent = true;
    Serve({silent, Writing({"ping\n"})});
    EXPECT_FALSE(fake::TheWorld().unboundedWait);
    EXPECT_EQ(fake::ClockMs(), kClientTimeLimitMs);
    EXPECT_TRUE(Served(0).closed);
    EXPECT_EQ(Served(1).reply, "OK\n");
}

TEST_F(RequestHandlerTest, StalledCommandWithoutLineFeedIsStillCarriedOut) {
    PipeClient stalled = Writing({"PING"});
    stalled.staysSilent = true;
    Serve({stalled});
    EXPECT_EQ(Served(0).reply, "OK\n");
}

TEST_F(RequestHandlerTest, ClientThatNeverReadsItsReplyIsDropped) {
    PipeClient deaf = Writing({"ping\n"});
    deaf.readsReply = false;
    Serve({deaf, Writing({"ping\n"})});
    EXPECT_FALSE(fake::TheWorld().unboundedWait);
    EXPECT_TRUE(Served(0).disconnected);
    EXPECT_TRUE(Served(0).closed);
    EXPECT_EQ(Served(1).reply, "OK\n");
}

}  // namespace
