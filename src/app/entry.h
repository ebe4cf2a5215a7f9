#pragma once

#include <string>
#include <vector>

enum class HelperMode {
    Install,
    Uninstall,
    Console,
    Service,
    // Hidden: the installer package's steps around its file operations.
    StopTunnelForUpgrade,
    StartTunnelAfterUpgrade,
    RemoveTunnelAndKey,
    RestoreTunnelAndKey,
};

// Only the first argument counts, matched exactly (case, length, no prefixes).
HelperMode SelectMode(const std::vector<std::wstring>& arguments);

// Runs the selected mode and returns the process exit code.
int HelperMain(const std::vector<std::wstring>& arguments);
