// The control channel against the fake pipe: framing, dispatch and the serving loop.
#include <gtest/gtest.h>

#include "control/dispatcher.h"
#include "control/pipe_server.h"
#include "control/request_handler.h"
#include "control/split_status_command.h"
#include "fresh_world.h"

namespace {

using fake::PipeClient;

class ControlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        FreshWorld();
        platform::CreateManualResetEvent(stop_);
    }
    void TearDown() override { EXPECT_FALSE(fake::TheWorld().waitedWithoutDisconnect); }

    // Serves the scripted clients; the loop ends when none is left.
    void Serve(std::vector<PipeClient> clients) {
        for (auto& client : clients) {
            fake::TheWorld().waitingClients.push_back(client);
        }
        ControlPipe(stop_);
    }

    static PipeClient Writing(std::vector<std::string> writes) {
        PipeClient client;
        client.writes = std::move(writes);
        return client;
    }

    static const PipeClient& Served(size_t index) {
        return fake::TheWorld().servedClients.at(index);
    }

    platform::Event stop_ = nullptr;
};

struct FramingCase {
    const char* name;
    std::string request;
    std::string reply;              // empty: the access list refuses the open
    uint32_t access = 0xC0000000u;  // GENERIC_READ | GENERIC_WRITE
};

class FramingTest : public ControlTest, public ::testing::WithParamInterface<FramingCase> {};

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

TEST_F(ControlTest, RequestSplitAcrossWritesIsJoined) {
    Serve({Writing({"pi", "ng", "\n"})});
    EXPECT_EQ(Served(0).reply, "OK\n");
    EXPECT_EQ(Served(0).reads, 3);
}

TEST_F(ControlTest, ClientThatWritesNothingGetsUnknown) {
    Serve({Writing({})});
    EXPECT_EQ(Served(0).reply, "ERR unknown\n");
    EXPECT_TRUE(Served(0).closed);
}

TEST_F(ControlTest, ExactlyTheSizeLimitLeadsToOneMoreRead) {
    PipeClient client = Writing({"ping " + std::string(kMaxRequestBytes - 5, 'x')});
    client.staysSilent = true;
    Serve({client});
    EXPECT_EQ(Served(0).reads, static_cast<int>(kMaxRequestBytes / kReceiveBufferSize) + 1);
    EXPECT_EQ(fake::ClockMs(), kClientTimeLimitMs) << "the extra read waited";
    EXPECT_EQ(Served(0).reply, "OK\n");
}

TEST_F(ControlTest, RequestCutAtTheReadThatPassesTheLimitIsNotCarriedOut) {
    PipeClient client = Writing({"connect " + std::string(2 * kMaxRequestBytes, 'A')});
    client.staysSilent = true;
    Serve({client});
    EXPECT_EQ(Served(0).reads, static_cast<int>(kMaxRequestBytes / kReceiveBufferSize) + 1);
    EXPECT_EQ(fake::ClockMs(), 0u) << "no read after the limit was passed";
    EXPECT_EQ(Served(0).reply, "ERR unknown\n");
    EXPECT_TRUE(fake::TheWorld().files.empty()) << "nothing dispatched: no log line, no file";
}

TEST_F(ControlTest, SilentClientIsDroppedAtTheTimeLimitAndTheNextIsServed) {
    PipeClient silent;
    silent.staysSilent = true;
    Serve({silent, Writing({"ping\n"})});
    EXPECT_FALSE(fake::TheWorld().unboundedWait);
    EXPECT_EQ(fake::ClockMs(), kClientTimeLimitMs);
    EXPECT_TRUE(Served(0).closed);
    EXPECT_EQ(Served(1).reply, "OK\n");
}

TEST_F(ControlTest, StalledCommandWithoutLineFeedIsStillCarriedOut) {
    PipeClient stalled = Writing({"PING"});
    stalled.staysSilent = true;
    Serve({stalled});
    EXPECT_EQ(Served(0).reply, "OK\n");
}

TEST_F(ControlTest, ClientThatNeverReadsItsReplyIsDropped) {
    PipeClient deaf = Writing({"ping\n"});
    deaf.readsReply = false;
    Serve({deaf, Writing({"ping\n"})});
    EXPECT_FALSE(fake::TheWorld().unboundedWait);
    EXPECT_TRUE(Served(0).disconnected);
    EXPECT_TRUE(Served(0).closed);
    EXPECT_EQ(Served(1).reply, "OK\n");
}

TEST_F(ControlTest, StopAlreadySetCreatesNoInstance) {
    platform::SignalEvent(stop_);
    Serve({Writing({"ping\n"})});
    EXPECT_EQ(fake::TheWorld().instancesCreated, 0);
    EXPECT_EQ(fake::TheWorld().securityFreed, fake::TheWorld().securityBuilt);
}

// A stop ends only the wait for a client: a request in hand is read whole and answered, and
// the loop then ends; a client arriving with the stop is not served.
TEST_F(ControlTest, StopLetsTheRequestInHandFinishAndServesNoOneAfter) {
    PipeClient inHand = Writing({"pi", "ng\n"});
    inHand.stopsHelperAfterFirstRead = true;
    Serve({inHand, Writing({"ping\n"})});
    EXPECT_EQ(Served(0).reply, "OK\n");
    EXPECT_TRUE(Served(0).flushed);
    EXPECT_EQ(fake::TheWorld().servedClients.size(), 1u);
}

TEST_F(ControlTest, ClientArrivingWithTheStopIsNotServed) {
    PipeClient late = Writing({"ping\n"});
    late.stopsHelperOnConnect = true;
    Serve({late, Writing({"ping\n"})});
    EXPECT_EQ(Served(0).reads, 0);
    EXPECT_EQ(Served(0).reply, "");
    EXPECT_TRUE(Served(0).closed);
    EXPECT_EQ(fake::TheWorld().servedClients.size(), 1u);
    EXPECT_EQ(fake::TheWorld().securityFreed, 1);
}

TEST_F(ControlTest, FailedWaitEndsTheConnectionAndListensAgainAtOnce) {
    PipeClient gone;
    gone.connects = false;
    Serve({gone, Writing({"ping\n"})});
    EXPECT_TRUE(Served(0).closed);
    EXPECT_EQ(Served(0).reads, 0);
    EXPECT_EQ(Served(1).reply, "OK\n");
    EXPECT_TRUE(fake::TheWorld().sleeps.empty());
}

// A name that another process created first is its pipe, never joined: logged once, and tried
// again like any failed creation.
TEST_F(ControlTest, FailedInstanceCreationIsRetriedEvery500MsAndATakenNameLoggedOnce) {
    fake::TheWorld().pipeCreateFailures = 2;
    fake::TheWorld().pipeNameTakenFor = 2;
    Serve({Writing({"ping\n"})});
    EXPECT_EQ(fake::TheWorld().sleeps, (std::vector<uint32_t>{500, 500, 500, 500}));
    EXPECT_EQ(Served(0).reply, "OK\n");
    EXPECT_EQ(fake::TheWorld().files[L"C:\\ProgramData\\Orvanta\\helper.log"],
              "2026-06-27 09:05:03  control pipe name held by another process; retrying\r\n");
}

// Another process that keeps the name for 30 s ends the server with the error, so that the
// service stops as failed and its failure actions restart it; a name freed before is served.
TEST_F(ControlTest, NameTakenFor30SecondsEndsTheServerWithTheError) {
    for (const int takenFor : {60, 61}) {
        SCOPED_TRACE(takenFor);
        SetUp();
        fake::TheWorld().clockUs = 5000000;  // the failures' first, not the clock's start, counts
        fake::TheWorld().pipeNameTakenFor = takenFor;
        fake::TheWorld().waitingClients.push_back(Writing({"ping\n"}));
        EXPECT_EQ(ControlPipe(stop_), takenFor == 60 ? 0u : 5u);
        EXPECT_EQ(fake::TheWorld().sleeps, std::vector<uint32_t>(60, 500));
        EXPECT_EQ(fake::TheWorld().servedClients.size(), takenFor == 60 ? 1u : 0u);
    }
    EXPECT_EQ(
        fake::TheWorld().files[L"C:\\ProgramData\\Orvanta\\helper.log"],
        "2026-06-27 09:05:03  control pipe name held by another process; retrying\r\n"
        "2026-06-27 09:05:03  control pipe not created for 30 s err=5; the service stops\r\n");
}

// Each run of failures counts from its own first: 20 s of them, a client served, and 20 s more
// after the instance had to be made anew leave the server serving.
TEST_F(ControlTest, EachRunOfFailedCreationsCountsAfresh) {
    fake::TheWorld().pipeCreateFailures = 40;
    int idle = 0;
    fake::TheWorld().whenNoClientsLeft = [&idle, this] {
        if (idle++ > 0) {
            return platform::SignalEvent(stop_);
        }
        fake::TheWorld().pipeCreateFailures = 40;
        fake::TheWorld().disconnectFailures = 1;  // the instance is closed and made anew
        fake::TheWorld().waitingClients.push_back(Writing({"ping\n"}));
    };
    Serve({Writing({"ping\n"})});
    EXPECT_EQ(fake::TheWorld().servedClients.size(), 2u);
    EXPECT_EQ(fake::TheWorld().sleeps.size(), 80u);
}

// A wait that ends without a client (cancelled) leaves no one on the instance: disconnecting it
// answers 536 (still listening) or 233 (no client since the last), and it waits again; the name
// is never free.
TEST_F(ControlTest, WakeWithoutAClientReusesTheInstance) {
    PipeClient wake;
    wake.onlyWakes = true;
    for (const bool afterAClient : {false, true}) {
        SCOPED_TRACE(afterAClient);
        SetUp();
        afterAClient ? Serve({Writing({"ping\n"}), wake, Writing({"ping\n"})})
                     : Serve({wake, Writing({"ping\n"})});
        EXPECT_EQ(fake::TheWorld().servedClients.back().reply, "OK\n");
        EXPECT_EQ(fake::TheWorld().instancesCreated, 1);
        EXPECT_EQ(fake::TheWorld().newcomerFinds.count(2), 0u);
    }
}

// Wine does not enforce a pipe's access list (the fake does): no one but SYSTEM,
// Administrators and Authenticated Users is granted anything.
TEST(PipeSecurityTest, OnlySystemAdministratorsAndUsersAreGrantedAccess) {
    EXPECT_EQ(kControlPipeSddl, L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GRGW;;;AU)");
}

// The default lets users read only: their read-write opens are refused, and the helper runs on.
TEST_F(ControlTest, ServesWithDefaultSecurityWhenTheDescriptorCannotBeBuilt) {
    fake::TheWorld().securityBuildFails = true;
    PipeClient reader = Writing({});
    reader.access = 0x80000000u;
    Serve({Writing({"ping\n"}), reader});
    EXPECT_EQ(Served(0).openError, 5u);
    EXPECT_EQ(Served(1).reply, "ERR unknown\n");
}

// One client at a time, in order, on one instance: a newcomer finds the name busy, never free.
// A failed disconnection may leave the client on: that instance is closed and made anew.
TEST_F(ControlTest, ClientsAreServedInOrderOnTheOneInstance) {
    Serve({Writing({"ping\n"}), Writing({"nope\n"})});
    EXPECT_EQ(Served(1).reply, "ERR unknown\n");
    EXPECT_EQ(fake::TheWorld().instancesCreated, 1);
    EXPECT_EQ(fake::TheWorld().newcomerFinds, std::set<uint32_t>{231});
    SetUp();
    fake::TheWorld().disconnectFailures = 1;
    Serve({Writing({"ping\n"}), Writing({"nope\n"})});
    EXPECT_EQ(Served(1).reply, "ERR unknown\n");
    EXPECT_EQ(fake::TheWorld().instancesClosed, 2);
}

// The request in hand when the stop comes is answered, and the split status says so.
TEST_F(ControlTest, SplitStatusTellsOfTheStopAndIgnoresItsArgument) {
    EXPECT_EQ(CommandDispatcher("SplitStatus of what", stop_), "split off reason=no-tunnel");
    PipeClient inHand = Writing({"split", "status\n"});
    inHand.stopsHelperAfterFirstRead = true;
    Serve({inHand});
    EXPECT_EQ(Served(0).reply, "split off reason=stopping\n");
}

struct SplitStatusRow {
    bool stopping, tunnelUp;
    size_t apps;
    SnifferStart start;
    uint32_t error, ipv4, ipv6;
    bool capReachedIpv4, capReachedIpv6, blocked;
    std::string line;
};

// The first reason that applies, or what runs: three IPv4 and one IPv6 route, four remembered
// addresses and five kept entries throughout.
TEST(SplitStatusLineTest, TellsTheFirstReasonThatAppliesOrWhatRuns) {
    using S = SnifferStart;
    const std::string on = "split on apps=2 routes=3/4096 routes6=1/4096 ipv4=7 ipv6=12";
    const std::string counts = " remembered=4 kept=5";
    const SplitStatusRow rows[] = {
        {0, 1, 2, S::Watching, 0, 7, 12, 0, 0, 0, on + counts},
        {0, 1, 2, S::Opening, 0, 7, 12, 0, 0, 0, on + counts},
        {1, 0, 0, S::NotLoaded, 0, 7, 12, 0, 0, 0, "split off reason=stopping"},
        {0, 0, 0, S::NotLoaded, 0, 7, 12, 0, 0, 0, "split off reason=no-tunnel"},
        {0, 1, 0, S::NotLoaded, 0, 7, 12, 0, 0, 0, "split off reason=no-apps"},
        {0, 1, 2, S::ThreadNotStarted, 0, 7, 12, 0, 0, 0, "split off reason=sniffer-not-started"},
        {0, 1, 2, S::NotLoaded, 0, 7, 12, 0, 0, 1, "split off reason=windivert-not-loaded"},
        {0, 1, 2, S::ExportsMissing, 0, 7, 12, 0, 0, 0,
         "split off reason=windivert-exports-missing"},
        {0, 1, 2, S::OpenFailed, 5, 7, 12, 0, 0, 0, "split off reason=windivert-open-failed err=5"},
        {0, 1, 2, S::Watching, 0, 0, 12, 0, 0, 0,
         "split on apps=2 routes=3/4096 routes6=1/4096 ipv4=none ipv6=12" + counts},
        {0, 1, 2, S::Watching, 0, 7, 0, 0, 0, 0,
         "split on apps=2 routes=3/4096 routes6=1/4096 ipv4=7 ipv6=none" + counts},
        {0, 1, 2, S::Watching, 0, 7, 12, 1, 0, 0, on + counts + " cap-reached=ipv4"},
        {0, 1, 2, S::Watching, 0, 7, 12, 0, 1, 1,
         on + counts + " cap-reached=ipv6 blocked-by-tunnel"},
        {0, 1, 2, S::Watching, 0, 7, 12, 1, 1, 0, on + counts + " cap-reached=both"},
    };
    for (const SplitStatusRow& row : rows) {
        SplitStatusView view{row.stopping, row.tunnelUp, row.blocked, 5, {}};
        view.split = {{row.start, row.error}, row.apps,          3, 1, row.ipv4, row.ipv6, 4,
                      row.capReachedIpv4,     row.capReachedIpv6};
        EXPECT_EQ(SplitStatusLine(view), row.line);
    }
}

TEST(DispatcherTest, WordsAreMatchedWholeAfterLowerCasingAToZOnly) {
    EXPECT_EQ(CommandDispatcher("PiNg"), "OK");
    EXPECT_EQ(CommandDispatcher("ping  two spaces"), "OK");
    EXPECT_EQ(CommandDispatcher(""), "ERR unknown");
    EXPECT_EQ(CommandDispatcher("p\xC4\xB0ng"), "ERR unknown");  // dotted capital I stays
    EXPECT_EQ(CommandDispatcher("ping\xC2\xA0x"), "ERR unknown");
}

}  // namespace
