#pragma once

// The service's status reports, and a stop once no client is left, on top of a fresh world.

#include "service/runtime.h"
#include "split_fixture.h"

class ServiceFixture : public SplitFixture {
  protected:
    static void StopWhenIdle() {
        W().whenNoClientsLeft = [] { ServiceControlHandler(1, 0, nullptr, nullptr); };
    }
    static void ExpectReport(size_t index, uint32_t state, uint32_t accepted,
                             uint32_t win32ExitCode = 0, uint32_t checkpoint = 0) {
        SCOPED_TRACE(index);
        ASSERT_LT(index, W().statusReports.size());
        const platform::ServiceStatusReport& r = W().statusReports[index];
        EXPECT_EQ(r.serviceType, 0x10u);
        EXPECT_EQ(r.currentState, state);
        EXPECT_EQ(r.controlsAccepted, accepted);
        EXPECT_EQ(r.win32ExitCode, win32ExitCode);
        EXPECT_EQ(r.serviceExitCode, 0u);
        EXPECT_EQ(r.checkpoint, checkpoint);
        EXPECT_EQ(r.waitHint, 5000u);
    }
};
