#pragma once

#include <cstddef>
#include <cstdint>

#include "split/sniffer.h"

// What per-app splitting is doing, at one look: how the sniffer began, the list, the bypass
// routes of each family and the physical interface each goes through.
struct SplitFacts {
    SnifferStartState sniffer;
    size_t apps = 0;
    size_t routes = 0;
    size_t routes6 = 0;
    uint32_t ipv4IfIndex = 0;  // of the physical default route; 0 when none is known
    uint32_t ipv6IfIndex = 0;
    // Addresses in the route memory, and each family's latch from the first
    // eviction at the cap until its routes are next removed.
    size_t remembered = 0;
    bool capReachedIpv4 = false;
    bool capReachedIpv6 = false;
};

// A sniffer that is still opening WinDivert is given a moment to watch or give up, so that a
// status asked right after a connect or a list tells how that went.
constexpr uint32_t kSnifferSettleWaitMs = 2000;

SplitFacts CurrentSplitFacts();
