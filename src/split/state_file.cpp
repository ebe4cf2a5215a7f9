#include "split/state_file.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <sstream>

#include "common/text_pieces.h"
#include "log/data_directory.h"
#include "platform/platform.h"
#include "split/route_family.h"
#include "split/route_manager.h"
#include "split/route_memory.h"
#include "split/split_state.h"

namespace {

// Version 2 added the IPv6 lines; a version 1 file (IPv4 only) still loads.
const std::string kHeader = "orvanta-split-state 2";
const std::string kHeaderIpv4Only = "orvanta-split-state 1";

// The largest file the writer writes, which the reader must always take: the header and both
// route lines; the cap of bypass lines in each family ("bypass " and ten digits; "bypass6 " and
// 32 hexadecimal digits); and the longest list one request can carry, 1 MiB of names of at least
// three bytes, each of which lower-casing may grow to twice its length, hex-encoded on an
// "app " line. The reader allows twice that.
constexpr size_t kLongestRequestBytes = 1024 * 1024;
constexpr size_t kShortestNameBytes = 3;
constexpr size_t kLongestHeadBytes = 256;
constexpr size_t kLongestAppListBytes =
    (kLongestRequestBytes / kShortestNameBytes) * (4 + 2 * 2 * kShortestNameBytes + 1);
constexpr size_t kLongestRoutesBytes = kMaxBypassRoutesPerFamily * ((7 + 10 + 1) + (8 + 32 + 1));
constexpr size_t kMaxStateBytes =
    2 * (kLongestHeadBytes + kLongestAppListBytes + kLongestRoutesBytes);

constexpr uint32_t kCoalescedSaveMs = 500;

// Serialises the writers (the serving thread, the save timer, route changes); each takes its
// snapshot while holding it, so the last file written holds the latest state.
std::mutex StateFileLock;
std::atomic<bool> StateFileInUse{false};
std::atomic<bool> ChangedSinceSave{false};
// Touched only by StartSniffer and StopSniffer, which never run at the same time.
platform::PeriodicTimer* SaveTimer = nullptr;

// The route memory's writes ride on the same ticks.
void SaveIfChanged() {
    if (ChangedSinceSave.load()) {
        SaveSplitState();
    }
    SaveRouteMemoryIfChanged();
}

// Application names are stored as hexadecimal UTF-8, so no byte of a name can break a line.
using ::Hex;
using ::Unhex;

std::string Hex(const Ipv6Bytes& address) {
    return Hex(std::string(address.begin(), address.end()));
}

bool Unhex(const std::string& text, Ipv6Bytes& address) {
    std::string bytes;
    if (text.size() != 2 * address.size() || !Unhex(text, bytes)) {
        return false;
    }
    std::copy(bytes.begin(), bytes.end(), address.begin());
    return true;
}

std::string Format(const SplitStateRecord& state) {
    std::ostringstream text;
    text << kHeader << "\n"
         << "route " << state.route.ifIndex << ' ' << state.route.nextHop << ' '
         << state.route.interfaceMetric << "\n"
         << "route6 " << state.route6.ifIndex << ' ' << state.route6.luid << ' '
         << Hex(state.route6.nextHop) << "\n";
    for (const std::wstring& app : state.apps) {
        text << "app " << Hex(platform::WideToUtf8(app)) << "\n";
    }
    for (uint32_t address : state.bypassRoutes) {
        text << "bypass " << address << "\n";
    }
    for (const Ipv6Bytes& address : state.bypassRoutes6) {
        text << "bypass6 " << Hex(address) << "\n";
    }
    return text.str();
}

// An IPv6 line of a version 2 file; false for anything else.
bool ParseIpv6Line(const std::string& kind, std::istringstream& fields, bool& route6Seen,
                   SplitStateRecord& state) {
    std::string value, rest;
    uint64_t ifIndex = 0, luid = 0;
    Ipv6Bytes address{};
    if (kind == "route6" && !route6Seen && fields >> ifIndex >> luid >> value &&
        !(fields >> rest) && ifIndex <= UINT32_MAX && Unhex(value, address)) {
        state.route6.ifIndex = static_cast<uint32_t>(ifIndex);
        state.route6.luid = luid;
        state.route6.nextHop = address;
        route6Seen = true;
        return true;
    }
    if (kind == "bypass6" && fields >> value && !(fields >> rest) && Unhex(value, address)) {
        state.bypassRoutes6.insert(address);
        return true;
    }
    return false;
}

// Every line must be one the writer writes, whole: a torn or foreign file restores nothing.
bool Parse(const std::string& text, SplitStateRecord& state) {
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || (line != kHeader && line != kHeaderIpv4Only)) {
        return false;
    }
    const bool withIpv6 = line == kHeader;
    bool routeSeen = false, route6Seen = false;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string kind, value, rest, name;
        uint64_t a = 0, b = 0, c = 0;
        if (!(fields >> kind)) {
            return false;
        }
        if (kind == "route" && !routeSeen && fields >> a >> b >> c && !(fields >> rest) &&
            a <= UINT32_MAX && b <= UINT32_MAX && c <= UINT32_MAX) {
            state.route.ifIndex = static_cast<uint32_t>(a);
            state.route.nextHop = static_cast<uint32_t>(b);
            state.route.interfaceMetric = static_cast<uint32_t>(c);
            routeSeen = true;
        } else if (kind == "app" && fields >> value && !(fields >> rest) && Unhex(value, name)) {
            state.apps.insert(platform::Utf8ToWide(name));
        } else if (kind == "bypass" && fields >> a && !(fields >> rest) && a <= UINT32_MAX) {
            state.bypassRoutes.insert(static_cast<uint32_t>(a));
        } else if (!withIpv6 || !ParseIpv6Line(kind, fields, route6Seen, state)) {
            return false;
        }
    }
    return routeSeen && !text.empty() && text.back() == '\n';
}

}  // namespace

void RestoreSplitState(const SplitStateRecord& saved, bool keepApps) {
    TheSplitState().Apply([&](SplitParts& parts, LogLines&) {
        parts.ipv4.physical = saved.route;
        parts.ipv6.physical = saved.route6;
        if (keepApps) {
            parts.apps = saved.apps;
        }
        return Saving::None;  // the file holds it
    });
}

void ForgetPhysicalRoute() {
    TheSplitState().Apply([](SplitParts& parts, LogLines&) {
        parts.ipv4.physical = {};
        parts.ipv6.physical = {};
        return Saving::Now;
    });
}

void UseSplitStateFile(bool use) {
    StateFileInUse.store(use);
}

StateFileLoad LoadSplitState(SplitStateRecord& state) {
    StateFileLoad loaded =
        StateFileLoad::Unreadable;  // also when the data directory cannot be used
    if (!StateFileInUse.load()) {
        return loaded;
    }
    UseDataFile(kStateFileName, [&](const DataFile& file) {
        std::string text;
        if (!file.Size()) {
            loaded = StateFileLoad::Missing;
        } else if (file.Read(kMaxStateBytes, text) == 0) {
            loaded = Parse(text, state) ? StateFileLoad::Loaded : StateFileLoad::Malformed;
        }
        return true;
    });
    return loaded;
}

void SaveSplitState() {
    if (!StateFileInUse.load()) {
        return;
    }
    std::lock_guard<std::mutex> fileLock(StateFileLock);
    ChangedSinceSave.store(false);  // a change after the snapshot marks it again
    const SplitStateRecord state = TheSplitState().Snapshot();
    const std::string text = Format(state);
    UseDataFile(kStateFileName, [&text](const DataFile& file) { return file.Replace(text) == 0; });
}

void MarkSplitStateChanged() {
    ChangedSinceSave.store(true);
}

void StartCoalescedSaves() {
    if (StateFileInUse.load() && SaveTimer == nullptr) {
        platform::StartPeriodicTimer(&SaveIfChanged, kCoalescedSaveMs, SaveTimer);
    }
}

void StopCoalescedSaves() {
    platform::StopPeriodicTimer(SaveTimer);
    SaveTimer = nullptr;
    SaveRouteMemoryIfChanged();  // what the last tick did not write
}
