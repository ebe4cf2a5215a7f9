// The connections listed programs had open before the sniffer watched them.
#include "sniffer_fixture.h"

namespace {

class OpenConnectionsTest : public SnifferFixture {};

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
    row.local6 = row.remote6;
    return row;
}

// Connections a listed program had open before it was listed get routes at the start and when
// the list gains it, by the rules of a connect, but not those it accepted; a table that cannot
// be read costs a log line.
TEST_F(OpenConnectionsTest, OpenConnectionsOfListedProgramsGetTheirRoutes) {
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
                          ToItself(Tcp6(kChrome, 5, "2606:4700::9")),
                          Tcp6(kChrome, 5, "::ffff:198.51.100.24"),
                          Tcp(kChrome, 5, NetworkOrder(198, 51, 100, 20))};
    StartSniffer();
    ASSERT_TRUE(fake::WaitUntilReceiving()) << "the tables are read once the handle is open";
    EXPECT_EQ(
        CreatedDestinations(),
        (std::vector<uint32_t>{NetworkOrder(198, 51, 100, 20), NetworkOrder(198, 51, 100, 32),
                               NetworkOrder(198, 51, 100, 33), NetworkOrder(198, 51, 100, 24)}));
    EXPECT_EQ(Created6(), std::vector<Ipv6Bytes>{V6("2606:4700::4")});
    EXPECT_EQ(RememberedAddresses({L"chrome.exe"}).size(), 5u) << "what got a route";

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
