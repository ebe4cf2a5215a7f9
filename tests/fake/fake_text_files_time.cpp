// Text, files, environment and time of the fake world.
#include <algorithm>
#include <chrono>
#include <thread>

#include "fake_world.h"

namespace fake {

namespace {
World* world = new World();
}

World& TheWorld() {
    return *world;
}

void Reset() {
    delete world;
    world = new World();
}

uint64_t ClockMs() {
    std::lock_guard<std::mutex> lock(world->clockLock);
    return world->clockUs / 1000;
}

bool WaitUntil(const std::function<bool()>& done) {
    for (int i = 0; i < 10000; ++i) {
        if (done()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return done();
}

}  // namespace fake

namespace platform {

namespace {

constexpr wchar_t kReplacement = 0xFFFD;

// Length of the UTF-8 sequence a lead byte announces, and the bounds of its second byte that
// keep it well-formed (no overlongs, no surrogates, nothing past U+10FFFF).
bool SequenceShape(unsigned char lead, int& length, unsigned char& low, unsigned char& high) {
    low = 0x80;
    high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return false;
    }
    return true;
}

}  // namespace

std::wstring Utf8ToWide(const std::string& bytes) {
    std::wstring text;
    size_t i = 0;
    while (i < bytes.size()) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            text.push_back(lead);
            ++i;
            continue;
        }
        int length = 0;
        unsigned char low = 0, high = 0;
        if (!SequenceShape(lead, length, low, high)) {
            text.push_back(kReplacement);
            ++i;
            continue;
        }
        uint32_t code = lead & (0xFF >> (length + 1));
        int taken = 1;
        for (; taken < length && i + taken < bytes.size(); ++taken) {
            const auto next = static_cast<unsigned char>(bytes[i + taken]);
            const unsigned char min = taken == 1 ? low : 0x80;
            const unsigned char max = taken == 1 ? high : 0xBF;
            if (next < min || next > max) {
                break;
            }
            code = (code << 6) | (next & 0x3F);
        }
        // A broken sequence becomes one replacement for its maximal well-formed part.
        text.push_back(taken == length ? static_cast<wchar_t>(code) : kReplacement);
        i += taken;
    }
    return text;
}

std::string WideToUtf8(const std::wstring& text) {
    std::string bytes;
    for (wchar_t unit : text) {
        auto code = static_cast<uint32_t>(unit);
        if ((code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) {
            code = kReplacement;
        }
        if (code < 0x80) {
            bytes.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            bytes.push_back(static_cast<char>(0xC0 | (code >> 6)));
            bytes.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            bytes.push_back(static_cast<char>(0xE0 | (code >> 12)));
            bytes.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            bytes.push_back(static_cast<char>(0xF0 | (code >> 18)));
            bytes.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            bytes.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    return bytes;
}

std::optional<std::wstring> EnvironmentVariable(const std::wstring& name) {
    const auto& environment = fake::TheWorld().environment;
    const auto found = environment.find(name);
    if (found == environment.end()) {
        return std::nullopt;
    }
    return found->second;
}

void CreateDirectoryIfMissing(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(fake::TheWorld().fileSystemLock);
    if (!fake::TheWorld().directoryCreationFails) {
        fake::TheWorld().directories.insert(path);
    }
}

namespace {

bool CanOpen(const std::wstring& path) {
    const fake::World& w = fake::TheWorld();
    const std::wstring directory = path.substr(0, path.find_last_of(L"\\/"));
    return w.directories.count(directory) > 0 && w.lockedFiles.count(path) == 0;
}

bool IsLinked(const std::wstring& path) {
    const fake::World& w = fake::TheWorld();
    return w.reparsePoints.count(path) > 0 || w.hardLinks.count(path) > 0;
}

// Removes the name only; what a link points to or shares is left alone.
void DeleteEntry(const std::wstring& path) {
    fake::World& w = fake::TheWorld();
    w.reparsePoints.erase(path);
    w.hardLinks.erase(path);
    w.files.erase(path);
    w.deletedEntries.push_back(path);
}

bool OpenUnlinked(const std::wstring& path) {
    if (!CanOpen(path)) {
        return false;
    }
    if (IsLinked(path)) {
        DeleteEntry(path);
    }
    return true;
}

}  // namespace

bool AppendToFile(const std::wstring& path, const std::string& bytes) {
    std::lock_guard<std::mutex> lock(fake::TheWorld().fileSystemLock);
    fake::TheWorld().fileCalls.push_back(L"append " + path);
    if (!OpenUnlinked(path)) {
        return false;
    }
    fake::TheWorld().files[path] += bytes;
    return true;
}

uint32_t WriteWholeFile(const std::wstring& path, const std::string& bytes,
                        bool administratorsOnly) {
    fake::World& w = fake::TheWorld();
    std::lock_guard<std::mutex> lock(w.fileSystemLock);
    w.fileCalls.push_back(L"write " + path);
    if (administratorsOnly && (w.files.count(path) > 0 || IsLinked(path))) {
        DeleteEntry(path);  // created anew below, never rewritten in place
    }
    if (w.directories.count(path) > 0) {
        return 5;  // ERROR_ACCESS_DENIED: a directory has the name
    }
    if (!OpenUnlinked(path)) {
        return w.lockedFiles.count(path) > 0 ? 32 : 3;  // sharing violation, path not found
    }
    if (administratorsOnly) {
        w.administratorsOnlyFiles.insert(path);
        w.protectedPaths.erase(path);
    }
    w.files[path] = bytes;
    return 0;
}

bool ReadWholeFile(const std::wstring& path, size_t maxBytes, std::string& bytes) {
    fake::World& w = fake::TheWorld();
    std::lock_guard<std::mutex> lock(w.fileSystemLock);
    const auto found = w.files.find(path);
    if (found == w.files.end() || IsLinked(path) || w.lockedFiles.count(path) > 0 ||
        found->second.size() > maxBytes) {
        return false;
    }
    bytes = found->second;
    return true;
}

std::optional<uint64_t> FileSize(const std::wstring& path) {
    fake::World& w = fake::TheWorld();
    std::lock_guard<std::mutex> lock(w.fileSystemLock);
    const auto found = w.files.find(path);
    return found == w.files.end() ? std::nullopt : std::optional<uint64_t>(found->second.size());
}

bool MoveReplacing(const std::wstring& source, const std::wstring& target) {
    fake::World& w = fake::TheWorld();
    std::lock_guard<std::mutex> lock(w.fileSystemLock);
    if (w.files.count(source) == 0 || w.directories.count(target) > 0) {
        return false;
    }
    w.files[target] = std::move(w.files[source]);
    w.files.erase(source);
    return true;
}

void DeletePath(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(fake::TheWorld().fileSystemLock);
    DeleteEntry(path);
}

bool CreateProtectedDirectory(const std::wstring& path) {
    fake::World& w = fake::TheWorld();
    std::lock_guard<std::mutex> lock(w.fileSystemLock);
    if (w.protectedCreationFails || w.directoryCreationFails || w.directories.count(path) > 0 ||
        w.reparsePoints.count(path) > 0) {
        return false;
    }
    w.directories.insert(path);
    w.protectedPaths.insert(path);
    return true;
}

struct HeldDirectory {
    std::wstring path;
};

struct HeldFile {
    std::wstring path;
};

DirectoryInspection InspectDirectory(const std::wstring& path, bool takeBackIfForeign,
                                     HeldDirectory*& held) {
    fake::World& w = fake::TheWorld();
    std::lock_guard<std::mutex> lock(w.fileSystemLock);
    held = nullptr;
    DirectoryInspection inspection;
    inspection.isReparsePoint = w.reparsePoints.count(path) > 0;
    inspection.opened = (inspection.isReparsePoint || w.directories.count(path) > 0) &&
                        w.unopenableDirectories.count(path) == 0;
    inspection.pathMatches = w.redirectedDirectories.count(path) == 0;
    if (!inspection.opened || inspection.isReparsePoint || !inspection.pathMatches) {
        return inspection;
    }
    inspection.foreign = w.foreignDirectories.count(path) > 0;
    if (inspection.foreign && takeBackIfForeign && !w.takeBackFails) {
        w.foreignDirectories.erase(path);
        w.protectedPaths.insert(path);
        inspection.takenBack = true;
    }
    w.fileCalls.push_back(L"hold " + path);
    held = new HeldDirectory{path};
    return inspection;
}

void ReleaseDirectory(HeldDirectory* held) {
    if (held != nullptr) {
        std::lock_guard<std::mutex> lock(fake::TheWorld().fileSystemLock);
        fake::TheWorld().fileCalls.push_back(L"release " + held->path);
        delete held;
    }
}

HeldFile* HoldAdministratorsOnlyFile(const std::wstring& root, const std::wstring& path) {
    fake::World& w = fake::TheWorld();
    std::lock_guard<std::mutex> lock(w.fileSystemLock);
    if (path.compare(0, root.size() + 1, root + L"\\") != 0 || w.files.count(path) == 0) {
        return nullptr;
    }
    for (size_t end = root.size(); end != std::wstring::npos; end = path.find(L'\\', end + 1)) {
        if (w.writableByUsers.count(path.substr(0, end)) > 0) {
            return nullptr;
        }
    }
    if (w.writableByUsers.count(path) > 0) {
        return nullptr;
    }
    w.fileCalls.push_back(L"hold " + path);
    return new HeldFile{path};
}

void ReleaseHeldFile(HeldFile* held) {
    if (held != nullptr) {
        std::lock_guard<std::mutex> lock(fake::TheWorld().fileSystemLock);
        fake::TheWorld().fileCalls.push_back(L"release " + held->path);
        delete held;
    }
}

void ProtectExistingFile(const std::wstring& path) {
    fake::World& w = fake::TheWorld();
    std::lock_guard<std::mutex> lock(w.fileSystemLock);
    if (IsLinked(path)) {
        DeleteEntry(path);
    } else if (w.files.count(path) > 0) {
        w.protectedPaths.insert(path);
    }
}

bool RunningAsLocalSystem() {
    return fake::TheWorld().runningAsLocalSystem;
}

void UseSafeLibrarySearch() {
    fake::TheWorld().safeLibrarySearch = true;
}

bool PathExists(const std::wstring& path) {
    std::lock_guard<std::mutex> lock(fake::TheWorld().fileSystemLock);
    const fake::World& w = fake::TheWorld();
    return w.files.count(path) > 0 || w.directories.count(path) > 0;
}

std::wstring ModuleFilePath() {
    return fake::TheWorld().modulePath;
}

LocalTime CurrentLocalTime() {
    return fake::TheWorld().localTime;
}

void SleepMs(uint32_t milliseconds) {
    fake::World& w = fake::TheWorld();
    std::lock_guard<std::mutex> lock(w.clockLock);
    constexpr uint64_t kTickUs = 15625;
    w.sleeps.push_back(milliseconds);
    w.clockUs += (uint64_t{milliseconds} * 1000 + kTickUs - 1) / kTickUs * kTickUs;
}

uint64_t TickCountMs() {
    return fake::ClockMs();
}

// A wait that nothing ends passes on the fake clock like a sleep.
bool WaitForEvent(Event event, uint32_t milliseconds) {
    if (!IsEventSignalled(event)) {
        SleepMs(milliseconds);
    }
    return IsEventSignalled(event);
}

}  // namespace platform

namespace platform {

namespace {

int Base64Value(wchar_t c) {
    if (c >= L'A' && c <= L'Z')
        return c - L'A';
    if (c >= L'a' && c <= L'z')
        return c - L'a' + 26;
    if (c >= L'0' && c <= L'9')
        return c - L'0' + 52;
    if (c == L'+')
        return 62;
    if (c == L'/')
        return 63;
    return -1;
}

bool IsBase64Blank(wchar_t c) {
    return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n';
}

}  // namespace

// What the system decoder is documented to take: the standard alphabet, blanks, tabs and line
// ends anywhere, and the trailing padding optional. A lone sixth bit group, padding that does
// not complete the last group, or anything after the padding is rejected. The text ends at its
// first NUL, as the decoder reads a NUL-terminated string.
bool DecodeBase64(const std::wstring& text, std::string& bytes) {
    std::string decoded;
    uint32_t bits = 0;
    int groups = 0;  // six-bit groups of the current quantum
    int padding = 0;
    for (wchar_t c : text.substr(0, text.find(L'\0'))) {
        if (IsBase64Blank(c)) {
            continue;
        }
        if (c == L'=') {
            ++padding;
            continue;
        }
        const int value = Base64Value(c);
        if (value < 0 || padding > 0) {
            return false;
        }
        bits = (bits << 6) | static_cast<uint32_t>(value);
        if (++groups == 4) {
            decoded.push_back(static_cast<char>(bits >> 16));
            decoded.push_back(static_cast<char>(bits >> 8));
            decoded.push_back(static_cast<char>(bits));
            bits = 0;
            groups = 0;
        }
    }
    if (groups == 1 || (padding > 0 && (groups < 2 || groups + padding != 4))) {
        return false;
    }
    if (groups == 2) {
        decoded.push_back(static_cast<char>(bits >> 4));
    } else if (groups == 3) {
        decoded.push_back(static_cast<char>(bits >> 10));
        decoded.push_back(static_cast<char>(bits >> 2));
    }
    bytes = std::move(decoded);
    return true;
}

}  // namespace platform
