// Routes made ahead: the listed applications' remembered addresses routed when splitting starts.
#include "service/recovery.h"
#include "sniffer_fixture.h"
#include "split/address_text.h"
#include "tunnel/configuration.h"

namespace {

const uint32_t kBypassed = NetworkOrder(8, 8, 4, 4);

size_t Held() {
    return TheSplitState().Read(
        [](const SplitParts& parts) { return parts.ipv4.held.size() + parts.ipv6.held.size(); });
}

struct AheadCase {
    const char* name;
    void (*arrange)(SplitParts&);  // before splitting starts
    void (*start)();
    size_t heldFirst;
    void (*then)();  // once the first routes are held
    std::vector<uint32_t> created4;
    size_t created6;
};

class RoutesAheadTest : public SnifferFixture, public ::testing::WithParamInterface<AheadCase> {};

TEST_P(RoutesAheadTest, RememberedAddressesOfListedApplicationsAreRoutedOffTheServingThread) {
    const AheadCase& c = GetParam();
    RememberRoute(MappedAddress(kBypassed), L"chrome.exe");
    RememberRoute(MappedAddress(NetworkOrder(192, 168, 1, 20)), L"chrome.exe");  // on the LAN
    RememberRoute(MappedAddress(NetworkOrder(8, 8, 8, 8)), L"chrome.exe");       // the tunnel's
    RememberRoute(MappedAddress(NetworkOrder(1, 1, 1, 1)), L"other.exe");        // unlisted
    RememberRoute(V6("2606:4700::1111"), L"chrome.exe");
    W().files[L"C:\\ProgramData\\Orvanta\\Orvanta.conf"] = "[Interface]\nDNS = 8.8.8.8\n";
    LearnTunnelDestinationsFromTheFile();
    Seed([&c](SplitParts& s) { c.arrange(s); });
    W().threadsHeld = true;
    c.start();
    EXPECT_TRUE(W().createdRoutes4.empty() && W().createdRoutes6.empty()) << "the serving thread";
    W().threadsHeld = false;
    ASSERT_TRUE(fake::WaitUntil([&c] { return Held() == c.heldFirst; }));
    if (c.then != nullptr) {
        c.then();
        ASSERT_TRUE(fake::WaitUntil([&c] { return Held() == c.created4.size() + c.created6; }));
    }
    SetTunnelUp(false);  // joins the worker: what it made is settled
    EXPECT_EQ(CreatedDestinations(), c.created4);
    EXPECT_EQ(W().createdRoutes6.size(), c.created6);
}

void Connect() {
    SetTunnelUp(true);
}
void Keep(SplitParts&) {}
void OnlyUber(SplitParts& s) {
    RememberRoute(MappedAddress(NetworkOrder(5, 5, 5, 5)), L"\u00FCber.exe");
    s.apps = {L"\u00FCber.exe"};
}
void NoIpv4Route(SplitParts& s) {
    fake::TheWorld().routeTable.erase(fake::TheWorld().routeTable.begin());
    s.ipv4.physical = {};
}
void Ipv4RouteAppears() {
    fake::TheWorld().routeTable.push_back(DefaultRow(12, NetworkOrder(192, 168, 1, 1), 35));
    fake::TheWorld().routeWatch();
}
void ListOther() {
    ChangeSplitApps(L"chrome.exe;other.exe");
}
// More new names than the memory holds: the work of every listed application.
void ListOtherAndMany() {
    std::wstring list = L"chrome.exe;other.exe";
    for (size_t i = 0; i < kRememberedNames; ++i) {
        list += L";app" + std::to_wstring(i) + L".exe";
    }
    ChangeSplitApps(list);
}
// The service's files, then a new process after a reboot.
void Reboot() {
    UseSplitStateFile(true);
    SaveSplitState();
    UseRouteMemoryFile(true);
    SaveRouteMemoryIfChanged();
    UseRouteMemoryFile(false);
    ForgetRouteMemory();
    TheSplitState().Reset();
    fake::TheWorld().services[L"AmneziaWGTunnel$Orvanta"].state = platform::kServiceRunning;
    RecoverSplitting();
}

INSTANTIATE_TEST_SUITE_P(
    Starts, RoutesAheadTest,
    ::testing::Values(
        AheadCase{"AtConnect", Keep, Connect, 2, nullptr, {kBypassed}, 1},
        AheadCase{"AfterARebootWithNoRowsInTheTable", Keep, Reboot, 2, nullptr, {kBypassed}, 1},
        AheadCase{"WhenTheListGainsAnApplication",
                  Keep,
                  Connect,
                  2,
                  ListOther,
                  {kBypassed, NetworkOrder(1, 1, 1, 1)},
                  1},
        AheadCase{"WhenTheListGainsMoreThanTheMemoryHolds",
                  Keep,
                  Connect,
                  2,
                  ListOtherAndMany,
                  {kBypassed, NetworkOrder(1, 1, 1, 1)},
                  1},
        AheadCase{"NotForAnApplicationTakenOffTheList",
                  OnlyUber,
                  Connect,
                  1,
                  nullptr,
                  {NetworkOrder(5, 5, 5, 5)},
                  0},
        AheadCase{"WhenThePhysicalRouteAppears",
                  NoIpv4Route,
                  Connect,
                  1,
                  Ipv4RouteAppears,
                  {kBypassed},
                  1}),
    [](const auto& info) { return std::string(info.param.name); });

// A disconnect while the worker makes its routes stops it after the route in hand, before the
// routes are removed: none is made after.
class RoutesAheadStopTest : public SnifferFixture {};

TEST_F(RoutesAheadStopTest, DisconnectInTheMiddleStopsTheWorkerBeforeTheRoutesGo) {
    for (uint8_t host = 1; host <= 50; ++host) {
        RememberRoute(MappedAddress(NetworkOrder(192, 0, 2, host)), L"chrome.exe");
    }
    std::atomic<bool> inTheMiddle{false};
    W().beforeRouteCreate = [&inTheMiddle] {
        inTheMiddle = true;
        fake::WaitUntil([] { return W().threadJoins.load() > 0; });
    };
    SetTunnelUp(true);
    ASSERT_TRUE(fake::WaitUntil([&inTheMiddle] { return inTheMiddle.load(); }));
    SetTunnelUp(false);
    EXPECT_EQ(W().createdRoutes4.size(), 1u);
    EXPECT_EQ(W().deletedRoutes4.size(), 1u);
    EXPECT_EQ(Held(), 0u);
}

}  // namespace
