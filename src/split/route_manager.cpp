#include "split/route_manager.h"

#include <cstdint>
#include <vector>

#include "split/physical_route.h"
#include "split/route_family.h"
#include "split/routes_ahead.h"
#include "split/split_state.h"
#include "split/tunnel_destinations.h"

namespace {

// Entries of the tunnel's destinations that the log line names.
constexpr size_t kKeptEntriesLogged = 16;

template <typename Family>
void DeleteRow(const typename Family::Address& address, const typename Family::Route& route,
               LogLines& problems) {
    const uint32_t result = Family::Delete(address, route);
    if (result != 0 && result != platform::kErrorRouteNotFound) {
        problems.push_back(L"bypass route not deleted: " + Family::Text(address) + L" err=" +
                           std::to_wstring(result));
    }
}

// Whether the table holds the helper's marked row for the address through `route`.
template <typename Family>
bool MarkedRowInTable(const typename Family::Address& address,
                      const typename Family::Route& route) {
    std::vector<typename Family::OwnRow> rows;
    if (Family::ReadOwnRows(rows) != platform::RouteTableRead::Ok) {
        return false;
    }
    for (const typename Family::OwnRow& row : rows) {
        if (row.dest == address && MarkedRowThrough<Family>(row, route)) {
            return true;
        }
    }
    return false;
}

// Refusals that mean the network moved under the route: the interface is gone, or its next hop
// is no longer reachable from it.
bool NetworkMoved(uint32_t result) {
    return result == platform::kErrorRouteNotFound ||
           result == platform::kErrorNetworkUnreachable ||
           result == platform::kErrorHostUnreachable;
}

// Creates the row through the family's physical route and records what became of it; the
// state's lock is held. A refusal is logged once per address, unless `moreTries` says the
// caller tries again through a route that moved. Returns the creation's result.
template <typename Family>
uint32_t CreateAndRecord(typename Family::Address address, SplitParts& parts, LogLines& problems,
                         bool moreTries = false) {
    auto& part = Family::Part(parts);
    const uint32_t result = Family::Create(address, part.physical);
    if (result == 0 || (result == platform::kErrorRouteExists &&
                        MarkedRowInTable<Family>(address, part.physical))) {
        part.held.insert(address);  // a marked row is one this helper made before
        return 0;
    }
    if (result == platform::kErrorRouteExists) {
        part.foreign.insert(address);
    } else if (!(moreTries && NetworkMoved(result)) && part.loggedRefusals.insert(address).second) {
        problems.push_back(L"bypass route refused: " + Family::Text(address) + L" err=" +
                           std::to_wstring(result));
    }
    return result;
}

// Past the cap, the route used longest ago goes; the state's lock is held.
template <typename Family>
void EvictPastTheCap(SplitParts& parts, LogLines& lines) {
    auto& part = Family::Part(parts);
    while (part.held.size() > kMaxBypassRoutesPerFamily) {
        const typename Family::Address oldest = part.LeastRecentlyUsed();
        DeleteRow<Family>(oldest, part.physical, lines);
        part.held.erase(oldest);
        part.ForgetUse(oldest);
        if (!part.capReached) {
            part.capReached = true;
            lines.push_back(std::wstring(L"bypass routes reached the cap of ") +
                            std::to_wstring(kMaxBypassRoutesPerFamily) + L" (" + Family::kName +
                            L"); the least recently used go first");
        }
    }
}

// What a connect's look at its address came to: created or held (0), no creation tried, or the
// creation's refusal.
constexpr uint32_t kNoCreation = UINT32_MAX;

// Creates the route unless it is there already or none is needed; a connect to a held address
// makes it the most recently used, which the file does not keep. The written state follows a
// burst at a time, off this thread.
template <typename Family>
uint32_t AddRouteOnce(const typename Family::Address& address, bool moreTries) {
    uint32_t result = kNoCreation;
    TheSplitState().Apply([&](SplitParts& parts, LogLines& problems) {
        auto& part = Family::Part(parts);
        if (part.held.count(address) > 0) {
            part.Touch(address);
            result = 0;
            return Saving::None;
        }
        if (!part.physical.known() || part.foreign.count(address) > 0 ||
            NeedsNoBypass<Family>(address, part.physical, parts.kept)) {
            return Saving::None;
        }
        result = CreateAndRecord<Family>(address, parts, problems, moreTries);
        if (result != 0) {
            return Saving::None;
        }
        part.Touch(address);
        EvictPastTheCap<Family>(parts, problems);
        return Saving::Coalesced;
    });
    return result;
}

template <typename Family>
void LogRefusal(const typename Family::Address& address, uint32_t result) {
    TheSplitState().Apply([&](SplitParts& parts, LogLines& problems) {
        if (Family::Part(parts).loggedRefusals.insert(address).second) {
            problems.push_back(L"bypass route refused: " + Family::Text(address) + L" err=" +
                               std::to_wstring(result));
        }
        return Saving::None;
    });
}

// A connect in the moment the machine changes network is tried through the old gateway before
// the change is reported: a refusal that says so looks at the physical routes again at once and,
// when they moved, tries once more through the new one. A refusal not tried again is logged.
// True when the route is held.
template <typename Family>
bool AddRoute(const typename Family::Address& address) {
    const uint32_t result = AddRouteOnce<Family>(address, true);
    if (!NetworkMoved(result)) {
        return result == 0;
    }
    if (FollowPhysicalDefaultRoute()) {
        const uint32_t again = AddRouteOnce<Family>(address, false);
        if (again != kNoCreation) {
            return again == 0;
        }
    }
    LogRefusal<Family>(address, result);
    return false;
}

// Deletes every held route in ascending order; the state's lock is held.
template <typename Family>
void DeleteAll(SplitParts& parts, LogLines& problems) {
    auto& part = Family::Part(parts);
    for (const typename Family::Address& address : part.held) {
        DeleteRow<Family>(address, part.physical, problems);
    }
    part.held.clear();
    part.ForgetUses();
    part.capReached = false;
    part.ForgetBookkeeping();
}

// Deletes every held route into the tunnel's destinations; the state's lock is held. True when
// one went.
template <typename Family>
bool DeleteRoutesIntoTheTunnel(SplitParts& parts, LogLines& problems) {
    auto& part = Family::Part(parts);
    bool deleted = false;
    for (auto held = part.held.begin(); held != part.held.end();) {
        if (!Family::InTunnel(parts.kept, *held)) {
            ++held;
            continue;
        }
        DeleteRow<Family>(*held, part.physical, problems);
        part.ForgetUse(*held);
        held = part.held.erase(held);
        deleted = true;
    }
    return deleted;
}

template <typename Family>
bool MoveRoutes(const typename Family::Route& to, uint64_t ticket) {
    bool appeared = false;
    const Saving saving = TheSplitState().Apply([&](SplitParts& parts, LogLines& problems) {
        auto& part = Family::Part(parts);
        if (ticket < part.lastFollowTicket) {
            return Saving::None;  // a later look was applied already
        }
        part.lastFollowTicket = ticket;
        const typename Family::Route from = part.physical;
        part.physical = to;  // also a fresh metric and subnets on the same gateway
        if (from.sameGateway(to)) {
            return Saving::None;
        }
        appeared = !from.known() && to.known();
        const std::set<typename Family::Address> held = std::move(part.held);
        part.held.clear();
        part.ForgetBookkeeping();
        for (const typename Family::Address& address : held) {
            DeleteRow<Family>(address, from, problems);
            if (to.known() && !NeedsNoBypass<Family>(address, to, parts.kept)) {
                CreateAndRecord<Family>(address, parts, problems);
            }  // otherwise the connection's next attempt decides again
        }
        part.ForgetUnheldUses();
        return Saving::Now;
    });
    if (appeared) {
        MakeRoutesAheadForAll();  // on no lock of the split state
    }
    return saving != Saving::None;
}

// Takes the marked rows through the physical route as held while `adopt` says so and the cap
// has room, in the table's order, and deletes every other marked row; the state's lock is held.
template <typename Family>
void ClaimMarkedRows(bool adopt, SplitParts& parts, LogLines& problems) {
    std::vector<typename Family::OwnRow> rows;
    if (Family::ReadOwnRows(rows) != platform::RouteTableRead::Ok) {
        return;  // a table that cannot be read shows no row to take or delete
    }
    auto& part = Family::Part(parts);
    part.held.clear();
    part.ForgetUses();
    for (const typename Family::OwnRow& row : rows) {
        if (!MarkedRow<Family>(row)) {
            continue;  // someone else's
        }
        if (adopt && part.physical.known() && MarkedRowThrough<Family>(row, part.physical) &&
            part.held.size() < kMaxBypassRoutesPerFamily) {
            part.held.insert(row.dest);
            part.Touch(row.dest);  // in the table's order, none known to be more recent
        } else {
            DeleteRow<Family>(row.dest, Family::RouteOf(row), problems);
        }
    }
}

}  // namespace

void ClaimMarkedBypassRows(bool adopt) {
    TheSplitState().Apply([adopt](SplitParts& parts, LogLines& problems) {
        ClaimMarkedRows<Ipv4Family>(adopt, parts, problems);
        ClaimMarkedRows<Ipv6Family>(adopt, parts, problems);
        return adopt ? Saving::Now : Saving::None;  // a file not read is not written over
    });
}

bool AddBypassRoute(uint32_t address) {
    return AddRoute<Ipv4Family>(address);
}

bool AddBypassRoute(const Ipv6Bytes& address) {
    uint32_t ipv4 = 0;
    if (MappedIpv4(address, ipv4)) {
        return AddRoute<Ipv4Family>(ipv4);  // a dual-stack socket's connection to IPv4
    }
    return AddRoute<Ipv6Family>(address);
}

void RemoveAllBypassRoutes() {
    TheSplitState().Apply([](SplitParts& parts, LogLines& problems) {
        DeleteAll<Ipv4Family>(parts, problems);
        DeleteAll<Ipv6Family>(parts, problems);
        return Saving::Now;
    });
}

void KeepInTheTunnel(TunnelDestinations destinations) {
    const std::wstring kept = destinations.Text(kKeptEntriesLogged);
    TheSplitState().Apply([&](SplitParts& parts, LogLines& lines) {
        if (!kept.empty()) {
            lines.push_back(L"tunnel destinations kept in the tunnel: " + kept);
        }
        parts.kept = std::move(destinations);
        bool deleted = DeleteRoutesIntoTheTunnel<Ipv4Family>(parts, lines);
        deleted = DeleteRoutesIntoTheTunnel<Ipv6Family>(parts, lines) || deleted;
        return deleted ? Saving::Now : Saving::None;
    });
}

size_t TunnelDestinationCount() {
    return TheSplitState().Read([](const SplitParts& parts) { return parts.kept.size(); });
}

bool BypassRoutesHeld() {
    return TheSplitState().Read([](const SplitParts& parts) {
        return !parts.ipv4.held.empty() || !parts.ipv6.held.empty();
    });
}

bool MoveBypassRoutes(const PhysicalRouteRecord& to, uint64_t ticket) {
    return MoveRoutes<Ipv4Family>(to, ticket);
}

bool MoveBypassRoutes(const PhysicalRoute6Record& to, uint64_t ticket) {
    return MoveRoutes<Ipv6Family>(to, ticket);
}
