#include "split/split_status.h"

#include <mutex>

#include "split/route_memory.h"
#include "split/split_state.h"

SplitFacts CurrentSplitFacts() {
    SplitFacts facts;
    facts.sniffer = SettledSnifferStart(kSnifferSettleWaitMs);  // before the lock: no wait under it
    TheSplitState().Read([&facts](const SplitParts& parts) {
        facts.apps = parts.apps.size();
        facts.routes = parts.ipv4.held.size();
        facts.routes6 = parts.ipv6.held.size();
        facts.ipv4IfIndex = parts.ipv4.physical.known() ? parts.ipv4.physical.ifIndex : 0;
        facts.ipv6IfIndex = parts.ipv6.physical.known() ? parts.ipv6.physical.ifIndex : 0;
        facts.capReachedIpv4 = parts.ipv4.capReached;
        facts.capReachedIpv6 = parts.ipv6.capReached;
    });
    facts.remembered = RememberedAddressCount();  // under the memory's own lock
    return facts;
}
