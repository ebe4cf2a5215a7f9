#include "service/package_steps.h"

#include <string>

#include "common/beside_helper.h"
#include "log/data_directory.h"
#include "log/helper_log.h"
#include "tunnel/service_monitor.h"
#include "tunnel/tunnel_service_control.h"

namespace {

constexpr uint32_t kTunnelStopWaitMs = 30000;
constexpr uint32_t kTunnelRemovalWaitMs = 12000;
constexpr uint32_t kNothingThere = 2;  // ERROR_FILE_NOT_FOUND
// Written by the old version's removal in an upgrade when it stopped the tunnel, taken by the
// new version's start after its files (or by the rollback of that removal).
const std::wstring kRestartMarkName = L"tunnel.restart";
// Written by a removal that takes a running tunnel away, so that its rollback installs it again.
const std::wstring kReinstallMarkName = L"tunnel.reinstall";

std::wstring WithError(const std::wstring& text, uint32_t error) {
    return text + L" err=" + std::to_wstring(error);
}

// Where a removal sets a data file aside: <program folder>\removal\<name>, an empty file of the
// package, in a folder only administrators can change. Windows Installer removes it with the
// other program files, holding what was set aside: for good when the removal commits (at once,
// when rollback is disabled), and it puts it back when the removal is rolled back.
std::wstring SetAsidePath(const std::wstring& name) {
    return GetModuleDirectory() + L"\\removal\\" + name;
}

enum class Note { Missing, Untrusted, NotTaken, Taken };

// A note is trusted only where no ordinary user could have planted it, and taken (deleted)
// before it is acted on, so that it is acted on once.
Note TakeNote(const std::wstring& name) {
    Note note = Note::Missing;
    UseDataFile(name, [&note](const DataFile& file) {
        if (file.Size()) {
            note = !file.administratorsOnly() ? Note::Untrusted
                   : file.Delete() == 0       ? Note::Taken
                                              : Note::NotTaken;
        }
        return true;
    });
    if (note == Note::Untrusted || note == Note::NotTaken) {
        HelperLog(name + (note == Note::Untrusted ? L" ignored: others can write beside it"
                                                  : L" not deleted; not acted on"));
    }
    return note;
}

bool WriteNote(const std::wstring& name) {
    return UseDataFile(name, [](const DataFile& file) { return file.Replace("1") == 0; });
}

// What one data file's step did, or why it did not: the data directory could not be held.
void LogHoldFailure(const std::wstring& name, const std::wstring& what, uint32_t holdError) {
    HelperLog(
        WithError(name + L" not " + what + L": the data directory cannot be held", holdError));
}

// Moved aside for the removal's commit; deleted at once when it cannot be (on another volume,
// say), since the removal must not leave the private key behind.
void SetAside(const std::wstring& name) {
    bool present = false, deleted = false;
    uint32_t moveError = 0, holdError = 0;
    const bool held = UseDataFile(
        name,
        [&](const DataFile& file) {
            present = file.Size().has_value();
            moveError = present ? file.MoveOutTo(SetAsidePath(name)) : 0;
            deleted = moveError != 0 && file.Delete() == 0;
            return true;
        },
        &holdError);
    if (!held) {
        LogHoldFailure(name, L"removed", holdError);
    } else if (present && moveError == 0) {
        HelperLog(name + L" set aside until the removal is committed");
    } else if (present) {
        HelperLog(WithError(name + (deleted ? L" deleted at once, not set aside for a rollback:"
                                            : L" not removed: neither set aside nor deleted,"),
                            moveError));
    }
}

void Restore(const std::wstring& name) {
    uint32_t moveError = 0, holdError = 0;
    const bool held = UseDataFile(
        name,
        [&](const DataFile& file) {
            moveError = file.MoveInFrom(SetAsidePath(name));
            return true;
        },
        &holdError);
    if (!held) {
        LogHoldFailure(name, L"restored", holdError);
    } else if (moveError == 0) {
        HelperLog(name + L" restored: the removal was rolled back");
    } else if (moveError != kNothingThere) {
        HelperLog(WithError(name + L" not restored after a rolled-back removal", moveError));
    }
}

std::wstring ConfigPath() {
    std::wstring path;
    UseDataFile(kConfigFileName, [&path](const DataFile& file) {
        path = file.path();
        return true;
    });
    return path;
}

}  // namespace

int StopTunnelForUpgrade() {
    if (!IsTunnelServiceRunning()) {
        return 0;
    }
    // Noted first: a tunnel stopped without the note would stay down after the upgrade, so
    // without one it is left running (its file may then wait for a reboot).
    if (!WriteNote(kRestartMarkName)) {
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
    if (TakeNote(kRestartMarkName) == Note::Taken) {
        const uint32_t error = StartTunnelService();
        HelperLog(error == 0 ? L"tunnel service started again after an update of the helper"
                             : WithError(L"tunnel service not started after an update", error));
    }
    return 0;
}

int RemoveTunnelAndKey() {
    // A note of an update that never finished must not start a tunnel a later install knows
    // nothing of.
    TakeNote(kRestartMarkName);
    TakeNote(kReinstallMarkName);  // left by an earlier removal: it is this one's to write
    if (IsTunnelServiceRunning() && !WriteNote(kReinstallMarkName)) {
        HelperLog(kReinstallMarkName +
                  L" not written: a rolled-back removal leaves the tunnel "
                  L"removed");
    }
    if (!TunnelServiceExists()) {
        HelperLog(L"no tunnel service to remove with the helper");
    } else {
        HelperLog(RemoveTunnel(kTunnelRemovalWaitMs)
                      ? L"tunnel service removed with the helper"
                      : L"tunnel service not removed with the helper");
    }
    for (const std::wstring& name :
         {kConfigFileName, kStateFileName, kMemoryFileName, kReinstallMarkName}) {
        SetAside(name);
    }
    return 0;
}

int RestoreTunnelAndKey() {
    for (const std::wstring& name :
         {kConfigFileName, kStateFileName, kMemoryFileName, kReinstallMarkName}) {
        Restore(name);
    }
    if (TakeNote(kReinstallMarkName) == Note::Taken) {
        const std::wstring config = ConfigPath();
        HelperLog(!config.empty() && InstallTunnel(config)
                      ? L"tunnel service installed again: the removal was rolled back"
                      : L"tunnel service not installed again after a rolled-back removal");
    }
    return 0;
}
