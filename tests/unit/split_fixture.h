#pragma once

// A fresh fake world and empty split-tunnelling state for each test.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "fresh_world.h"
#include "split/route_manager.h"
#include "split/route_memory.h"
#include "split/sniffer.h"
#include "split/split_apps.h"
#include "split/split_state.h"
#include "split/state_file.h"
#include "tunnel/tunnel_start_watch.h"
#include "tunnel/tunnel_state.h"

inline const std::wstring kTestLog = L"C:\\ProgramData\\Orvanta\\helper.log";
inline const std::string kNoIpv6Line =
    "2026-06-27 09:05:03  no physical IPv6 default route; IPv6 connections of listed applications "
    "stay in the tunnel\r\n";
inline const std::wstring kDivertBesideHelper = L"C:\\Program Files\\Orvanta\\WinDivert.dll";
inline const std::wstring kDivertInSystem = L"C:\\Windows\\system32\\WinDivert.dll";

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

inline Ipv6Bytes V6(const char* text) {
    Ipv6Bytes address{};
    EXPECT_EQ(inet_pton(AF_INET6, text, address.data()), 1) << text;
    return address;
}

// A ::/0 row (or a shorter prefix's) of the IPv6 table through fe80::<ifIndex>.
inline platform::Forward6Row Default6Row(uint32_t ifIndex, uint32_t metric,
                                         uint8_t prefixLength = 0) {
    platform::Forward6Row row;
    row.prefixLength = prefixLength;
    row.ifIndex = ifIndex;
    row.luid = uint64_t{ifIndex} << 24;
    row.nextHop = {0xfe, 0x80, 0, 0, 0, 0, 0, 0,
                   0,    0,    0, 0, 0, 0, 0, static_cast<uint8_t>(ifIndex)};
    row.metric = metric;
    return row;
}

// The on-link /64 that gives an interface a global address to send from.
inline platform::Forward6Row Global6Row(uint32_t ifIndex) {
    platform::Forward6Row row = Default6Row(ifIndex, 256, 64);
    row.dest = {0x20, 0x01, 0x0d, 0xb8, 0, static_cast<uint8_t>(ifIndex)};
    row.nextHop = {};
    return row;
}

// A global address of the interface in Global6Row's prefix, usable unless `dadState` says not.
inline platform::UnicastAddress Global6Address(uint32_t ifIndex,
                                               uint32_t dadState = platform::kDadStatePreferred) {
    platform::UnicastAddress address{true, 0, Global6Row(ifIndex).dest, 64, 0, ifIndex, dadState};
    address.address6[15] = 5;
    return address;
}

inline PhysicalRoute6Record Route6(uint32_t ifIndex) {
    const platform::Forward6Row row = Default6Row(ifIndex, 0);
    PhysicalRoute6Record route;
    route.ifIndex = ifIndex;
    route.luid = row.luid;
    route.nextHop = row.nextHop;
    return route;
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
        if (SnifferRunning()) {
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
        UseRouteMemoryFile(false);
        ForgetRouteMemory();
        FreshWorld();
        TheSplitState().Reset();
    }

    static fake::World& W() { return fake::TheWorld(); }
    static std::string Log() {
        std::lock_guard<std::mutex> lock(W().fileSystemLock);  // the sniffer logs meanwhile
        return W().files[kTestLog];
    }
    static std::set<std::wstring> Apps() { return State().apps; }
    static SplitStateRecord State() { return TheSplitState().Snapshot(); }
    // Changes the split state in place, logging and saving nothing.
    template <typename Change>
    static void Seed(Change change) {
        TheSplitState().Apply([&change](SplitParts& parts, LogLines&) {
            change(parts);
            return Saving::None;
        });
    }
};
