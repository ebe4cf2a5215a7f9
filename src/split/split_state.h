#pragma once

// The state of per-app splitting: one owner for the process, created empty at start, with a
// private lock. Only the split room reaches it; everyone else goes through the room's operations.

#include <atomic>
#include <cstdint>
#include <utility>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "split/route_types.h"
#include "split/tunnel_destinations.h"

// One family's part: the physical default route its bypass routes go through, the routes the
// route manager holds, and what it knows besides.
template <typename Address, typename Route>
struct FamilyState {
    Route physical;
    std::set<Address> held;
    // Addresses whose refused creation was logged since the routes were last removed, so that
    // an application reconnecting in a loop does not flood the log.
    std::set<Address> loggedRefusals;
    // Addresses that already had a route the helper did not make (an administrator's, the
    // tunnel program's): left alone, never deleted.
    std::set<Address> foreign;
    // The ticket of the last look at the table whose route was applied (see DrawFollowTicket).
    uint64_t lastFollowTicket = 0;
    // When a listed application last connected to each held address, on a count that only
    // grows, and the same ordered by that count: the least recently used goes first at the cap.
    std::map<Address, uint64_t> lastUse;
    std::set<std::pair<uint64_t, Address>> byUse;
    uint64_t uses = 0;
    // From the first eviction at the cap until the family's routes are next removed.
    bool capReached = false;

    void Touch(const Address& address) {
        const auto [use, added] = lastUse.emplace(address, ++uses);
        if (!added) {
            byUse.erase({use->second, address});
            use->second = uses;
        }
        byUse.emplace(uses, address);
    }
    void ForgetUse(const Address& address) {
        const auto use = lastUse.find(address);
        if (use != lastUse.end()) {
            byUse.erase({use->second, address});
            lastUse.erase(use);
        }
    }
    void ForgetUses() {
        lastUse.clear();
        byUse.clear();
    }
    // The held address used longest ago; one held without a recorded use goes first.
    Address LeastRecentlyUsed() const {
        if (lastUse.size() < held.size()) {
            for (const Address& address : held) {
                if (lastUse.count(address) == 0) {
                    return address;
                }
            }
        }
        for (const auto& [when, address] : byUse) {
            if (held.count(address) > 0) {
                return address;
            }
        }
        return *held.begin();
    }
    // Drops the use of addresses no longer held.
    void ForgetUnheldUses() {
        for (auto use = lastUse.begin(); use != lastUse.end();) {
            if (held.count(use->first) > 0) {
                ++use;
            } else {
                byUse.erase({use->second, use->first});
                use = lastUse.erase(use);
            }
        }
    }

    // Made for one network; the next one may need the addresses.
    void ForgetBookkeeping() {
        loggedRefusals.clear();
        foreign.clear();
    }
};

using Ipv4State = FamilyState<uint32_t, PhysicalRouteRecord>;
using Ipv6State = FamilyState<Ipv6Bytes, PhysicalRoute6Record>;

struct SplitParts {
    std::set<std::wstring> apps;  // lower-cased executable file names whose connections bypass
    Ipv4State ipv4;
    Ipv6State ipv6;
    TunnelDestinations kept;  // the tunnel's own, from the configuration it came up with
};

// What a change did to the content the state file keeps: nothing, something to write now, or a
// route made on the socket-event path, which the save timer writes a burst at a time.
enum class Saving { None, Now, Coalesced };
// Log lines gathered under the lock and written once it is released.
using LogLines = std::vector<std::wstring>;

// The lock is never held together with the log's lock, and never while waiting for a thread or
// a process: the operations below write their lines and save only after releasing it.
class SplitState {
  public:
    // Runs `look(const SplitParts&)` under the lock and returns what it returns.
    template <typename Look>
    auto Read(Look look) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return look(parts_);
    }
    // Runs `change(SplitParts&, LogLines&)`, which returns a Saving, under the lock; then writes
    // the lines and saves as told. Returns what `change` did.
    template <typename Change>
    Saving Apply(Change change) {
        LogLines lines;
        Saving saving = Saving::None;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            saving = change(parts_, lines);
        }
        if (saving != Saving::None || !lines.empty()) {
            Publish(saving, lines);
        }
        return saving;
    }
    // A copy of what the state file keeps, subnets included.
    SplitStateRecord Snapshot() const;
    // Everything empty and forgotten, the tunnel's destinations too; the sniffer is stopped.
    void Reset();

    // Each look at the routing table draws a ticket before it reads, so that a look that read
    // earlier than one already applied changes nothing.
    uint64_t DrawFollowTicket() { return ++followTickets_; }

    // The sniffer thread's keep-going flag; only StartSniffer and StopSniffer change it.
    bool SnifferRunning() const { return snifferRunning_.load(); }
    // Sets the flag and returns what it was.
    bool SetSnifferRunning(bool running) { return snifferRunning_.exchange(running); }

  private:
    void Publish(Saving saving, const LogLines& lines);

    mutable std::mutex mutex_;
    SplitParts parts_;
    std::atomic<bool> snifferRunning_{false};
    std::atomic<uint64_t> followTickets_{0};
};

SplitState& TheSplitState();
