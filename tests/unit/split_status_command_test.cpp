// The split status reply: its reason or its counts.
#include "control/dispatcher.h"
#include "control/split_status_command.h"
#include "control_fixture.h"

namespace {

using fake::PipeClient;

class SplitStatusCommandTest : public ControlFixture {};

// The request in hand when the stop comes is answered, and the split status says so.
TEST_F(SplitStatusCommandTest, SplitStatusTellsOfTheStopAndIgnoresItsArgument) {
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

}  // namespace
