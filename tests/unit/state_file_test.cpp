// The split state file: what is saved, and when.
#include <algorithm>

#include "split/route_family.h"
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

const std::wstring kStateFile = L"C:\\ProgramData\\Orvanta\\helper.state";
const std::string kNextHop6 = "fe80000000000000000000000000000c";

struct ParseCase {
    const char* name;
    std::string text;
    StateFileLoad load;
};

class StateFileParseTest : public SplitFixture, public ::testing::WithParamInterface<ParseCase> {};

// Every line is one the writer writes, whole, or nothing loads.
TEST_P(StateFileParseTest, LoadsOnlyWhatTheWriterWrites) {
    UseSplitStateFile(true);
    W().files[kStateFile] = GetParam().text;
    SplitStateRecord state;
    EXPECT_EQ(LoadSplitState(state), GetParam().load);
}

const std::string kV2 = "orvanta-split-state 2\nroute 7 1 25\n";
const std::string kRoute6 = "route6 12 201326592 " + kNextHop6 + "\n";

INSTANTIATE_TEST_SUITE_P(
    Files, StateFileParseTest,
    ::testing::Values(
        ParseCase{"Written", kV2 + kRoute6 + "app 61\nbypass 5\nbypass6 " + kNextHop6 + "\n",
                  StateFileLoad::Loaded},
        ParseCase{"Ipv4Only", "orvanta-split-state 1\nroute 7 1 25\nbypass 5\n",
                  StateFileLoad::Loaded},
        ParseCase{"NoRouteLine", "orvanta-split-state 2\n" + kRoute6, StateFileLoad::Malformed},
        ParseCase{"SecondRouteLine", kV2 + "route 7 1 25\n", StateFileLoad::Malformed},
        ParseCase{"SecondRoute6Line", kV2 + kRoute6 + kRoute6, StateFileLoad::Malformed},
        ParseCase{"ShortIpv6Hex", kV2 + "bypass6 " + kNextHop6.substr(2) + "\n",
                  StateFileLoad::Malformed},
        ParseCase{"UpperCaseHex", kV2 + "app 4A\n", StateFileLoad::Malformed},
        ParseCase{"FieldPastTheLine", kV2 + "bypass 5 6\n", StateFileLoad::Malformed},
        ParseCase{"AddressPast32Bits", kV2 + "bypass 4294967296\n", StateFileLoad::Malformed},
        ParseCase{"NoFinalLineFeed", kV2 + "bypass 5", StateFileLoad::Malformed},
        ParseCase{"Empty", "", StateFileLoad::Malformed},
        ParseCase{"PastTheLargestWritten", std::string(16 * 1024 * 1024, '\n'),
                  StateFileLoad::Unreadable}),
    [](const auto& info) { return info.param.name; });

// A connect records both routes anew: the old ones must not survive a restart in the file.
TEST_F(StateFileTest, ForgettingTheRouteForgetsBothFamiliesAndIsSaved) {
    UseSplitStateFile(true);
    Seed([](SplitParts& s) {
        s.ipv4.physical = Route(7, NetworkOrder(192, 168, 1, 1), 25);
        s.ipv6.physical = Route6(12);
    });
    ForgetPhysicalRoute();
    EXPECT_FALSE(State().route.known());
    EXPECT_FALSE(State().route6.known());
    SplitStateRecord saved;
    ASSERT_EQ(LoadSplitState(saved), StateFileLoad::Loaded);
    EXPECT_EQ(saved.route.ifIndex + saved.route6.ifIndex, 0u);
}

// Windows keeps a row of an interface that was re-created under another LUID, which the row's
// LUID no longer names: such a marked row is not through the route, so not taken back.
TEST_F(StateFileTest, SavedIpv6RowWhoseLuidChangedIsNotAdopted) {
    SplitStateRecord saved;
    saved.route6 = Route6(12);
    saved.bypassRoutes6 = {V6("2606:4700::1111"), V6("2606:4700::2")};
    W().routeTable6 = {Default6Row(12, 0), Global6Row(12)};
    for (const char* address : {"2606:4700::1111", "2606:4700::2"}) {
        platform::Forward6Row row = Default6Row(12, kBypassRouteMark, 128);
        row.dest = V6(address);
        W().routeTable6.push_back(row);
    }
    W().routeTable6.back().luid += 1;
    RestoreSplitState(saved, true);
    ClaimMarkedBypassRows(true);
    EXPECT_EQ(State().bypassRoutes6, std::set<Ipv6Bytes>{V6("2606:4700::1111")});
}

// The largest state the writer writes: both caps of routes and a 1 MiB list of 3-byte names.
TEST_F(StateFileTest, TheLargestStateIsReadBackWhole) {
    UseSplitStateFile(true);
    Seed([&](SplitParts& s) {
        s.ipv4.physical = Route(UINT32_MAX, UINT32_MAX, UINT32_MAX);
        s.ipv6.physical = Route6(UINT32_MAX);
        s.ipv6.physical.luid = UINT64_MAX;
        for (uint32_t n = 0; n < kMaxBypassRoutesPerFamily; ++n) {
            s.ipv4.held.insert(UINT32_MAX - n);
            Ipv6Bytes address;
            address.fill(0xFF);
            address[15] = static_cast<uint8_t>(n);
            address[14] = static_cast<uint8_t>(n >> 8);
            s.ipv6.held.insert(address);
        }
        for (uint32_t n = 0; s.apps.size() < 1024 * 1024 / 4; ++n) {  // "abc;" each
            s.apps.insert(
                {wchar_t(33 + n % 94), wchar_t(33 + n / 94 % 94), wchar_t(33 + n / 8836)});
        }
    });
    SaveSplitState();
    SplitStateRecord loaded;
    ASSERT_EQ(LoadSplitState(loaded), StateFileLoad::Loaded);
    const SplitStateRecord saved = State();
    EXPECT_EQ(loaded.apps, saved.apps);
    EXPECT_EQ(loaded.bypassRoutes, saved.bypassRoutes);
    EXPECT_EQ(loaded.bypassRoutes6, saved.bypassRoutes6);
    EXPECT_EQ(loaded.route6.luid, UINT64_MAX);
}

}  // namespace
