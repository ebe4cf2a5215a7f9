#include "service/package_steps.h"

#include <string>

#include "log/data_directory.h"
#include "log/helper_log.h"
#include "tunnel/service_monitor.h"
#include "tunnel/tunnel_service_control.h"

namespace {

constexpr uint32_t kTunnelStopWaitMs = 30000;
constexpr uint32_t kTunnelRemovalWaitMs = 12000;
// Written by the stop before an upgrade, taken by the start after it.
const std::wstring kRestartMarkName = L"tunnel.restart";

bool DeleteDataFile(const std::wstring& name) {
    return UseDataFile(name, [](const DataFile& file) { return file.Delete(); });
}

}  // namespace

int StopTunnelForUpgrade() {
    if (!IsTunnelServiceRunning()) {
        return 0;
    }
    // Noted first: a tunnel stopped without the note would stay down after the upgrade, so
    // without one it is left running (its file may then wait for a reboot).
    if (!UseDataFile(kRestartMarkName,
                     [](const DataFile& file) { return file.Replace("1") == 0; })) {
        HelperLog(L"tunnel service left running for the update: " + kRestartMarkName +
                  L" not written");
        return 0;
    }
    const bool stopped = StopTunnelService(kTunnelStopWaitMs);
    HelperLog(stopped ? L"tunnel service stopped for an update of the helper"
                      : L"tunnel service still running 30 s after the stop asked for an update");
    return 0;
}

int StartTunnelAfterUpgrade() {
    // Only a note no ordinary user could have planted starts anything.
    const bool noted = UseDataFile(kRestartMarkName, [](const DataFile& file) {
        return file.administratorsOnly() && file.Delete();
    });
    if (noted) {
        const uint32_t error = StartTunnelService();
        HelperLog(error == 0 ? L"tunnel service started again after an update of the helper"
                             : L"tunnel service not started after an update err=" +
                                   std::to_wstring(error));
    }
    return 0;
}

int RemoveTunnelAndKey() {
    DeleteDataFile(kRestartMarkName);
    RemoveTunnel(kTunnelRemovalWaitMs);
    DeleteDataFile(kConfigFileName);
    DeleteDataFile(kStateFileName);
    HelperLog(L"tunnel, " + kConfigFileName + L" and " + kStateFileName +
              L" removed with the helper");
    return 0;
}
