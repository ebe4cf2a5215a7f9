#include "split/route_manager.h"

#include <vector>

#include "split/route_family.h"
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

// Creates the row through the family's physical route and records what became of it; the
// state's lock is held. True when it was created.
template <typename Family>
bool CreateAndRecord(typename Family::Address address, SplitParts& parts, LogLines& problems) {
    auto& part = Family::Part(parts);
    const uint32_t result = Family::Create(address, part.physical);
    if (result == 0) {
        part.held.insert(address);
    } else if (result == platform::kErrorRouteExists) {
        part.foreign.insert(address);
    } else if (part.loggedRefusals.insert(address).second) {
        problems.push_back(L"bypass route refused: " + Family::Text(address) + L" err=" +
                           std::to_wstring(result));
    }
    return result == 0;
}

// Creates the route unless it is there already or none is needed; the written state follows
// a burst at a time, off this thread.
template <typename Family>
void AddRoute(const typename Family::Address& address) {
    TheSplitState().Apply([&address](SplitParts& parts, LogLines& problems) {
        const auto& part = Family::Part(parts);
        if (part.physical.known() && part.held.count(address) == 0 &&
            part.foreign.count(address) == 0 &&
            !NeedsNoBypass<Family>(address, part.physical, parts.kept) &&
            CreateAndRecord<Family>(address, parts, problems)) {
            return Saving::Coalesced;
        }
        return Saving::None;
    });
}

// Deletes every held route in ascending order; the state's lock is held.
template <typename Family>
void DeleteAll(SplitParts& parts, LogLines& problems) {
    auto& part = Family::Part(parts);
    for (const typename Family::Address& address : part.held) {
        DeleteRow<Family>(address, part.physical, problems);
    }
    part.held.clear();
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
        held = part.held.erase(held);
        deleted = true;
    }
    return deleted;
}

template <typename Family>
bool MoveRoutes(const typename Family::Route& to, uint64_t ticket) {
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
        const std::set<typename Family::Address> held = std::move(part.held);
        part.held.clear();
        part.ForgetBookkeeping();
        for (const typename Family::Address& address : held) {
            DeleteRow<Family>(address, from, problems);
            if (to.known() && !NeedsNoBypass<Family>(address, to, parts.kept)) {
                CreateAndRecord<Family>(address, parts, problems);
            }  // otherwise the connection's next attempt decides again
        }
        return Saving::Now;
    });
    return saving != Saving::None;
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
