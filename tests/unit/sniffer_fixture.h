#pragma once

// A sniffer for chrome.exe and \u00FCber.exe, on a LAN with a physical route of each family.

#include "split_fixture.h"

constexpr uint32_t kChrome = 100;
constexpr uint32_t kOther = 200;
constexpr uint32_t kUber = 300;

class SnifferFixture : public SplitFixture {
  protected:
    void SetUp() override {
        SplitFixture::SetUp();
        W().divert.loadablePaths = {kDivertBesideHelper};
        W().files[kDivertInSystem] = "";
        W().processImages = {{kChrome, L"C:\\apps\\Chrome.exe"},
                             {kOther, L"C:\\apps\\other.exe"},
                             {kUber, L"C:\\apps\\\u00DCBER.EXE"}};
        platform::ForwardRow lan = DefaultRow(12, 0, 35, NetworkOrder(255, 255, 255, 0));
        lan.dest = NetworkOrder(192, 168, 1, 0);
        lan.type = platform::kRouteTypeDirect;
        platform::ForwardRow noGateway = DefaultRow(12, 0, 35, NetworkOrder(255, 255, 0, 0));
        noGateway.dest = NetworkOrder(10, 20, 0, 0);  // indirect, yet reached without a gateway
        W().routeTable = {DefaultRow(12, NetworkOrder(192, 168, 1, 1), 35), lan, noGateway};
        Seed([&](SplitParts& s) {
            s.ipv4.physical = Route(12, NetworkOrder(192, 168, 1, 1), 25);
            s.apps = {L"chrome.exe", L"\u00FCber.exe"};
            s.ipv6.physical = Route6(12);
        });
        platform::Forward6Row lan6 = Default6Row(12, 256, 64);
        lan6.dest = V6("2001:db8:1::");
        lan6.nextHop = {};
        W().routeTable6 = {Default6Row(12, 0), lan6};  // found again, unmoved, at the start
        W().interfaceMetrics6 = {{12, 10}};
        W().unicastAddresses = {Global6Address(12)};
    }

    // Runs a sniffer over the events and stops it once it has taken them all.
    static void Sniff(const std::vector<platform::DivertAddress>& events) {
        StartSniffer();
        fake::FeedEvents(events);
        ASSERT_TRUE(fake::WaitUntilEventsTaken());
        StopSniffer();
    }

    static std::vector<uint32_t> CreatedDestinations() {
        std::vector<uint32_t> destinations;
        for (const auto& row : W().createdRoutes4) {
            destinations.push_back(row.dest);
        }
        return destinations;
    }

    static platform::DivertAddress Connect(uint32_t pid, uint32_t hostOrder, bool ipv6 = false) {
        return fake::SocketEvent(platform::kDivertEventSocketConnect, pid, hostOrder, ipv6);
    }
    // WinDivert's four host-order words, word 3 the most significant.
    static platform::DivertAddress Connect6(uint32_t pid, const char* text) {
        platform::DivertAddress event = Connect(pid, 0, true);
        const Ipv6Bytes bytes = V6(text);
        for (int word = 0; word < 4; ++word) {
            const uint8_t* b = &bytes[4 * (3 - word)];
            event.remoteAddr[word] = (uint32_t{b[0]} << 24) | (b[1] << 16) | (b[2] << 8) | b[3];
        }
        return event;
    }
    static std::vector<Ipv6Bytes> Created6() {
        std::vector<Ipv6Bytes> destinations;
        for (const auto& row : W().createdRoutes6) {
            destinations.push_back(row.dest);
        }
        return destinations;
    }
    static platform::DivertAddress Looped(platform::DivertAddress event) {
        event.flags |= 1u << 18;
        return event;
    }
};
