// The serving loop: instances, stops, failures and the pipe's security.
#include "control/pipe_server.h"
#include "control_fixture.h"

namespace {

using fake::PipeClient;

class PipeServerTest : public ControlFixture {};

TEST_F(PipeServerTest, StopAlreadySetCreatesNoInstance) {
    platform::SignalEvent(stop_);
    Serve({Writing({"ping\n"})});
    EXPECT_EQ(fake::TheWorld().instancesCreated, 0);
    EXPECT_EQ(fake::TheWorld().securityFreed, fake::TheWorld().securityBuilt);
}

// A stop ends only the wait for a client: a request in hand is read whole and answered, and
// the loop then ends; a client arriving with the stop is not served.
TEST_F(PipeServerTest, StopLetsTheRequestInHandFinishAndServesNoOneAfter) {
    PipeClient inHand = Writing({"pi", "ng\n"});
    inHand.stopsHelperAfterFirstRead = true;
    Serve({inHand, Writing({"ping\n"})});
    EXPECT_EQ(Served(0).reply, "OK\n");
    EXPECT_TRUE(Served(0).flushed);
    EXPECT_EQ(fake::TheWorld().servedClients.size(), 1u);
}

TEST_F(PipeServerTest, ClientArrivingWithTheStopIsNotServed) {
    PipeClient late = Writing({"ping\n"});
    late.stopsHelperOnConnect = true;
    Serve({late, Writing({"ping\n"})});
    EXPECT_EQ(Served(0).reads, 0);
    EXPECT_EQ(Served(0).reply, "");
    EXPECT_TRUE(Served(0).closed);
    EXPECT_EQ(fake::TheWorld().servedClients.size(), 1u);
    EXPECT_EQ(fake::TheWorld().securityFreed, 1);
}

TEST_F(PipeServerTest, FailedWaitEndsTheConnectionAndListensAgainAtOnce) {
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
TEST_F(PipeServerTest, FailedInstanceCreationIsRetriedEvery500MsAndATakenNameLoggedOnce) {
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
TEST_F(PipeServerTest, NameTakenFor30SecondsEndsTheServerWithTheError) {
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
TEST_F(PipeServerTest, EachRunOfFailedCreationsCountsAfresh) {
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
TEST_F(PipeServerTest, WakeWithoutAClientReusesTheInstance) {
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
TEST_F(PipeServerTest, ServesWithDefaultSecurityWhenTheDescriptorCannotBeBuilt) {
    fake::TheWorld().securityBuildFails = true;
    PipeClient reader = Writing({});
    reader.access = 0x80000000u;
    Serve({Writing({"ping\n"}), reader});
    EXPECT_EQ(Served(0).openError, 5u);
    EXPECT_EQ(Served(1).reply, "ERR unknown\n");
}

// One client at a time, in order, on one instance: a newcomer finds the name busy, never free.
// A failed disconnection may leave the client on: that instance is closed and made anew.
TEST_F(PipeServerTest, ClientsAreServedInOrderOnTheOneInstance) {
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

}  // namespace
