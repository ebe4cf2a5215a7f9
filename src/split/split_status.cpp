#include "split/split_status.h"

#include <mutex>

#include "split/split_state.h"

SplitFacts CurrentSplitFacts() {
    SplitFacts facts;
    facts.sniffer = SettledSnifferStart(kSnifferSettleWaitMs);  // before the lock: no wait under it
    std::lock_guard<std::mutex> lock(StateMutex);
    facts.apps = SplitAppSet.size();
    facts.routes = BypassRouteSet.size();
    facts.routes6 = BypassRoute6Set.size();
    facts.ipv4IfIndex = PhysicalRoute.known() ? PhysicalRoute.ifIndex : 0;
    facts.ipv6IfIndex = PhysicalRoute6.known() ? PhysicalRoute6.ifIndex : 0;
    return facts;
}
