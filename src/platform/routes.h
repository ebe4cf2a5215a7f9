#pragma once

// The routing tables of both families, the interfaces behind them and the TCP connections.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct ForwardRow {
    uint32_t dest = 0, mask = 0, policy = 0, nextHop = 0, ifIndex = 0, type = 0, proto = 0, age = 0,
             nextHopAS = 0, metric1 = 0, metric2 = 0, metric3 = 0, metric4 = 0, metric5 = 0;
};
constexpr uint32_t kRouteTypeDirect = 3;  // on-link: the next hop is the destination
constexpr uint32_t kRouteTypeIndirect = 4;
constexpr uint32_t kRouteProtocolNetMgmt = 3;
constexpr uint32_t kErrorRouteNotFound = 1168;        // ERROR_NOT_FOUND
constexpr uint32_t kErrorRouteExists = 5010;          // ERROR_OBJECT_ALREADY_EXISTS
constexpr uint32_t kErrorMetricBelowInterface = 160;  // ERROR_BAD_ARGUMENTS
constexpr uint32_t kErrorNetworkUnreachable = 1231;   // ERROR_NETWORK_UNREACHABLE
constexpr uint32_t kErrorHostUnreachable = 1232;      // ERROR_HOST_UNREACHABLE

enum class RouteTableRead {
    Ok,
    ProbeFailed,  // the size probe did not ask for a buffer
    NoMemory,
    Grew,        // the table outgrew the probed size before it was read
    ReadFailed,  // any other failure of the read
};
// One size probe and one read of the table, rows in the system's order.
RouteTableRead ReadIpv4ForwardTable(std::vector<ForwardRow>& rows);
// Both return 0 or the Win32 error.
uint32_t CreateForwardEntry(const ForwardRow& row);
uint32_t DeleteForwardEntry(const ForwardRow& row);
// The IPv4 metric of the interface, which Windows adds to a route's own metric: a row whose
// metric is below it is refused. Returns 0 or the Win32 error.
uint32_t ReadInterfaceMetric(uint32_t ifIndex, uint32_t& metric);
// The index of the interface whose alias (the name Windows shows for the adapter) is `alias`.
// Returns 0 or the Win32 error.
uint32_t InterfaceIndexFromAlias(const std::wstring& alias, uint32_t& ifIndex);

// Calls `changed` on a thread of the system's whenever a default route of either family
// (0.0.0.0/0 or ::/0) is added, deleted or changed, until stopped; other routes (the helper's own
// among them) do not call it. Returns 0 or the Win32 error.
struct RouteWatch;
uint32_t WatchDefaultRoutes(void (*changed)(), RouteWatch*& watch);
// Ends the watch; a call of `changed` that is running has returned when this returns. Never
// call it from `changed` itself. Nothing for null.
void StopWatchingRoutes(RouteWatch* watch);

// An IPv6 address: its 16 bytes in network order.
using Ipv6Bytes = std::array<uint8_t, 16>;

// A row of the IPv6 table as the row-2 calls see it. Its metric is the route's own, which
// Windows adds to the interface's; the interface is named by both its LUID and its index.
struct Forward6Row {
    Ipv6Bytes dest{};
    uint8_t prefixLength = 0;
    Ipv6Bytes nextHop{};  // all zeros: on-link
    uint64_t luid = 0;
    uint32_t ifIndex = 0;
    uint32_t metric = 0;
};
// One read of the IPv6 table, rows in the system's order (ProbeFailed is never returned: the
// system sizes the table itself).
RouteTableRead ReadIpv6ForwardTable(std::vector<Forward6Row>& rows);
// Both return 0 or the Win32 error. The row is made as a network manager's and lives until it
// is deleted or the machine restarts; Windows picks its interface by the LUID.
uint32_t CreateForward6Entry(const Forward6Row& row);
uint32_t DeleteForward6Entry(const Forward6Row& row);
// The IPv6 metric of the interface; an interface without IPv6 answers ERROR_NOT_FOUND.
uint32_t ReadIpv6InterfaceMetric(uint32_t ifIndex, uint32_t& metric);

// A row of the IPv4 table as the row-2 calls see it, in the shape of Forward6Row. Its metric is
// the route's own, which Windows keeps as it was given and adds to the interface's current one,
// so it does not move when the interface's metric changes (a row made through the legacy calls
// keeps its dwForwardMetric1 less the interface's metric at its creation).
struct Forward4Row {
    uint32_t dest = 0;  // network byte order
    uint8_t prefixLength = 0;
    uint32_t nextHop = 0;  // zero: on-link
    uint64_t luid = 0;
    uint32_t ifIndex = 0;
    uint32_t metric = 0;
};
// One read of the IPv4 table through the row-2 call, rows in the system's order.
RouteTableRead ReadIpv4ForwardTable2(std::vector<Forward4Row>& rows);
// Both return 0 or the Win32 error, as CreateForward6Entry and DeleteForward6Entry do: an
// interface without IPv4 answers ERROR_NOT_FOUND, a metric is never refused for the interface's.
uint32_t CreateForward4Entry(const Forward4Row& row);
uint32_t DeleteForward4Entry(const Forward4Row& row);

// A unicast address of an interface, either family, as the system holds it.
struct UnicastAddress {
    bool ipv6 = false;
    uint32_t address4 = 0;  // network byte order
    Ipv6Bytes address6{};
    uint8_t prefixLength = 0;  // of its on-link prefix
    uint64_t luid = 0;
    uint32_t ifIndex = 0;
    uint32_t dadState = 0;  // duplicate address detection: preferred or deprecated are usable
};
constexpr uint32_t kDadStateTentative = 1;  // still being checked: not usable yet
constexpr uint32_t kDadStateDuplicate = 2;
constexpr uint32_t kDadStateDeprecated = 3;  // usable, though a preferred one goes first
constexpr uint32_t kDadStatePreferred = 4;
// One read of the unicast addresses of both families (ProbeFailed is never returned).
RouteTableRead ReadUnicastAddresses(std::vector<UnicastAddress>& rows);

// Calls `changed` on a thread of the system's with the interface index whenever a unicast
// address of either family is added, deleted or changed (its duplicate address detection ending
// among them), until stopped; read the table for what changed. Returns 0 or the Win32 error.
struct AddressWatch;
uint32_t WatchUnicastAddresses(void (*changed)(uint32_t ifIndex), AddressWatch*& watch);
// Ends the watch; a call of `changed` that is running has returned when this returns. Never
// call it from `changed` itself. Nothing for null.
void StopWatchingAddresses(AddressWatch* watch);

// A TCP endpoint of the system's table with the process that owns it: a connection, or a
// listener (its local address zero for every interface, its remote end meaningless).
struct TcpConnection {
    uint32_t processId = 0;
    uint32_t state = 0;
    bool ipv6 = false;
    uint32_t local4 = 0, remote4 = 0;  // network byte order
    Ipv6Bytes local6{}, remote6{};
    uint16_t localPort = 0;  // host order
};
constexpr uint32_t kTcpStateListen = 2;
constexpr uint32_t kTcpStateSynSent = 3;
constexpr uint32_t kTcpStateEstablished = 5;
// One size probe and one read of the family's endpoints, listeners included.
RouteTableRead ReadTcpConnections(bool ipv6, std::vector<TcpConnection>& rows);

// Dotted-decimal text to an IPv4 address in network byte order.
bool ParseIpv4(const char* text, uint32_t& networkOrder);
uint32_t HostToNetwork32(uint32_t hostOrder);

}  // namespace platform
