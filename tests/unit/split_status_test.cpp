// One look at per-app splitting, through the dispatcher's split status.
#include "control/dispatcher.h"
#include "split_fixture.h"
#include "tunnel/configuration.h"

namespace {

class SplitStatusTest : public SplitFixture {};

// Asked at once after the list that starts the sniffer, the status waits for how it began.
TEST_F(SplitStatusTest, CountsWhatIsHeldOnceTheSnifferHasBegun) {
    W().divert.loadablePaths = {kDivertBesideHelper};
    W().routeTable = {DefaultRow(12, NetworkOrder(192, 168, 1, 1), 35)};
    SetTunnelUp(true);
    ChangeSplitApps(L"chrome.exe;a.exe");
    EXPECT_EQ(CommandDispatcher("splitstatus"),
              "split on apps=2 routes=0/4096 routes6=0/4096 ipv4=12 ipv6=none remembered=0 kept=0");
    EXPECT_EQ(SettledSnifferStart(0).start, SnifferStart::Watching);
    Seed([&](SplitParts& s) {
        s.ipv4.held = {1, 2};
        s.ipv6.held = {V6("2001:db8::1")};
        s.ipv4.physical.nextHop = 0;  // no gateway: no bypass goes through it
        s.ipv6.physical = Route6(14);
    });
    EXPECT_EQ(CommandDispatcher("splitstatus"),
              "split on apps=2 routes=2/4096 routes6=1/4096 ipv4=none ipv6=14 remembered=0 kept=0");
    KeepInTheTunnel(TunnelDestinationsOf(L"DNS = 10.8.1.1, fd00::1\nAddress = 10.8.1.2/24\n"));
    EXPECT_EQ(CommandDispatcher("splitstatus"),
              "split on apps=2 routes=2/4096 routes6=1/4096 ipv4=none ipv6=14 remembered=0 kept=3");
    Seed([&](SplitParts& s) { s.ipv6.capReached = true; });
    RememberRoute(V6("2001:db8::9"), L"a.exe");
    EXPECT_NE(CommandDispatcher("splitstatus").find(" remembered=1 kept=3 cap-reached=ipv6"),
              std::string::npos);
    ChangeSplitApps(L"");
    W().divert.openError = 5;
    ChangeSplitApps(L"chrome.exe");
    EXPECT_EQ(CommandDispatcher("splitstatus"), "split off reason=windivert-open-failed err=5");
}

}  // namespace
