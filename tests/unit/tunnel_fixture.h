#pragma once

// The tunnel program present, a physical default route, and the tunnel service as the
// program leaves it. Waits are asserted on the fake clock, whose sleeps round up to Windows'
// 15.625 ms tick; never timed.

#include "split_fixture.h"

const std::wstring kAwg = L"C:\\Program Files\\Orvanta\\awg\\amneziawg.exe";
const std::wstring kConfig = L"C:\\ProgramData\\Orvanta\\Orvanta.conf";
const std::wstring kService = L"AmneziaWGTunnel$Orvanta";
const std::wstring kInstallLine =
    L"\"" + kAwg + L"\" /installtunnelservice \"C:\\ProgramData\\Orvanta\\Orvanta.conf\"";
const std::wstring kUninstallLine = L"\"" + kAwg + L"\" /uninstalltunnelservice Orvanta";

inline std::vector<uint32_t> Sleeps(size_t count, uint32_t ms) {
    return std::vector<uint32_t>(count, ms);
}

// The clock stands where `waits` bounded waits adding up to `ms` end: each within a timer
// tick of its bound.
inline void ExpectElapsed(uint64_t ms, int waits = 1) {
    EXPECT_GE(fake::ClockMs(), ms);
    EXPECT_LT(fake::ClockMs(), ms + 16 * waits);
}

class TunnelFixture : public SplitFixture {
  protected:
    void SetUp() override {
        SplitFixture::SetUp();
        W().files[kAwg] = "";
        platform::ForwardRow defaultRoute;
        defaultRoute.ifIndex = 7;
        defaultRoute.nextHop = NetworkOrder(192, 168, 1, 1);
        defaultRoute.metric1 = 25;
        W().routeTable = {defaultRoute};
        W().divert.loadablePaths = {kDivertBesideHelper};
    }

    // A tunnel service in the given state, optionally changing later on the fake clock.
    static fake::ProgramRun CreatesService(uint32_t state = platform::kServiceRunning) {
        return {true, 0, [state] { W().services[kService] = InState(state); }};
    }
    static fake::ProgramRun Fails(uint32_t code) { return {true, code, nullptr}; }
    static fake::ProgramRun RemovesService() {
        return {true, 0, [] { W().services.erase(kService); }};
    }
    static fake::ProgramRun LeavesService() { return {true, 0, nullptr}; }
    static fake::Service InState(uint32_t state) {
        fake::Service service;
        service.state = state;
        return service;
    }

    static void StartRunningSniffer() {
        SetTunnelUp(true);
        ChangeSplitApps(L"chrome.exe");
        ASSERT_TRUE(fake::WaitUntilReceiving());
    }
};
