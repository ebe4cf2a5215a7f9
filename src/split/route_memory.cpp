#include "split/route_memory.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <utility>

#include "common/text_pieces.h"
#include "log/data_directory.h"
#include "log/helper_log.h"
#include "platform/platform.h"
#include "split/address_text.h"

namespace {

// The file: its first line, then each name once ("n" and its UTF-8 in hexadecimal), then each
// address ("a", its 16 bytes, the time of its last use and the indexes of its names, all in
// fixed-width hexadecimal, so that the largest file is known exactly).
const std::string kHeader = "orvanta-route-memory 1";
constexpr size_t kAddressDigits = 32, kTimeDigits = 16, kIndexDigits = 2;

struct Remembered {
    uint64_t usedAt = 0;          // system clock, seconds
    uint64_t order = 0;           // on the memory's own count: larger is more recent
    std::vector<uint16_t> names;  // slots, the most recently seen last
};

struct NameSlot {
    std::wstring name;  // empty: free
    uint64_t seen = 0;  // on the memory's own count
    size_t uses = 0;    // addresses that name it
};

size_t FamilyOf(const Ipv6Bytes& address) {
    uint32_t ipv4 = 0;
    return MappedIpv4(address, ipv4) ? 0 : 1;
}

std::string FixedHex(uint64_t value, size_t digits) {
    std::string bytes;
    for (size_t i = digits / 2; i-- > 0;) {
        bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
    }
    return Hex(bytes);
}

bool UnhexNumber(const std::string& text, uint64_t& value) {
    std::string bytes;
    if (!Unhex(text, bytes)) {
        return false;
    }
    value = 0;
    for (unsigned char byte : bytes) {
        value = (value << 8) | byte;
    }
    return true;
}

// What the memory holds, behind operations that keep its bounds. Not locked itself.
class RouteMemory {
  public:
    void Remember(const Ipv6Bytes& address, const std::wstring& name, uint64_t now) {
        if (name.empty() || name.size() > kLongestRememberedName) {
            return;  // no file name
        }
        const uint16_t slot = SlotFor(name);  // may drop a name, and addresses with it
        const size_t family = FamilyOf(address);
        const auto [found, added] = addresses_.try_emplace(address);
        Remembered& entry = found->second;
        if (added || entry.usedAt > now || now - entry.usedAt >= kUseRefreshSeconds) {
            entry.usedAt = now;
            changed_ = true;
        }
        byOrder_[family].erase({entry.order, address});
        entry.order = ++count_;
        byOrder_[family].emplace(entry.order, address);
        AddName(entry, slot);
        while (byOrder_[family].size() > kRememberedPerFamily) {
            Erase(addresses_.find(byOrder_[family].begin()->second));
        }
    }

    std::vector<Ipv6Bytes> AddressesOf(const std::set<std::wstring>& apps, uint64_t now) {
        AgeOut(now);
        std::set<uint16_t> slots;
        for (const std::wstring& app : apps) {
            const auto slot = slotOf_.find(app);
            if (slot != slotOf_.end()) {
                slots.insert(slot->second);
            }
        }
        std::vector<std::pair<uint64_t, Ipv6Bytes>> used;
        for (const auto& [address, entry] : addresses_) {
            if (std::any_of(entry.names.begin(), entry.names.end(),
                            [&slots](uint16_t slot) { return slots.count(slot) > 0; })) {
                used.emplace_back(entry.order, address);
            }
        }
        std::sort(used.begin(), used.end());
        std::vector<Ipv6Bytes> addresses;
        for (const auto& [order, address] : used) {
            addresses.push_back(address);
        }
        return addresses;
    }

    size_t Count(uint64_t now) {
        AgeOut(now);
        return addresses_.size();
    }

    // True once after each change the file keeps.
    bool TakeChanged() { return std::exchange(changed_, false); }
    void MarkChanged() { changed_ = true; }

    // Forgets what was not used for the memory's span; a time ahead of the clock (which was set
    // back) is taken as now, so that it ages from here rather than never.
    void AgeOut(uint64_t now) {
        for (auto entry = addresses_.begin(); entry != addresses_.end();) {
            Remembered& remembered = (entry++)->second;
            if (remembered.usedAt > now) {
                remembered.usedAt = now;
                changed_ = true;
            } else if (now - remembered.usedAt >= kRememberedSeconds) {
                Erase(std::prev(entry));
            }
        }
    }

    std::string Format() const {
        std::map<uint16_t, size_t> indexOf;
        std::string text = kHeader + "\n";
        for (uint16_t slot = 0; slot < slots_.size(); ++slot) {
            if (slots_[slot].uses > 0) {
                indexOf.emplace(slot, indexOf.size());
                text += "n " + Hex(platform::WideToUtf8(slots_[slot].name)) + "\n";
            }
        }
        for (const auto& [address, entry] : addresses_) {
            text += "a " + Hex(std::string(address.begin(), address.end())) + " " +
                    FixedHex(entry.usedAt, kTimeDigits) + " ";
            for (uint16_t slot : entry.names) {
                text += FixedHex(indexOf.at(slot), kIndexDigits);
            }
            text += "\n";
        }
        return text;
    }

    // Every line must be one the writer writes, within the bounds: false for anything else.
    bool Parse(const std::string& text) {
        if (text.empty() || text.back() != '\n') {
            return false;
        }
        size_t start = 0;
        bool first = true;
        while (start < text.size()) {
            const size_t end = text.find('\n', start);
            const std::string line = text.substr(start, end - start);
            start = end + 1;
            if (first ? line != kHeader : !ParseLine(line)) {
                return false;
            }
            first = false;
        }
        return !first && ReorderLoaded();
    }

  private:
    bool ParseLine(const std::string& line) {
        if (line.compare(0, 2, "n ") == 0 && addresses_.empty()) {
            return ParseName(line.substr(2));
        }
        constexpr size_t kNamesAt = 2 + kAddressDigits + 1 + kTimeDigits + 1;
        if (line.size() <= kNamesAt || line.compare(0, 2, "a ") != 0 ||
            line[kNamesAt - kTimeDigits - 2] != ' ' || line[kNamesAt - 1] != ' ' ||
            line.size() - kNamesAt > kIndexDigits * kNamesPerAddress ||
            (line.size() - kNamesAt) % kIndexDigits != 0) {
            return false;
        }
        std::string bytes;
        Ipv6Bytes address{};
        Remembered entry;
        if (!Unhex(line.substr(2, kAddressDigits), bytes) ||
            !UnhexNumber(line.substr(kNamesAt - kTimeDigits - 1, kTimeDigits), entry.usedAt)) {
            return false;
        }
        std::copy(bytes.begin(), bytes.end(), address.begin());
        for (size_t at = kNamesAt; at < line.size(); at += kIndexDigits) {
            uint64_t index = 0;
            if (!UnhexNumber(line.substr(at, kIndexDigits), index) || index >= slots_.size() ||
                std::count(entry.names.begin(), entry.names.end(), index) > 0) {
                return false;
            }
            entry.names.push_back(static_cast<uint16_t>(index));
            ++slots_[index].uses;
        }
        return addresses_.emplace(address, std::move(entry)).second;
    }

    bool ParseName(const std::string& hex) {
        std::string bytes;
        if (hex.empty() || !Unhex(hex, bytes) || slots_.size() == kRememberedNames) {
            return false;
        }
        const std::wstring name = platform::Utf8ToWide(bytes);
        if (name.empty() || name.size() > kLongestRememberedName || slotOf_.count(name) > 0) {
            return false;
        }
        slotOf_.emplace(name, static_cast<uint16_t>(slots_.size()));
        slots_.push_back({name, 0, 0});
        return true;
    }

    // Orders the loaded addresses by their time (the file keeps no finer order), and their
    // names by the latest address that used them; false past a family's bound.
    bool ReorderLoaded() {
        std::vector<std::pair<uint64_t, Ipv6Bytes>> byTime;
        for (const auto& [address, entry] : addresses_) {
            byTime.emplace_back(entry.usedAt, address);
        }
        std::sort(byTime.begin(), byTime.end());
        for (const auto& [usedAt, address] : byTime) {
            Remembered& entry = addresses_[address];
            entry.order = ++count_;
            byOrder_[FamilyOf(address)].emplace(entry.order, address);
            for (uint16_t slot : entry.names) {
                slots_[slot].seen = entry.order;
            }
        }
        for (NameSlot& slot : slots_) {
            if (slot.uses == 0) {
                Free(slot);
            }
        }
        return byOrder_[0].size() <= kRememberedPerFamily &&
               byOrder_[1].size() <= kRememberedPerFamily;
    }

    // The name's slot: its own, a free one, a new one, or that of the name seen longest ago,
    // which goes with every address only it had used.
    uint16_t SlotFor(const std::wstring& name) {
        const auto found = slotOf_.find(name);
        if (found != slotOf_.end()) {
            slots_[found->second].seen = ++count_;
            return found->second;
        }
        const auto isFree = [](const NameSlot& slot) { return slot.name.empty(); };
        auto slot = std::find_if(slots_.begin(), slots_.end(), isFree);
        if (slot == slots_.end() && slots_.size() < kRememberedNames) {
            slot = slots_.insert(slots_.end(), NameSlot{});
        } else if (slot == slots_.end()) {
            slot = std::min_element(
                slots_.begin(), slots_.end(),
                [](const NameSlot& a, const NameSlot& b) { return a.seen < b.seen; });
            DropName(static_cast<uint16_t>(slot - slots_.begin()));
        }
        *slot = {name, ++count_, 0};
        const uint16_t id = static_cast<uint16_t>(slot - slots_.begin());
        slotOf_[name] = id;
        return id;
    }

    void AddName(Remembered& entry, uint16_t slot) {
        std::vector<uint16_t>& names = entry.names;
        const auto found = std::find(names.begin(), names.end(), slot);
        if (found != names.end()) {
            names.erase(found);  // the most recently seen goes last; the file needs no write
            names.push_back(slot);
            return;
        }
        if (names.size() == kNamesPerAddress) {
            Release(names.front());
            names.erase(names.begin());
        }
        names.push_back(slot);
        ++slots_[slot].uses;
        changed_ = true;
    }

    void DropName(uint16_t slot) {
        for (auto entry = addresses_.begin(); entry != addresses_.end();) {
            std::vector<uint16_t>& names = entry->second.names;
            names.erase(std::remove(names.begin(), names.end(), slot), names.end());
            if (names.empty()) {
                byOrder_[FamilyOf(entry->first)].erase({entry->second.order, entry->first});
                entry = addresses_.erase(entry);
            } else {
                ++entry;
            }
        }
        Free(slots_[slot]);
        changed_ = true;
    }

    void Release(uint16_t slot) {
        if (--slots_[slot].uses == 0) {
            Free(slots_[slot]);
        }
    }

    void Free(NameSlot& slot) {
        slotOf_.erase(slot.name);
        slot = NameSlot{};
    }

    void Erase(std::map<Ipv6Bytes, Remembered>::iterator entry) {
        for (uint16_t slot : entry->second.names) {
            Release(slot);
        }
        byOrder_[FamilyOf(entry->first)].erase({entry->second.order, entry->first});
        addresses_.erase(entry);
        changed_ = true;
    }

    std::map<Ipv6Bytes, Remembered> addresses_;
    std::set<std::pair<uint64_t, Ipv6Bytes>> byOrder_[2];  // per family: IPv4, IPv6
    std::vector<NameSlot> slots_;
    std::map<std::wstring, uint16_t> slotOf_;
    uint64_t count_ = 0;
    bool changed_ = false;
};

// The file's writers (the save timer, the stop, a forget) go one at a time, each taking its
// snapshot while it writes, so the last file written holds the latest memory. Taken before
// MemoryLock, never after; neither is held with another lock of the helper.
std::mutex MemoryFileLock;
std::mutex MemoryLock;
RouteMemory Memory;
bool MemoryFileInUse = false;  // under MemoryFileLock

template <typename Use>
auto WithMemory(Use use) {
    std::lock_guard<std::mutex> lock(MemoryLock);
    return use(Memory);
}

enum class Load { Loaded, Missing, Unreadable, Malformed };

Load ReadTheFile(RouteMemory& loaded) {
    Load result = Load::Unreadable;  // also when the data directory cannot be used
    UseDataFile(kMemoryFileName, [&](const DataFile& file) {
        std::string text;
        if (!file.Size()) {
            result = Load::Missing;
        } else if (file.Read(kMaxRouteMemoryBytes, text) == 0) {
            result = loaded.Parse(text) ? Load::Loaded : Load::Malformed;
        }
        return true;
    });
    return result;
}

}  // namespace

void RememberRoute(const Ipv6Bytes& address, const std::wstring& name) {
    const uint64_t now = platform::SystemTimeSeconds();
    WithMemory([&](RouteMemory& memory) { memory.Remember(address, name, now); });
}

std::vector<Ipv6Bytes> RememberedAddresses(const std::set<std::wstring>& apps) {
    const uint64_t now = platform::SystemTimeSeconds();
    return WithMemory([&](RouteMemory& memory) { return memory.AddressesOf(apps, now); });
}

size_t RememberedAddressCount() {
    const uint64_t now = platform::SystemTimeSeconds();
    return WithMemory([now](RouteMemory& memory) { return memory.Count(now); });
}

void UseRouteMemoryFile(bool use) {
    std::lock_guard<std::mutex> fileLock(MemoryFileLock);
    MemoryFileInUse = use;
}

void LoadRouteMemory() {
    Load result = Load::Loaded;
    {
        std::lock_guard<std::mutex> fileLock(MemoryFileLock);
        if (!MemoryFileInUse) {
            return;
        }
        RouteMemory loaded;
        result = ReadTheFile(loaded);
        if (result != Load::Loaded) {
            loaded = RouteMemory{};  // nothing of a torn file
        }
        WithMemory([&loaded](RouteMemory& memory) { memory = std::move(loaded); });
    }
    if (result != Load::Loaded) {
        HelperLog(std::wstring(L"route memory file ") +
                  (result == Load::Missing     ? L"missing"
                   : result == Load::Malformed ? L"malformed"
                                               : L"unreadable") +
                  L"; starting with an empty memory");
    }
}

void SaveRouteMemoryIfChanged() {
    std::lock_guard<std::mutex> fileLock(MemoryFileLock);
    if (!MemoryFileInUse) {
        return;
    }
    const uint64_t now = platform::SystemTimeSeconds();
    std::string text;
    const bool changed = WithMemory([&](RouteMemory& memory) {
        memory.AgeOut(now);
        if (!memory.TakeChanged()) {
            return false;
        }
        text = memory.Format();
        return true;
    });
    if (changed && !UseDataFile(kMemoryFileName, [&text](const DataFile& file) {
            return file.Replace(text) == 0;
        })) {
        WithMemory([](RouteMemory& memory) { memory.MarkChanged(); });  // the next tick tries again
    }
}

void ForgetRouteMemory() {
    std::lock_guard<std::mutex> fileLock(MemoryFileLock);
    const std::string empty = WithMemory([](RouteMemory& memory) {
        memory = RouteMemory{};
        return memory.Format();
    });
    if (!MemoryFileInUse || UseDataFile(kMemoryFileName, [](const DataFile& file) {
            return !file.Size() || file.Delete() == 0;
        })) {
        return;
    }
    // A file that cannot go now is emptied instead, or at the next write: a forgotten memory
    // must not come back at the next start.
    if (!UseDataFile(kMemoryFileName,
                     [&empty](const DataFile& file) { return file.Replace(empty) == 0; })) {
        WithMemory([](RouteMemory& memory) { memory.MarkChanged(); });
    }
}
