#pragma once

// A fresh fake world and empty split-tunnelling state for each test.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "fresh_world.h"
#include "split/split_apps.h"
#include "split/split_state.h"
#include "split/state_file.h"
#include "tunnel/tunnel_start_watch.h"
#include "tunnel/tunnel_state.h"

inline const std::wstring kTestLog = L"C:\\ProgramData\\Orvanta\\helper.log";
inline const std::wstring kDivertBesideHelper = L"C:\\Program Files\\Orvanta\\WinDivert.dll";

inline uint32_t NetworkOrder(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};  // the in-memory order of a network-order word
    uint32_t word;
    std::memcpy(&word, bytes, 4);
    return word;
}

inline uint32_t HostOrder(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    return (uint32_t{a} << 24) | (uint32_t{b} << 16) | (uint32_t{c} << 8) | d;
}

// A default route of the table, as the physical interface's.
inline platform::ForwardRow DefaultRow(uint32_t ifIndex, uint32_t nextHop, uint32_t metric,
                                       uint32_t mask = 0) {
    platform::ForwardRow row;
    row.mask = mask;
    row.ifIndex = ifIndex;
    row.nextHop = nextHop;
    row.metric1 = metric;
    return row;
}

inline PhysicalRouteRecord Route(uint32_t ifIndex, uint32_t nextHop, uint32_t metric = 0) {
    PhysicalRouteRecord route;
    route.ifIndex = ifIndex;
    route.nextHop = nextHop;
    route.interfaceMetric = metric;
    return route;
}

class SplitFixture : public ::testing::Test {
  protected:
    void SetUp() override { ResetAll(); }
    void TearDown() override { ResetAll(); }

    static void ResetAll() {
        EndTunnelStartWatch();
        UseSplitStateFile(false);
        if (SnifferRunning) {
            // A sniffer without shutdown wakes only for an event after the stop began.
            std::atomic<bool> stopped{false};
            std::thread waker([&] {
                while (!stopped) {
                    fake::FeedEvents({fake::SocketEvent(0, 0, 0)});
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
            });
            StopSniffer();
            stopped = true;
            waker.join();
        }
        SetTunnelUp(false);  // the sniffer is stopped: only leftover rows may go
        FreshWorld();
        std::lock_guard<std::mutex> lock(StateMutex);
        SplitAppSet.clear();
        BypassRouteSet.clear();
        PhysicalRoute = {};
    }

    static fake::World& W() { return fake::TheWorld(); }
    static std::string Log() {
        std::lock_guard<std::mutex> lock(W().fileSystemLock);  // the sniffer logs meanwhile
        return W().files[kTestLog];
    }
    static std::set<std::wstring> Apps() {
        std::lock_guard<std::mutex> lock(StateMutex);
        return SplitAppSet;
    }
};
