#pragma once

// Stops the sniffer (removing its routes), has amneziawg.exe uninstall the tunnel service,
// waits up to 8 s for it to stop running and records the tunnel as down, whatever happened.
void DisconnectTunnel();
