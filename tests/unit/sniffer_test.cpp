// The socket sniffer thread against the fake divert library.
#include <atomic>
#include <chrono>
#include <thread>

#include "split_fixture.h"
#include "tunnel/configuration.h"

namespace {

constexpr uint32_t kChrome = 100;
constexpr uint32_t kOther = 200;
constexpr uint32_t kUber = 300;

class SnifferTest : public SplitFixture {
  protected:
    void SetUp() override {
        SplitFixture::SetUp();
        W().divert.loadablePaths = {kDivertBesideHelper};
        W().processImages = {{kChrome, L"C:\\apps\\Chrome.exe"},
                             {kOther, L"C:\\apps\\other.exe"},
                             {kUber, L"C:\\apps\\\u00DCBER.EXE"}};
        platform::ForwardRow lan = DefaultRow(12, 0, 35, NetworkOrder(255, 255, 255, 0));
        lan.dest = NetworkOrder(192, 168, 1, 0);
        lan.type = platform::kRouteTypeDirect;
        platform::ForwardRow noGateway = DefaultRow(12, 0, 35, NetworkOrder(255, 255, 0, 0));
        noGateway.dest = NetworkOrder(10, 20, 0, 0);  // indirect, yet reached without a gateway
        W().routeTable = {DefaultRow(12, NetworkOrder(192, 168, 1, 1), 35), lan, noGateway};
        Seed([&](SplitParts& s) {
            s.ipv4.physical = Route(12, NetworkOrder(192, 168, 1, 1), 25);
            s.apps = {L"chrome.exe", L"\u00FCber.exe"};
            s.ipv6.physical = Route6(12);
        });
        platform::Forward6Row lan6 = Default6Row(12, 256, 64);
        lan6.dest = V6("2001:db8:1::");
        lan6.nextHop = {};
        W().routeTable6 = {Default6Row(12, 0), lan6};  // found again, unmoved, at the start
        W().interfaceMetrics6 = {{12, 10}};
    }

    // Runs a sniffer over the events and stops it once it has taken them all.
    static void Sniff(const std::vector<platform::DivertAddress>& events) {
        StartSniffer();
        fake::FeedEvents(events);
        ASSERT_TRUE(fake::WaitUntilEventsTaken());
        StopSniffer();
    }

    static std::vector<uint32_t> CreatedDestinations() {
        std::vector<uint32_t> destinations;
        for (const auto& row : W().createdRoutes4) {
            destinations.push_back(row.dest);
        }
        return destinations;
    }

    static platform::DivertAddress Connect(uint32_t pid, uint32_t hostOrder, bool ipv6 = false) {
        return fake::SocketEvent(platform::kDivertEventSocketConnect, pid, hostOrder, ipv6);
    }
    // WinDivert's four host-order words, word 3 the most significant.
    static platform::DivertAddress Connect6(uint32_t pid, const char* text) {
        platform::DivertAddress event = Connect(pid, 0, true);
        const Ipv6Bytes bytes = V6(text);
        for (int word = 0; word < 4; ++word) {
            const uint8_t* b = &bytes[4 * (3 - word)];
            event.remoteAddr[word] = (uint32_t{b[0]} << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
        }
        return event;
    }
    static std::vector<Ipv6Bytes> Created6() {
        std::vector<Ipv6Bytes> destinations;
        for (const auto& row : W().createdRoutes6) {
            destinations.push_back(row.dest);
        }
        return destinations;
    }
    static platform::DivertAddress Looped(platform::DivertAddress event) {
        event.flags |= 1u << 18;
        return event;
    }
};

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
    EXPECT_EQ(Created6(), std::vector<Ipv6Bytes>{V6("2606:4700::1111")});
    EXPECT_EQ(W().deletedRoutes6.size(), 1u) << "the stop removes it";
}

TEST_F(SnifferTest, FailedReceivesAreRetriedEvery50MsWithoutALogLine) {
    W().divert.receiveFailures = 3;
    Sniff({Connect(kChrome, HostOrder(192, 0, 2, 10))});
    EXPECT_EQ(W().sleeps, (std::vector<uint32_t>{50, 50, 50}));
    EXPECT_EQ(CreatedDestinations().size(), 1u);
    EXPECT_EQ(Log().find("err"), std::string::npos);
}

TEST_F(SnifferTest, LoadsFromTheSafeSearchWhenNotBesideTheHelper) {
    W().divert.loadablePaths.clear();
    W().divert.loadsFromSafeSearch = true;
    Sniff({});
    EXPECT_EQ(W().divert.loadAttempts,
              (std::vector<std::wstring>{L"path:" + kDivertBesideHelper, L"search:WinDivert.dll"}));
    EXPECT_NE(Log().find("sniffer started"), std::string::npos);
}

struct EarlyExitCase {
    const char* name;
    bool loads;
    std::string missingExport;
    uint32_t openError;
    std::string logLine;
    SnifferStart start;
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
    Seed([&](SplitParts& s) { s.ipv4.held.insert(NetworkOrder(192, 0, 2, 10)); });
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
                                    SnifferStart::OpenFailed}),
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

namespace {

platform::TcpConnection Tcp(uint32_t pid, uint32_t state, uint32_t remote,
                            uint16_t localPort = 49152, uint32_t local = 0) {
    platform::TcpConnection row;
    row.processId = pid;
    row.state = state;
    row.remote4 = remote;
    row.local4 = local;
    row.localPort = localPort;
    return row;
}

platform::TcpConnection Tcp6(uint32_t pid, uint32_t state, const char* remote,
                             uint16_t localPort = 49152) {
    platform::TcpConnection row = Tcp(pid, state, 0, localPort);
    row.ipv6 = true;
    row.remote6 = V6(remote);
    return row;
}

// A connection to the machine's own (tunnel) address: loopback, whatever the address.
platform::TcpConnection ToItself(platform::TcpConnection row) {
    row.local4 = row.remote4;
    return row;
}

// Connections a listed program had open before it was listed get routes at the start and when
// the list gains it, by the rules of a connect, but not those it accepted; a table that cannot
// be read costs a log line.
TEST_F(SnifferTest, OpenConnectionsOfListedProgramsGetTheirRoutes) {
    const uint32_t tunnelAddress = NetworkOrder(10, 8, 0, 2);
    W().tcpConnections = {Tcp(kChrome, 5, NetworkOrder(198, 51, 100, 20)),
                          Tcp6(kChrome, 3, "2606:4700::4"),                     // connecting
                          Tcp(kChrome, 2, NetworkOrder(198, 51, 100, 21), 80),  // listening
                          Tcp(kChrome, 5, NetworkOrder(198, 51, 100, 30), 80),  // accepted there
                          Tcp(kChrome, 2, 0, 81, tunnelAddress),                // on one address
                          Tcp(kChrome, 5, NetworkOrder(198, 51, 100, 31), 81, tunnelAddress),
                          Tcp(kChrome, 5, NetworkOrder(198, 51, 100, 32), 81),  // another address
                          Tcp(kOther, 2, 0, 82),  // another process listens
                          Tcp(kChrome, 5, NetworkOrder(198, 51, 100, 33), 82),
                          Tcp6(kChrome, 2, "::", 443),  // dual-stack: IPv4 comes in too
                          Tcp(kChrome, 5, NetworkOrder(198, 51, 100, 34), 443),
                          Tcp6(kChrome, 5, "2606:4700::35", 443),
                          Tcp(kChrome, 11, NetworkOrder(198, 51, 100, 22)),  // time-wait
                          Tcp(kOther, 5, NetworkOrder(198, 51, 100, 23)),
                          Tcp(kChrome, 5, NetworkOrder(127, 0, 0, 1)),
                          ToItself(Tcp(kChrome, 5, NetworkOrder(10, 8, 0, 2))),
                          Tcp6(kChrome, 5, "::ffff:198.51.100.24"),
                          Tcp(kChrome, 5, NetworkOrder(198, 51, 100, 20))};
    StartSniffer();
    ASSERT_TRUE(fake::WaitUntilReceiving()) << "the tables are read once the handle is open";
    EXPECT_EQ(
        CreatedDestinations(),
        (std::vector<uint32_t>{NetworkOrder(198, 51, 100, 20), NetworkOrder(198, 51, 100, 32),
                               NetworkOrder(198, 51, 100, 33), NetworkOrder(198, 51, 100, 24)}));
    EXPECT_EQ(Created6(), std::vector<Ipv6Bytes>{V6("2606:4700::4")});

    W().tcpReads = {platform::RouteTableRead::Grew};
    SetSplitApps(L"chrome.exe;other.exe");  // only the gained program's rows are new
    EXPECT_EQ(CreatedDestinations().back(), NetworkOrder(198, 51, 100, 23));
    EXPECT_EQ(W().createdRoutes4.size(), 5u);

    W().tcpReads = {platform::RouteTableRead::ReadFailed};
    W().processImages[400] = L"C:\\apps\\Edge.exe";
    W().tcpConnections.push_back(Tcp6(400, 5, "2606:4700::5"));
    SetSplitApps(L"chrome.exe;other.exe;edge.exe");
    EXPECT_EQ(Created6().back(), V6("2606:4700::5")) << "the other family is still read";
    EXPECT_NE(Log().find("  open TCP connections not read: IPv4; they get their bypass routes at "
                         "their next connect\r\n"),
              std::string::npos);
    StopSniffer();
    EXPECT_EQ(W().tcpTableReads, 2 + 3 + 2);
}

}  // namespace
