// The fake routing table's own logic, on which the split room's tests rely: an IPv4 row keeps its
// own metric as Windows keeps it, and an address change is reported as Windows reports it.
#include <gtest/gtest.h>

#include "fake_world.h"

namespace {

uint32_t reportedInterfaces = 0;  // the sum of the interface indexes reported

void Reported(uint32_t ifIndex) {
    reportedInterfaces += ifIndex;
}

}  // namespace

TEST(FakeRoutes, AnIpv4RowKeepsItsOwnMetricWhenTheInterfaceMetricMoves) {
    fake::Reset();
    fake::TheWorld().interfaceMetrics[7] = 50;
    platform::ForwardRow legacy{0x09000000, 0xFFFFFFFF, 0, 0x0100000A, 7, 4, 3};
    legacy.metric1 = 80;
    ASSERT_EQ(platform::CreateForwardEntry(legacy), 0u);
    ASSERT_EQ(platform::CreateForward4Entry({0x07000000, 32, 0x0100000A, 0, 7, 3}), 0u);
    EXPECT_EQ(platform::CreateForward4Entry({0x07000000, 24, 0x0100000A, 0, 7, 3}), 87u);
    EXPECT_EQ(platform::CreateForward4Entry({0x08000000, 32, 0x0100000A, 0, 0, 3}), 87u);
    EXPECT_EQ(platform::CreateForward4Entry({0x08000000, 32, 0x0100000A, 7ull << 24, 0, 3}), 0u);
    fake::TheWorld().interfaceMetrics[7] = 25;
    std::vector<platform::Forward4Row> rows(1);
    ASSERT_EQ(platform::ReadIpv4ForwardTable2(rows), platform::RouteTableRead::Ok);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].metric, 30u);
    EXPECT_EQ(rows[1].metric, 3u);
    EXPECT_EQ(fake::TheWorld().routeTable[1].metric1, 53u);  // as made: 3 over the interface's 50
    EXPECT_EQ(fake::TheWorld().routeTable[1].type, platform::kRouteTypeIndirect);
    EXPECT_EQ(platform::DeleteForward4Entry(rows[1]), 0u);
    EXPECT_EQ(platform::DeleteForward4Entry(rows[1]), platform::kErrorRouteNotFound);
}

TEST(FakeRoutes, AnAddressAddedDeletedOrChangedIsReportedWithItsInterface) {
    fake::Reset();
    platform::AddressWatch* watch = nullptr;
    ASSERT_EQ(platform::WatchUnicastAddresses(&Reported, watch), 0u);
    platform::UnicastAddress kept, tentative;
    kept.address4 = 1, kept.ifIndex = 1;
    tentative.ipv6 = true, tentative.ifIndex = 10,
    tentative.dadState = platform::kDadStateTentative;
    fake::SetUnicastAddresses({kept, tentative});
    platform::UnicastAddress preferred = tentative;
    preferred.dadState = platform::kDadStatePreferred;
    reportedInterfaces = 0;
    fake::SetUnicastAddresses({kept, preferred});  // its duplicate address detection ended
    EXPECT_EQ(reportedInterfaces, 10u);
    fake::SetUnicastAddresses({preferred});
    EXPECT_EQ(reportedInterfaces, 11u);
    platform::StopWatchingAddresses(watch);
    fake::SetUnicastAddresses({});
    EXPECT_EQ(reportedInterfaces, 11u);
}
