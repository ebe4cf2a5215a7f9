#include "split/physical_route.h"

#include <vector>

#include "log/helper_log.h"
#include "platform/platform.h"
#include "split/split_state.h"
#include "split/state_file.h"

namespace {

// A table that grows between the size probe and the read is probed and read again.
constexpr int kRetriesAfterGrowth = 3;

// The first row with the strictly lowest metric among 0.0.0.0/0 rows; a metric of
// 0xFFFFFFFF never wins.
PhysicalRouteRecord BestDefaultRoute(const std::vector<platform::ForwardRow>& rows) {
    PhysicalRouteRecord best;
    uint32_t bestMetric = 0xFFFFFFFFu;
    for (const platform::ForwardRow& row : rows) {
        if (row.dest == 0 && row.mask == 0 && row.metric1 < bestMetric) {
            best = {row.ifIndex, row.nextHop};
            bestMetric = row.metric1;
        }
    }
    return best;
}

// Bypass rows must carry at least the interface's metric or Windows refuses them, so a route
// whose interface metric is unknown is no route to bypass through.
void RecordInterfaceMetric() {
    const uint32_t error =
        platform::ReadInterfaceMetric(PhysicalRoute.ifIndex, PhysicalRoute.interfaceMetric);
    if (error != 0) {
        HelperLog(L"physical interface metric not read: ifIndex=" +
                  std::to_wstring(PhysicalRoute.ifIndex) + L" err=" + std::to_wstring(error));
        PhysicalRoute = {};
    }
}

}  // namespace

void RecordPhysicalDefaultRoute() {
    PhysicalRoute = {};
    std::vector<platform::ForwardRow> rows;
    platform::RouteTableRead read = platform::ReadIpv4ForwardTable(rows);
    for (int retry = 0; read == platform::RouteTableRead::Grew && retry < kRetriesAfterGrowth;
         ++retry) {
        read = platform::ReadIpv4ForwardTable(rows);
    }
    if (read == platform::RouteTableRead::ProbeFailed ||
        read == platform::RouteTableRead::NoMemory) {
        SaveSplitState();
        return;  // nothing learned, nothing logged
    }
    if (read == platform::RouteTableRead::Ok) {
        PhysicalRoute = BestDefaultRoute(rows);
    }
    HelperLog(L"physical default route: ifIndex=" + std::to_wstring(PhysicalRoute.ifIndex));
    if (PhysicalRoute.ifIndex != 0) {
        RecordInterfaceMetric();
    }
    SaveSplitState();  // it cannot be read again once the tunnel owns the default route
}
