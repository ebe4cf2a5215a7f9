#pragma once

// Registers this executable as the OrvantaHelper service (or brings an existing registration up
// to date) and requests its start. 0 done, 1 service control manager not opened, 2 the service
// did not exist and could not be created.
int InstallService();

// Requests the stop and the deletion of the OrvantaHelper service. 0 done (also when it is not
// installed), 1 service control manager not opened.
int UninstallService();
