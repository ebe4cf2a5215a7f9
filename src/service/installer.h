#pragma once

// The exit codes of --install and --uninstall.
constexpr int kInstallerDone = 0;
constexpr int kManagerNotOpened = 1;
constexpr int kServiceNotCreated = 2;

// Registers this executable as the OrvantaHelper service (or brings an existing registration up
// to date) and requests its start; first makes the data directory the service's own.
// kServiceNotCreated also when a service marked for deletion did not go within a few seconds.
int InstallService();

// Requests the stop and the deletion of the OrvantaHelper service and waits (up to 30 s) until
// it has stopped. kInstallerDone also when it is not installed.
int UninstallService();
