#include "split/route_manager.h"

#include <vector>

#include "log/helper_log.h"
#include "platform/platform.h"
#include "split/address_text.h"
#include "split/split_state.h"
#include "split/state_file.h"
#include "split/tunnel_destinations.h"

namespace {

// A bypass row's own metric; Windows counts the interface's on top of it.
constexpr uint32_t kBypassOwnMetric = 1;
// Entries of the tunnel's destinations that the log line names.
constexpr size_t kKeptEntriesLogged = 16;

// The tunnel's own destinations, from the configuration it came up with; guarded by StateMutex.
TunnelDestinations& KeptInTheTunnel() {
    static TunnelDestinations kept;
    return kept;
}

// Log lines gathered under StateMutex and written once it is released.
using Problems = std::vector<std::wstring>;

// What a family's route manager knows besides the routes it holds; guarded by StateMutex.
template <typename Address>
struct Bookkeeping {
    // Addresses whose refused creation was logged since the routes were last removed, so that
    // an application reconnecting in a loop does not flood the log.
    std::set<Address> loggedRefusals;
    // Addresses that already had a route the helper did not make (an administrator's, the
    // tunnel program's): left alone, never deleted.
    std::set<Address> foreign;

    void Clear() {
        loggedRefusals.clear();
        foreign.clear();
    }
};

// Destinations that never leave through the gateway: this host (0/8, loopback), multicast,
// the limited broadcast, link-local, and whatever the physical interface reaches directly. A
// host route through the gateway would send every application's traffic to them astray.
bool NeedsNoIpv4Bypass(uint32_t address, const PhysicalRouteRecord& route) {
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(&address);
    if (bytes[0] == 0 || bytes[0] == 127 || (bytes[0] & 0xF0) == 0xE0 || address == 0xFFFFFFFFu ||
        (bytes[0] == 169 && bytes[1] == 254)) {
        return true;
    }
    for (const Ipv4Prefix& prefix : route.onLink) {
        if ((address & prefix.mask) == prefix.dest) {
            return true;
        }
    }
    return false;
}

// The IPv6 counterparts: unspecified, loopback, link-local, multicast, on-link.
bool NeedsNoIpv6Bypass(const Ipv6Bytes& address, const PhysicalRoute6Record& route) {
    const Ipv6Bytes loopback{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    if (address == Ipv6Bytes{} || address == loopback || IsIpv6Multicast(address) ||
        IsIpv6LinkLocal(address)) {
        return true;
    }
    for (const Ipv6Prefix& prefix : route.onLink) {
        if (InPrefix(address, prefix)) {
            return true;
        }
    }
    return false;
}

struct Ipv4Family {
    using Address = uint32_t;
    using Route = PhysicalRouteRecord;
    static std::set<Address>& Held() { return BypassRouteSet; }
    static Route& Physical() { return PhysicalRoute; }
    static Bookkeeping<Address>& Book() {
        static Bookkeeping<Address> book;
        return book;
    }
    static std::wstring Text(Address address) { return DottedAddress(address); }
    static bool InTunnel(Address address) {
        return KeptInTheTunnel().Holds(MappedAddress(address), true);
    }
    static bool NeedsNoBypass(Address address, const Route& route) {
        return NeedsNoIpv4Bypass(address, route) || InTunnel(address);
    }

    static platform::ForwardRow Row(Address address, const Route& route) {
        platform::ForwardRow row;
        row.dest = address;
        row.mask = 0xFFFFFFFFu;
        row.nextHop = route.nextHop;
        row.ifIndex = route.ifIndex;
        row.type = platform::kRouteTypeIndirect;
        row.proto = platform::kRouteProtocolNetMgmt;
        row.metric1 = route.interfaceMetric + kBypassOwnMetric;  // legacy rows count both
        return row;
    }
    // An automatic interface metric follows the link speed, so a refusal for a metric below
    // the interface's is met by reading the metric again and trying once more.
    static uint32_t Create(Address address, Route& route) {
        uint32_t result = platform::CreateForwardEntry(Row(address, route));
        uint32_t metric = 0;
        if (result == platform::kErrorMetricBelowInterface &&
            platform::ReadInterfaceMetric(route.ifIndex, metric) == 0 &&
            metric != route.interfaceMetric) {
            route.interfaceMetric = metric;
            result = platform::CreateForwardEntry(Row(address, route));
        }
        return result;
    }
    static uint32_t Delete(Address address, const Route& route) {
        return platform::DeleteForwardEntry(Row(address, route));
    }
};

struct Ipv6Family {
    using Address = Ipv6Bytes;
    using Route = PhysicalRoute6Record;
    static std::set<Address>& Held() { return BypassRoute6Set; }
    static Route& Physical() { return PhysicalRoute6; }
    static Bookkeeping<Address>& Book() {
        static Bookkeeping<Address> book;
        return book;
    }
    static std::wstring Text(const Address& address) { return Ipv6Text(address); }
    static bool InTunnel(const Address& address) { return KeptInTheTunnel().Holds(address, false); }
    static bool NeedsNoBypass(const Address& address, const Route& route) {
        return NeedsNoIpv6Bypass(address, route) || InTunnel(address);
    }

    static platform::Forward6Row Row(const Address& address, const Route& route) {
        platform::Forward6Row row;
        row.dest = address;
        row.prefixLength = 128;
        row.nextHop = route.nextHop;
        row.luid = route.luid;
        row.ifIndex = route.ifIndex;
        row.metric = kBypassOwnMetric;
        return row;
    }
    static uint32_t Create(const Address& address, Route& route) {
        return platform::CreateForward6Entry(Row(address, route));
    }
    static uint32_t Delete(const Address& address, const Route& route) {
        return platform::DeleteForward6Entry(Row(address, route));
    }
};

void LogAll(const Problems& problems) {
    for (const std::wstring& line : problems) {
        HelperLog(line);
    }
}

template <typename Family>
void DeleteRow(const typename Family::Address& address, const typename Family::Route& route,
               Problems& problems) {
    const uint32_t result = Family::Delete(address, route);
    if (result != 0 && result != platform::kErrorRouteNotFound) {
        problems.push_back(L"bypass route not deleted: " + Family::Text(address) + L" err=" +
                           std::to_wstring(result));
    }
}

// Creates the row through the family's physical route and records what became of it;
// StateMutex is held. True when it was created.
template <typename Family>
bool CreateAndRecord(const typename Family::Address& address, Problems& problems) {
    const uint32_t result = Family::Create(address, Family::Physical());
    if (result == 0) {
        Family::Held().insert(address);
    } else if (result == platform::kErrorRouteExists) {
        Family::Book().foreign.insert(address);
    } else if (Family::Book().loggedRefusals.insert(address).second) {
        problems.push_back(L"bypass route refused: " + Family::Text(address) + L" err=" +
                           std::to_wstring(result));
    }
    return result == 0;
}

// Creates the route unless it is there already or none is needed; the written state follows
// a burst at a time, off this thread.
template <typename Family>
void AddRoute(const typename Family::Address& address) {
    Problems problems;
    bool created = false;
    {
        std::lock_guard<std::mutex> lock(StateMutex);
        const typename Family::Route& route = Family::Physical();
        if (route.known() && Family::Held().count(address) == 0 &&
            Family::Book().foreign.count(address) == 0 && !Family::NeedsNoBypass(address, route)) {
            created = CreateAndRecord<Family>(address, problems);
        }
    }
    LogAll(problems);
    if (created) {
        MarkSplitStateChanged();
    }
}

// Deletes every held route in ascending order; StateMutex is held.
template <typename Family>
void DeleteAll(Problems& problems) {
    for (const typename Family::Address& address : Family::Held()) {
        DeleteRow<Family>(address, Family::Physical(), problems);
    }
    Family::Held().clear();
    Family::Book().Clear();
}

// Deletes every held route into the tunnel's destinations; StateMutex is held. True when one went.
template <typename Family>
bool DeleteRoutesIntoTheTunnel(Problems& problems) {
    bool deleted = false;
    for (auto held = Family::Held().begin(); held != Family::Held().end();) {
        if (!Family::InTunnel(*held)) {
            ++held;
            continue;
        }
        DeleteRow<Family>(*held, Family::Physical(), problems);
        held = Family::Held().erase(held);
        deleted = true;
    }
    return deleted;
}

template <typename Family>
bool MoveRoutes(const typename Family::Route& to) {
    Problems problems;
    {
        std::lock_guard<std::mutex> lock(StateMutex);
        const typename Family::Route from = Family::Physical();
        Family::Physical() = to;  // also a fresh metric and subnets on the same gateway
        if (from.sameGateway(to)) {
            return false;
        }
        const std::set<typename Family::Address> held = std::move(Family::Held());
        Family::Held().clear();
        Family::Book().Clear();  // made for the old network; this one may need the addresses
        for (const typename Family::Address& address : held) {
            DeleteRow<Family>(address, from, problems);
            if (to.known() && !Family::NeedsNoBypass(address, to)) {
                CreateAndRecord<Family>(address, problems);
            }  // otherwise the connection's next attempt decides again
        }
    }
    LogAll(problems);
    SaveSplitState();
    return true;
}

}  // namespace

void AddBypassRoute(uint32_t address) {
    AddRoute<Ipv4Family>(address);
}

void AddBypassRoute(const Ipv6Bytes& address) {
    uint32_t ipv4 = 0;
    if (MappedIpv4(address, ipv4)) {
        AddRoute<Ipv4Family>(ipv4);  // a dual-stack socket's connection to an IPv4 address
    } else {
        AddRoute<Ipv6Family>(address);
    }
}

void RemoveAllBypassRoutes() {
    Problems problems;
    {
        std::lock_guard<std::mutex> lock(StateMutex);
        DeleteAll<Ipv4Family>(problems);
        DeleteAll<Ipv6Family>(problems);
    }
    LogAll(problems);
    SaveSplitState();
}

void KeepInTheTunnel(TunnelDestinations destinations) {
    const std::wstring kept = destinations.Text(kKeptEntriesLogged);
    Problems problems;
    bool deleted = false;
    {
        std::lock_guard<std::mutex> lock(StateMutex);
        KeptInTheTunnel() = std::move(destinations);
        deleted = DeleteRoutesIntoTheTunnel<Ipv4Family>(problems);
        deleted = DeleteRoutesIntoTheTunnel<Ipv6Family>(problems) || deleted;
    }
    if (!kept.empty()) {
        HelperLog(L"tunnel destinations kept in the tunnel: " + kept);
    }
    LogAll(problems);
    if (deleted) {
        SaveSplitState();
    }
}

size_t TunnelDestinationCount() {
    std::lock_guard<std::mutex> lock(StateMutex);
    return KeptInTheTunnel().size();
}

bool BypassRoutesHeld() {
    std::lock_guard<std::mutex> lock(StateMutex);
    return !BypassRouteSet.empty() || !BypassRoute6Set.empty();
}

bool MoveBypassRoutes(const PhysicalRouteRecord& to) {
    return MoveRoutes<Ipv4Family>(to);
}

bool MoveBypassRoutes(const PhysicalRoute6Record& to) {
    return MoveRoutes<Ipv6Family>(to);
}

std::set<uint32_t> BypassRoutesInTable(const std::set<uint32_t>& addresses,
                                       const PhysicalRouteRecord& route,
                                       const std::vector<platform::ForwardRow>& rows) {
    std::set<uint32_t> present;
    for (const platform::ForwardRow& row : rows) {
        if (row.mask == 0xFFFFFFFFu && row.nextHop == route.nextHop &&
            row.ifIndex == route.ifIndex && addresses.count(row.dest) > 0) {
            present.insert(row.dest);
        }
    }
    return present;
}

std::set<Ipv6Bytes> BypassRoutesInTable(const std::set<Ipv6Bytes>& addresses,
                                        const PhysicalRoute6Record& route,
                                        const std::vector<platform::Forward6Row>& rows) {
    std::set<Ipv6Bytes> present;
    for (const platform::Forward6Row& row : rows) {
        if (row.prefixLength == 128 && row.nextHop == route.nextHop &&
            row.ifIndex == route.ifIndex && row.luid == route.luid &&
            addresses.count(row.dest) > 0) {
            present.insert(row.dest);
        }
    }
    return present;
}
