#include "split/open_connections.h"

#include <map>
#include <vector>

#include "log/helper_log.h"
#include "platform/platform.h"
#include "split/physical_route.h"
#include "split/process_identifier.h"
#include "split/route_manager.h"

namespace {

// A connection to one of this machine's own addresses is a loopback connection, which WinDivert
// flags and the connect path skips.
bool Connecting(const platform::TcpConnection& row) {
    const bool toItself = row.ipv6 ? row.remote6 == row.local6 : row.remote4 == row.local4;
    return (row.state == platform::kTcpStateEstablished ||
            row.state == platform::kTcpStateSynSent) &&
           !toItself;
}

// Process names are looked up once per process and pass: a browser holds hundreds of rows.
class ProcessNames {
  public:
    const std::wstring& Of(uint32_t processId) {
        const auto found = names_.find(processId);
        if (found != names_.end()) {
            return found->second;
        }
        return names_.emplace(processId, ProcessImageName(processId)).first->second;
    }

  private:
    std::map<uint32_t, std::wstring> names_;
};

void BypassFamily(bool ipv6, const std::set<std::wstring>& apps, ProcessNames& names) {
    std::vector<platform::TcpConnection> rows;
    const platform::RouteTableRead read =
        ReadGrowingTable([&] { return platform::ReadTcpConnections(ipv6, rows); });
    if (read != platform::RouteTableRead::Ok) {
        HelperLog(std::wstring(L"open TCP connections not read: ") + (ipv6 ? L"IPv6" : L"IPv4") +
                  L"; they get their bypass routes at their next connect");
        return;
    }
    for (const platform::TcpConnection& row : rows) {
        if (!Connecting(row) || apps.count(names.Of(row.processId)) == 0) {
            continue;
        }
        if (ipv6) {
            AddBypassRoute(row.remote6);
        } else {
            AddBypassRoute(row.remote4);
        }
    }
}

}  // namespace

void BypassOpenConnections(const std::set<std::wstring>& apps) {
    if (apps.empty()) {
        return;
    }
    ProcessNames names;
    BypassFamily(false, apps, names);
    BypassFamily(true, apps, names);
}
