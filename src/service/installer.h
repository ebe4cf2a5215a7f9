#pragma once

// Registers this executable as the OrvantaHelper service (or brings an existing registration up
// to date) and requests its start; first makes the data directory the service's own. 0 done,
// 1 service control manager not opened, 2 the service could not be created (also when a
// service marked for deletion did not go within a few seconds).
int InstallService();

// Requests the stop and the deletion of the OrvantaHelper service and waits (up to 30 s) until
// it has stopped. 0 done (also when it is not installed), 1 service control manager not opened.
int UninstallService();
