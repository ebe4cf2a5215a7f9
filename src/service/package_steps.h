#pragma once

// What the installer package asks of the helper around its own file operations, through hidden
// options of OrvantaHelper.exe run as LocalSystem. Each returns 0: none of them may fail an
// upgrade or a removal, which would leave the machine between two versions.

// Before an upgrade touches any file: a tunnel service that runs (its program is one of the
// files) is noted in the data directory and stopped, waited for up to 30 s.
int StopTunnelForUpgrade();

// After the files are in place (and when an upgrade is rolled back): starts the tunnel service
// again if, and only if, StopTunnelForUpgrade stopped it. No wait.
int StartTunnelAfterUpgrade();

// On removal, before the files go: the tunnel (which would run a deleted program at every boot)
// and the files holding its private key and the helper's state go too; the log stays.
int RemoveTunnelAndKey();
