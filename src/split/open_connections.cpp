#include "split/open_connections.h"

#include <map>
#include <tuple>
#include <vector>

#include "log/helper_log.h"
#include "platform/platform.h"
#include "split/address_text.h"
#include "split/route_family.h"
#include "split/process_identifier.h"
#include "split/route_manager.h"
#include "split/route_memory.h"

namespace {

// A connection to one of this machine's own addresses is a loopback connection, which WinDivert
// flags and the connect path skips.
bool Connecting(const platform::TcpConnection& row) {
    const bool toItself = row.ipv6 ? row.remote6 == row.local6 : row.remote4 == row.local4;
    return (row.state == platform::kTcpStateEstablished ||
            row.state == platform::kTcpStateSynSent) &&
           !toItself;
}

// The local address of either family in one form: IPv4 mapped.
Ipv6Bytes LocalAddress(const platform::TcpConnection& row) {
    return row.ipv6 ? row.local6 : MappedAddress(row.local4);
}

// The ports each process listens on, and where. A connection on such a port came in: its peer
// reached the application (through the tunnel, as likely as not) and needs no way out.
class Listeners {
  public:
    explicit Listeners(const std::vector<platform::TcpConnection>& rows) {
        for (const platform::TcpConnection& row : rows) {
            if (row.state == platform::kTcpStateListen) {
                listening_.emplace(row.processId, row.localPort, LocalAddress(row));
            }
        }
    }

    // On its own address, on its family's wildcard, or on "::", where a dual-stack socket
    // accepts IPv4 too.
    bool Accepted(const platform::TcpConnection& row) const {
        const Ipv6Bytes local = LocalAddress(row);
        uint32_t ipv4 = 0;
        return Listening(row, local) || Listening(row, Ipv6Bytes{}) ||
               (MappedIpv4(local, ipv4) && Listening(row, MappedAddress(0)));
    }

  private:
    bool Listening(const platform::TcpConnection& row, const Ipv6Bytes& address) const {
        return listening_.count({row.processId, row.localPort, address}) > 0;
    }

    std::set<std::tuple<uint32_t, uint16_t, Ipv6Bytes>> listening_;
};

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

// Appends the family's rows; a table that cannot be read is logged and skipped.
void ReadFamily(bool ipv6, std::vector<platform::TcpConnection>& all) {
    std::vector<platform::TcpConnection> rows;
    const platform::RouteTableRead read =
        ReadGrowingTable([&] { return platform::ReadTcpConnections(ipv6, rows); });
    if (read != platform::RouteTableRead::Ok) {
        HelperLog(std::wstring(L"open TCP connections not read: ") + (ipv6 ? L"IPv6" : L"IPv4") +
                  L"; they get their bypass routes at their next connect");
        return;
    }
    all.insert(all.end(), rows.begin(), rows.end());
}

}  // namespace

void BypassOpenConnections(const std::set<std::wstring>& apps) {
    if (apps.empty()) {
        return;
    }
    std::vector<platform::TcpConnection> rows;  // both families: a listener may serve either
    ReadFamily(false, rows);
    ReadFamily(true, rows);
    const Listeners listeners(rows);
    ProcessNames names;
    for (const platform::TcpConnection& row : rows) {
        if (!Connecting(row) || listeners.Accepted(row)) {
            continue;
        }
        const std::wstring& name = names.Of(row.processId);
        if (apps.count(name) == 0) {
            continue;
        }
        const Ipv6Bytes remote = row.ipv6 ? row.remote6 : MappedAddress(row.remote4);
        if (AddBypassRoute(remote)) {
            RememberRoute(remote, name);
        }
    }
}
