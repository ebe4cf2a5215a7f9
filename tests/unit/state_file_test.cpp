// The split state file: what is saved, and when.
#include <algorithm>

#include "split/route_manager.h"
#include "split_fixture.h"

namespace {

class StateFileTest : public SplitFixture {};

// Routes made on the event path are written by the save timer, a burst in one write.
TEST_F(StateFileTest, RoutesOfABurstAreSavedInOneWriteOffTheEventPath) {
    const auto stateWrites = [] {
        std::lock_guard<std::mutex> lock(W().fileSystemLock);
        return std::count(W().fileCalls.begin(), W().fileCalls.end(),
                          L"write C:\\ProgramData\\Orvanta\\helper.state");
    };
    UseSplitStateFile(true);
    W().routeTable = {DefaultRow(7, NetworkOrder(192, 168, 1, 1), 35)};
    W().divert.loadablePaths = {kDivertBesideHelper};
    SetTunnelUp(true);
    ChangeSplitApps(L"chrome.exe");
    ASSERT_EQ(W().timers.size(), 1u);
    const auto before = stateWrites();
    for (uint8_t host = 1; host <= 3; ++host) {
        AddBypassRoute(NetworkOrder(192, 0, 2, host));
    }
    EXPECT_EQ(stateWrites(), before);
    W().timers[0]();
    W().timers[0]();  // nothing new
    EXPECT_EQ(stateWrites(), before + 1);
    EXPECT_EQ(std::count(W().files[L"C:\\ProgramData\\Orvanta\\helper.state"].begin(),
                         W().files[L"C:\\ProgramData\\Orvanta\\helper.state"].end(), '\n'),
              3 + 1 + 3);
    StopSniffer();
    EXPECT_TRUE(W().timers.empty());
}

}  // namespace
