#include "split/sniffer.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "common/beside_helper.h"
#include "common/bounded_use.h"
#include "log/helper_log.h"
#include "platform/platform.h"
#include "split/address_text.h"
#include "split/open_connections.h"
#include "split/process_identifier.h"
#include "split/route_manager.h"
#include "split/route_memory.h"
#include "split/routes_ahead.h"
#include "split/split_state.h"

namespace {

constexpr uint32_t kReceiveRetryPauseMs = 50;
const std::wstring kDivertLibraryName = L"WinDivert.dll";
// The helper is a 64-bit program, and a 64-bit library starts the 64-bit driver.
const std::wstring kDivertDriverName = L"WinDivert64.sys";
constexpr uint32_t kErrorFileNotFound = 2;
constexpr size_t kFormatBufferSize = 22;

struct DivertExports {
    platform::DivertOpenFn open = nullptr;
    platform::DivertRecvFn recv = nullptr;
    platform::DivertCloseFn close = nullptr;
    platform::DivertFormatIPv4Fn formatIPv4 = nullptr;  // optional
    platform::DivertShutdownFn shutdown = nullptr;      // optional
};

// The open handle, shared with the stopping thread only so that it can shut the receive side
// down. The sniffer thread opens and closes it; the lock keeps a shutdown off a closed handle.
// It also guards how the run began, which the serving thread may wait to see settled.
std::mutex OpenHandleLock;
platform::DivertHandle OpenHandle = nullptr;
platform::DivertShutdownFn OpenHandleShutdown = nullptr;
SnifferStartState StartState;
std::condition_variable StartSettled;

void PublishHandle(platform::DivertHandle handle, platform::DivertShutdownFn shutdown) {
    std::lock_guard<std::mutex> lock(OpenHandleLock);
    OpenHandle = handle;
    OpenHandleShutdown = shutdown;
}

void GiveUp(SnifferStart start, const std::wstring& logLine, uint32_t error = 0) {
    NoteSnifferStart(start, error);
    HelperLog(logLine);
}

// Beside the helper, where an installation puts it; but as LocalSystem only a library that no
// ordinary user can change.
platform::DivertLibrary* LoadBesideHelper(std::wstring& directory) {
    directory = GetModuleDirectory();
    const std::wstring beside = directory + L"\\" + kDivertLibraryName;
    const FileBesideHelper file(beside);
    platform::DivertLibrary* library = nullptr;
    if (file.accepted()) {
        platform::LoadDivertFromPath(beside, library);
    } else if (platform::PathExists(beside)) {
        HelperLog(L"WinDivert.dll beside the helper " + file.refusal() +
                  L"; not loaded from there");
    }
    return library;
}

// The copy in the system directory, which only administrators can change, loaded by its path
// while held. Any user can read it and take an oplock that would stall the load's own open
// without end, so it is held first, under a bound. Held, it cannot meet one: an exclusive
// oplock needs the file to have no other handle, and the hold shares with the load's open and
// keeps out every open a read-handle one would break on (write, delete, a sharing violation).
platform::DivertLibrary* LoadFromSystemDirectory(std::wstring& directory) {
    directory = platform::SystemDirectory();
    if (directory.empty()) {
        return nullptr;
    }
    const std::wstring path = directory + L"\\" + kDivertLibraryName;
    BoundedFileUse bound;
    platform::EntryFacts facts;
    platform::HeldEntry* held = platform::HoldEntry(path, false, facts);
    if (bound.End() && held == nullptr) {
        HelperLog(path + L" held by another process");
    }
    platform::DivertLibrary* library = nullptr;
    if (held != nullptr) {
        platform::LoadDivertFromPath(path, library);
        platform::ReleaseEntry(held);
    }
    return library;
}

// Loads the library; `directory` is where it came from.
platform::DivertLibrary* LoadDivertLibrary(std::wstring& directory) {
    platform::DivertLibrary* library = LoadBesideHelper(directory);
    return library != nullptr ? library : LoadFromSystemDirectory(directory);
}

using HeldDriver = std::unique_ptr<platform::HeldEntry, decltype(&platform::ReleaseEntry)>;

// The driver file beside the library, held under a bound across the open, which loads the
// driver from it unless it runs already: the system's open of the file would wait out a user's
// oplock on it without end. Held, it cannot meet one (as the library's system copy cannot).
// Missing, it is the open's to report; any other failure sets `error`, since a user who shuts
// the hold out could take an oplock between the hold and the driver's load.
HeldDriver HoldDriver(const std::wstring& path, uint32_t& error) {
    BoundedFileUse bound;
    platform::EntryFacts facts;
    HeldDriver held(platform::HoldEntry(path, false, facts), &platform::ReleaseEntry);
    const bool passed = bound.End();
    error = 0;
    if (held == nullptr && facts.error != kErrorFileNotFound) {
        error = passed ? platform::kErrorOperationAborted : facts.error;
    }
    return held;
}

template <typename Function>
Function Export(platform::DivertLibrary* library, const char* name) {
    return reinterpret_cast<Function>(platform::FindDivertExport(library, name));
}

bool LookUpExports(platform::DivertLibrary* library, DivertExports& exports) {
    exports.open = Export<platform::DivertOpenFn>(library, "WinDivertOpen");
    exports.recv = Export<platform::DivertRecvFn>(library, "WinDivertRecv");
    exports.close = Export<platform::DivertCloseFn>(library, "WinDivertClose");
    exports.formatIPv4 =
        Export<platform::DivertFormatIPv4Fn>(library, "WinDivertHelperFormatIPv4Address");
    exports.shutdown = Export<platform::DivertShutdownFn>(library, "WinDivertShutdown");
    return exports.open != nullptr && exports.recv != nullptr && exports.close != nullptr;
}

bool IsListed(const std::wstring& name) {
    return TheSplitState().Read(
        [&name](const SplitParts& parts) { return parts.apps.count(name) > 0; });
}

std::set<std::wstring> ListedApps() {
    return TheSplitState().Read([](const SplitParts& parts) { return parts.apps; });
}

// WinDivert gives an address as four host-order words, word 3 the most significant.
Ipv6Bytes RemoteIpv6(const platform::DivertAddress& event) {
    Ipv6Bytes bytes{};
    for (int word = 0; word < 4; ++word) {
        const uint32_t value = event.remoteAddr[3 - word];
        for (int byte = 0; byte < 4; ++byte) {
            bytes[4 * word + byte] = static_cast<uint8_t>(value >> (24 - 8 * byte));
        }
    }
    return bytes;
}

// The remote address in network byte order, through the library's own formatting when it
// has one, else by swapping the raw host-order word.
uint32_t RemoteAddress(const DivertExports& exports, const platform::DivertAddress& event) {
    const uint32_t raw = event.remoteAddr[0];
    if (exports.formatIPv4 != nullptr) {
        char text[kFormatBufferSize] = {};
        uint32_t parsed = 0;
        if (exports.formatIPv4(raw, text, kFormatBufferSize) && platform::ParseIpv4(text, parsed) &&
            parsed != 0) {
            return parsed;
        }
    }
    return platform::HostToNetwork32(raw);
}

void HandleEvent(const DivertExports& exports, const platform::DivertAddress& event) {
    // A loopback connection never leaves the machine: no route concerns it.
    if (platform::DivertEvent(event) != platform::kDivertEventSocketConnect ||
        platform::DivertIsLoopback(event)) {
        return;
    }
    const std::wstring name = ProcessImageName(event.processId);
    if (name.empty() || !IsListed(name)) {
        return;
    }
    // The route manager skips what needs none; a mapped IPv4 address takes the IPv4 path.
    const Ipv6Bytes remote = platform::DivertIsIPv6(event)
                                 ? RemoteIpv6(event)
                                 : MappedAddress(RemoteAddress(exports, event));
    if (AddBypassRoute(remote)) {
        RememberRoute(remote, name);
    }
}

void ReceiveLoop(const DivertExports& exports, platform::DivertHandle handle) {
    const SplitState& state = TheSplitState();
    while (state.SnifferRunning()) {
        platform::DivertAddress event{};
        unsigned received = 0;
        if (!exports.recv(handle, nullptr, 0, &received, &event)) {
            if (!state.SnifferRunning()) {
                return;
            }
            platform::SleepMs(kReceiveRetryPauseMs);
            continue;
        }
        HandleEvent(exports, event);
    }
}

// Opens the socket layer while the driver file is held; gives up (logged) when it cannot.
platform::DivertHandle OpenSocketLayer(const DivertExports& exports,
                                       const std::wstring& directory) {
    const std::wstring driver = directory + L"\\" + kDivertDriverName;
    uint32_t error = 0;
    const HeldDriver held = HoldDriver(driver, error);
    if (error != 0) {
        GiveUp(SnifferStart::OpenFailed,
               driver + (error == platform::kErrorOperationAborted
                             ? L" held by another process"
                             : L" cannot be opened err=" + std::to_wstring(error)),
               error);
        return platform::InvalidDivertHandle();
    }
    const platform::DivertHandle handle =
        exports.open("true", platform::kDivertLayerSocket, 0,
                     platform::kDivertFlagSniff | platform::kDivertFlagRecvOnly);
    if (handle == platform::InvalidDivertHandle()) {
        error = platform::DivertLastError();
        GiveUp(SnifferStart::OpenFailed, L"WinDivertOpen failed err=" + std::to_wstring(error),
               error);
    }
    return handle;
}

}  // namespace

void SnifferMain() {
    std::wstring directory;
    platform::DivertLibrary* library = LoadDivertLibrary(directory);  // never unloaded
    if (library == nullptr) {
        GiveUp(SnifferStart::NotLoaded, L"WinDivert.dll not loaded; per-app split disabled");
        return;
    }
    DivertExports exports;
    if (!LookUpExports(library, exports)) {
        GiveUp(SnifferStart::ExportsMissing, L"WinDivert exports missing; per-app split disabled");
        return;
    }
    const platform::DivertHandle handle = OpenSocketLayer(exports, directory);
    if (handle == platform::InvalidDivertHandle()) {
        return;
    }
    PublishHandle(handle, exports.shutdown);
    NoteSnifferStart(SnifferStart::Watching);
    HelperLog(L"WinDivert socket sniffer started");
    StartRoutesAhead();  // beside the reading of the open connections
    // Events queue from the open on, so no connection falls between the table and the watch.
    BypassOpenConnections(ListedApps());
    ReceiveLoop(exports, handle);
    PublishHandle(nullptr, nullptr);
    exports.close(handle);
    HelperLog(L"WinDivert sniffer stopped");
}

bool SnifferWatching() {
    std::lock_guard<std::mutex> lock(OpenHandleLock);
    return OpenHandle != nullptr;
}

void WakeSniffer() {
    std::lock_guard<std::mutex> lock(OpenHandleLock);
    if (OpenHandle != nullptr && OpenHandleShutdown != nullptr) {
        OpenHandleShutdown(OpenHandle, platform::kDivertShutdownRecv);
    }
}

void NoteSnifferStart(SnifferStart start, uint32_t error) {
    {
        std::lock_guard<std::mutex> lock(OpenHandleLock);
        StartState = {start, error};
    }
    StartSettled.notify_all();
}

SnifferStartState SettledSnifferStart(uint32_t waitMs) {
    std::unique_lock<std::mutex> lock(OpenHandleLock);
    StartSettled.wait_for(lock, std::chrono::milliseconds(waitMs),
                          [] { return StartState.start != SnifferStart::Opening; });
    return StartState;
}
