#include "split/split_apps.h"

#include "common/names.h"
#include "log/helper_log.h"
#include "platform/platform.h"
#include "split/route_manager.h"
#include "split/sniffer.h"
#include "split/split_state.h"
#include "split/state_file.h"
#include "tunnel/tunnel_state.h"

namespace {

// Holds the sniffer thread from StartSniffer until StopSniffer has joined it.
platform::Thread* SnifferThread = nullptr;

std::wstring TrimPiece(const std::wstring& piece) {
    const size_t first = piece.find_first_not_of(L" \t");
    if (first == std::wstring::npos) {
        return {};
    }
    const size_t last = piece.find_last_not_of(L" \t\r");
    if (last == std::wstring::npos || last < first) {
        return {};  // only blanks, tabs and carriage returns
    }
    return piece.substr(first, last - first + 1);
}

}  // namespace

std::set<std::wstring> ParseSplitApps(const std::wstring& text) {
    std::set<std::wstring> apps;
    size_t start = 0;
    for (;;) {
        const size_t semicolon = text.find(L';', start);
        const std::wstring piece = TrimPiece(text.substr(start, semicolon - start));
        if (!piece.empty()) {
            apps.insert(LowerCaseName(piece));
        }
        if (semicolon == std::wstring::npos) {
            return apps;
        }
        start = semicolon + 1;
    }
}

void SetSplitApps(const std::wstring& text) {
    std::set<std::wstring> apps = ParseSplitApps(text);
    const bool empty = apps.empty();
    {
        std::lock_guard<std::mutex> lock(StateMutex);
        SplitAppSet = std::move(apps);
    }
    SaveSplitState();
    if (!TunnelUp.load()) {
        return;  // the next successful connect starts the sniffer
    }
    if (empty) {
        StopSniffer();
    } else {
        StartSniffer();
    }
}

void StartSniffer() {
    if (SnifferRunning.exchange(true)) {
        return;
    }
    SnifferThread = platform::StartThread(&SnifferMain);
    if (SnifferThread == nullptr) {
        SnifferRunning.store(false);
        HelperLog(L"sniffer thread not started");
    }
}

void StopSniffer() {
    if (!SnifferRunning.exchange(false)) {
        return;
    }
    WakeSniffer();
    if (SnifferThread != nullptr) {
        platform::JoinThread(SnifferThread);
        SnifferThread = nullptr;
    }
    RemoveAllBypassRoutes();
}
