// The socket sniffer thread against the fake divert library.
#include <atomic>
#include <chrono>
#include <thread>

#include "sniffer_fixture.h"
#include "split/address_text.h"
#include "tunnel/configuration.h"

namespace {

class SnifferTest : public SnifferFixture {};

const std::wstring kDriverBesideHelper = L"C:\\Program Files\\Orvanta\\WinDivert64.sys";

TEST_F(SnifferTest, OpensTheSocketLayerToSniffEveryEventAndLogsItsLife) {
    Sniff({});
    EXPECT_EQ(W().divert.openFilter, "true");
    EXPECT_EQ(W().divert.openLayer, 3);
    EXPECT_EQ(W().divert.openPriority, 0);
    EXPECT_EQ(W().divert.openFlags, 5u);
    EXPECT_TRUE(W().divert.closed);
    EXPECT_EQ(Log(),
              "2026-06-27 09:05:03  WinDivert socket sniffer started\r\n"
              "2026-06-27 09:05:03  WinDivert sniffer stopped\r\n");
}

struct FormatterCase {
    const char* name;
    bool present;
    bool fails;
};

class AddressTest : public SnifferTest, public ::testing::WithParamInterface<FormatterCase> {};

TEST_P(AddressTest, ListedConnectAddsOneRouteInNetworkOrder) {
    if (!GetParam().present) {
        W().divert.missingExports = {"WinDivertHelperFormatIPv4Address"};
    }
    W().divert.formatFails = GetParam().fails;
    Sniff({Connect(kChrome, HostOrder(192, 0, 2, 10)), Connect(kChrome, HostOrder(192, 0, 2, 10))});
    EXPECT_EQ(CreatedDestinations(), std::vector<uint32_t>{NetworkOrder(192, 0, 2, 10)});
    EXPECT_EQ(W().deletedRoutes4.size(), 1u) << "the stop removes it";
}

INSTANTIATE_TEST_SUITE_P(Formatting, AddressTest,
                         ::testing::Values(FormatterCase{"WithFormatter", true, false},
                                           FormatterCase{"WithoutFormatter", false, false},
                                           FormatterCase{"FormatterFails", true, true}),
                         [](const auto& info) { return info.param.name; });

TEST_F(SnifferTest, OnlyConnectsOfListedProgramsToUsableAddressesCount) {
    LearnTunnelDestinations(
        L"Address = 10.8.0.2/24\nDNS = 8.8.8.8, 10.8.1.1, 2001:4860:4860::8888, fd00::53\n"
        L"AllowedIPs = 172.20.0.0/16, 203.0.113.200, 200.0.0.0/5, 0.0.0.0/1, 2001:db8:aa::/48\n");
    platform::Forward6Row lan60 = Global6Row(12);  // an on-link /60, not on a byte's edge
    lan60.dest = V6("2001:db8:2:10::");
    lan60.prefixLength = 60;
    W().routeTable6.push_back(lan60);
    Sniff({Connect(kChrome, HostOrder(8, 8, 8, 8)),    // the tunnel's resolver
           Connect(kChrome, HostOrder(10, 8, 1, 1)),   // its internal one
           Connect6(kChrome, "2001:4860:4860::8888"),  // and over IPv6
           Connect6(kChrome, "fd00::53"),
           Connect(kChrome, HostOrder(8, 8, 4, 4)),        // not the tunnel's: bypassed
           Connect(kChrome, HostOrder(10, 8, 0, 9)),       // the tunnel's subnet
           Connect(kChrome, HostOrder(172, 20, 1, 1)),     // a network it claims
           Connect(kChrome, HostOrder(203, 0, 113, 200)),  // a host it claims
           Connect6(kChrome, "2001:db8:aa::1"),
           Connect(kChrome, HostOrder(201, 1, 1, 1)),  // a piece of everything
           Connect6(kChrome, "2606:4700::1111"),
           Connect6(kChrome, "2606:4700::1111"),                    // once
           Connect6(kChrome, "::ffff:198.51.100.5"),                // IPv4 on a dual-stack socket
           Connect6(kOther, "2606:4700::2"),                        // unlisted
           Connect6(kChrome, "::"),                                 // unspecified
           Connect6(kChrome, "::1"),                                // loopback
           Connect6(kChrome, "fe80::5"),                            // link-local
           Connect6(kChrome, "ff02::fb"),                           // multicast
           Connect6(kChrome, "2001:db8:1::77"),                     // on-link
           Connect6(kChrome, "2001:db8:1:0:8000::1"),               // bit 64 set, in the /64
           Connect6(kChrome, "2001:db8:2:1f::1"),                   // in the /60
           Connect6(kChrome, "2001:db8:2:20::1"),                   // past it
           Connect6(kChrome, "febf::1"),                            // link-local past fe80::
           Connect(kChrome, HostOrder(0, 1, 2, 3)),                 // 0/8 past 0.0.0.0
           Looped(Connect6(kChrome, "2606:4700::3")),               // over loopback
           fake::SocketEvent(3, kChrome, HostOrder(192, 0, 2, 2)),  // bind
           fake::SocketEvent(6, kChrome, HostOrder(192, 0, 2, 3)),  // accept
           Connect(kOther, HostOrder(192, 0, 2, 4)),                // unlisted
           Connect(4, HostOrder(192, 0, 2, 5)),                     // system
           Connect(999, HostOrder(192, 0, 2, 6)),                   // gone
           Connect(kChrome, 0),                                     // 0.0.0.0
           Connect(kChrome, 0xFFFFFFFF),                            // broadcast
           Connect(kUber, HostOrder(192, 0, 2, 7)),                 // Über.exe is not über.exe
           Connect(kChrome, HostOrder(127, 0, 0, 1)),               // loopback
           Connect(kChrome, HostOrder(192, 168, 1, 20)),            // the physical LAN
           Connect(kChrome, HostOrder(10, 20, 3, 4)),               // on-link, next hop 0
           Connect(kChrome, HostOrder(169, 254, 1, 1)),             // link-local
           Connect(kChrome, HostOrder(224, 0, 0, 251)),             // multicast
           Looped(Connect(kChrome, HostOrder(203, 0, 113, 8))),     // over loopback
           Connect(kChrome, HostOrder(203, 0, 113, 9))});
    EXPECT_EQ(CreatedDestinations(),
              (std::vector<uint32_t>{NetworkOrder(8, 8, 4, 4), NetworkOrder(201, 1, 1, 1),
                                     NetworkOrder(198, 51, 100, 5), NetworkOrder(203, 0, 113, 9)}));
    EXPECT_EQ(Created6(), (std::vector<Ipv6Bytes>{V6("2606:4700::1111"), V6("2001:db8:2:20::1")}));
    EXPECT_EQ(W().deletedRoutes6.size(), 2u) << "the stop removes them";
    EXPECT_EQ(RememberedAddresses({L"chrome.exe"}).size(), 6u) << "each routed address, once";
    EXPECT_EQ(RememberedAddressCount(), 6u);
}

TEST_F(SnifferTest, FailedReceivesAreRetriedEvery50MsWithoutALogLine) {
    W().divert.receiveFailures = 3;
    Sniff({Connect(kChrome, HostOrder(192, 0, 2, 10))});
    EXPECT_EQ(W().sleeps, (std::vector<uint32_t>{50, 50, 50}));
    EXPECT_EQ(CreatedDestinations().size(), 1u);
    EXPECT_EQ(Log().find("err"), std::string::npos);
}

TEST_F(SnifferTest, LoadsFromTheSystemDirectoryWhenNotBesideTheHelper) {
    W().divert.loadablePaths = {kDivertInSystem};
    const std::wstring driver = L"C:\\Windows\\system32\\WinDivert64.sys";
    W().files[driver] = "";
    Sniff({});
    EXPECT_TRUE(W().divert.driverHeldAtOpen && W().opens.count(driver) == 0) << "for the open";
    EXPECT_EQ(W().divert.loadAttempts, (std::vector<std::wstring>{L"path:" + kDivertBesideHelper,
                                                                  L"path:" + kDivertInSystem}));
    EXPECT_NE(Log().find("sniffer started"), std::string::npos);
    EXPECT_EQ(W().opens.count(kDivertInSystem), 0u) << "held for the load alone";
}

struct EarlyExitCase {
    const char* name;
    bool loads;
    std::string missingExport;
    uint32_t openError;
    std::string logLine;
    SnifferStart start;
    bool systemCopyHeld = false;  // a user's oplock on it, never acknowledged
    bool (*userTakesDriver)() = nullptr;
};

class EarlyExitTest : public SnifferTest, public ::testing::WithParamInterface<EarlyExitCase> {};

TEST_P(EarlyExitTest, GivenUpSnifferCountsAsRunningUntilStopped) {
    if (!GetParam().loads) {
        W().divert.loadablePaths.clear();
    }
    if (!GetParam().missingExport.empty()) {
        W().divert.missingExports = {GetParam().missingExport};
    }
    W().divert.openError = GetParam().openError;
    if (GetParam().systemCopyHeld) {
        ASSERT_TRUE(fake::UserTakesOplock(kDivertInSystem));
    }
    W().files[kDriverBesideHelper] = "";
    ASSERT_TRUE(GetParam().userTakesDriver == nullptr || GetParam().userTakesDriver());
    Seed([&](SplitParts& s) { s.ipv4.held.insert(NetworkOrder(192, 0, 2, 10)); });
    RememberRoute(MappedAddress(NetworkOrder(198, 51, 100, 7)), L"chrome.exe");
    StartSniffer();
    StartSniffer();  // given up or not, no second attempt before a stop
    EXPECT_TRUE(SnifferRunning());
    const SnifferStartState settled = SettledSnifferStart(60000);
    EXPECT_EQ(settled.start, GetParam().start);
    EXPECT_EQ(settled.error, GetParam().openError);
    StopSniffer();
    EXPECT_EQ(SettledSnifferStart(0).start, SnifferStart::Stopped);
    EXPECT_EQ(Log(), "2026-06-27 09:05:03  " + GetParam().logLine + "\r\n");
    EXPECT_LE(W().divert.loadAttempts.size(), 2u);
    EXPECT_EQ(W().deletedRoutes4.size(), 1u) << "the stop still removes routes";
    EXPECT_FALSE(W().unboundedWait);
    EXPECT_TRUE(W().createdRoutes4.empty()) << "splitting is off: none made ahead";
}

INSTANTIATE_TEST_SUITE_P(
    Exits, EarlyExitTest,
    ::testing::Values(EarlyExitCase{"NotLoaded", false, "", 0,
                                    "WinDivert.dll not loaded; per-app split disabled",
                                    SnifferStart::NotLoaded},
                      EarlyExitCase{"OpenMissing", true, "WinDivertOpen", 0,
                                    "WinDivert exports missing; per-app split disabled",
                                    SnifferStart::ExportsMissing},
                      EarlyExitCase{"RecvMissing", true, "WinDivertRecv", 0,
                                    "WinDivert exports missing; per-app split disabled",
                                    SnifferStart::ExportsMissing},
                      EarlyExitCase{"CloseMissing", true, "WinDivertClose", 0,
                                    "WinDivert exports missing; per-app split disabled",
                                    SnifferStart::ExportsMissing},
                      EarlyExitCase{"OpenFails", true, "", 5, "WinDivertOpen failed err=5",
                                    SnifferStart::OpenFailed},
                      EarlyExitCase{"SystemCopyHeld", false, "", 0,
                                    "C:\\Windows\\system32\\WinDivert.dll held by another "
                                    "process\r\n2026-06-27 09:05:03  WinDivert.dll not loaded; "
                                    "per-app split disabled",
                                    SnifferStart::NotLoaded, true},
                      EarlyExitCase{"DriverHeld", true, "", 995,
                                    "C:\\Program Files\\Orvanta\\WinDivert64.sys held by another "
                                    "process",
                                    SnifferStart::OpenFailed, false,
                                    [] { return fake::UserTakesOplock(kDriverBesideHelper); }},
                      EarlyExitCase{"DriverUnshared", true, "", 32,
                                    "C:\\Program Files\\Orvanta\\WinDivert64.sys cannot be opened "
                                    "err=32",
                                    SnifferStart::OpenFailed, false,
                                    [] { return fake::UserOpens(kDriverBesideHelper, 1, 0); }}),
    [](const auto& info) { return info.param.name; });

TEST_F(SnifferTest, StopWakesAPendingReceiveWithoutAnyEvent) {
    StartSniffer();
    ASSERT_TRUE(fake::WaitUntilReceiving());
    StopSniffer();  // returns although no event ever arrives
    EXPECT_FALSE(SnifferRunning());
    EXPECT_TRUE(W().divert.closed);
    EXPECT_NE(Log().find("WinDivert sniffer stopped"), std::string::npos);
}

TEST_F(SnifferTest, WithoutShutdownTheStopWaitsForTheNextEventAndHandlesIt) {
    W().divert.missingExports = {"WinDivertShutdown"};
    StartSniffer();
    ASSERT_TRUE(fake::WaitUntilReceiving());
    std::thread stopper(StopSniffer);
    // Only an event that arrives after the flag is cleared ends this receive's loop.
    for (int i = 0; i < 10000 && SnifferRunning(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_FALSE(SnifferRunning());
    fake::FeedEvents({Connect(kChrome, HostOrder(192, 0, 2, 10))});
    stopper.join();
    EXPECT_EQ(CreatedDestinations(), std::vector<uint32_t>{NetworkOrder(192, 0, 2, 10)});
    EXPECT_EQ(W().deletedRoutes4.size(), 1u) << "routes go only after the thread has ended";
    EXPECT_TRUE(State().bypassRoutes.empty());
}

// Start, stop, restart and list changes on the serving thread while events keep arriving.
TEST_F(SnifferTest, LifecycleRacesAgainstAFedSniffer) {
    SetTunnelUp(true);
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        for (uint32_t i = 1; feeding; ++i) {
            fake::FeedEvents({Connect(i % 2 ? kChrome : kOther, HostOrder(10, 0, i % 200, 1))});
            std::this_thread::yield();
        }
    });
    const std::wstring lists[] = {L"chrome.exe", L"other.exe;chrome.exe", L"", L"Other.exe"};
    for (int round = 0; round < 200; ++round) {
        ChangeSplitApps(lists[round % 4]);
        if (round % 7 == 0) {
            StopSniffer();
            StartSniffer();
        }
    }
    StopSniffer();
    feeding = false;
    feeder.join();
    EXPECT_FALSE(SnifferRunning());
    EXPECT_TRUE(State().bypassRoutes.empty());
}

}  // namespace
