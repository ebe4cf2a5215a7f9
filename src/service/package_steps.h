#pragma once

// What the installer package asks of the helper around its own file operations, through hidden
// options of OrvantaHelper.exe run as LocalSystem. Each returns 0: none of them may fail an
// upgrade or a removal, which would leave the machine between two versions.

// Each step logs what it did and what failed.

// In an upgrade, as the old version's removal, once its service has stopped (so no request can
// race it) and before its files go: a tunnel service that runs (its program is one of the files)
// is noted in the data directory and stopped, waited for up to 30 s. Without the note it is left
// running.
int StopTunnelForUpgrade();

// After the new version's files are in place (and when the old version's removal is rolled
// back): starts the tunnel service again if, and only if, StopTunnelForUpgrade noted it. No wait.
int StartTunnelAfterUpgrade();

// On removal, before the files go: the tunnel (which would run a deleted program at every boot)
// is removed, and the files holding its private key and the helper's state are set aside among
// the package's files, which Windows Installer then deletes, or restores on a rollback. The log
// stays.
int RemoveTunnelAndKey();

// The rollback of RemoveTunnelAndKey, once Windows Installer has put the program files back:
// what was set aside returns to the data directory, and a tunnel that ran is installed again.
int RestoreTunnelAndKey();
