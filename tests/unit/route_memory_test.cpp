// The route memory: what it keeps, for how long, and its file.
#include <algorithm>

#include "control/dispatcher.h"
#include "split/address_text.h"
#include "split_fixture.h"

namespace {

const std::wstring kMemoryFile = L"C:\\ProgramData\\Orvanta\\helper.memory";
constexpr int64_t kHour = 3600, kDay = 24 * kHour, kWeek = 7 * kDay;
constexpr size_t kAny = SIZE_MAX;

void At(int64_t offset) {
    fake::TheWorld().systemSeconds = 13'425'000'000 + offset;
}

Ipv6Bytes Host(uint32_t n, bool ipv6 = false) {
    return ipv6 ? Ipv6Bytes{0x20,      0x01, 0x0d, 0xb8, 0,
                            0,         0,    0,    0,    0,
                            0,         0,    0,    0,    uint8_t(n >> 8),
                            uint8_t(n)}
                : MappedAddress(htonl(0x0B000000u + n));  // 11.x.y.z
}

std::wstring Name(size_t n) {
    return L"app" + std::to_wstring(n) + L".exe";
}

size_t Of(const std::wstring& app) {
    return RememberedAddresses({app}).size();
}

// A listed application's route to a host, at a time; the file is saved after each.
struct Use {
    int64_t at;
    uint32_t host;
    const wchar_t* name = L"a.exe";
    bool ipv6 = false;
};

struct MemoryCase {
    const char* name;
    std::vector<Use> uses;
    void (*more)();  // uses a list cannot say
    int64_t lookAt;
    size_t remembered, ofA, writes = kAny;  // in all, of a.exe, of the file
};

class RouteMemoryTest : public SplitFixture, public ::testing::WithParamInterface<MemoryCase> {};

TEST_P(RouteMemoryTest, KeepsWithinItsBounds) {
    const MemoryCase& c = GetParam();
    UseRouteMemoryFile(true);
    for (const Use& use : c.uses) {
        At(use.at);
        RememberRoute(Host(use.host, use.ipv6), use.name);
        SaveRouteMemoryIfChanged();
    }
    if (c.more != nullptr) {
        c.more();
    }
    At(c.lookAt);
    EXPECT_EQ(RememberedAddressCount(), c.remembered);
    EXPECT_EQ(Of(L"a.exe"), c.ofA);
    const auto& calls = W().fileCalls;
    EXPECT_TRUE(c.writes == kAny ||
                std::count(calls.begin(), calls.end(), L"write " + kMemoryFile) == long(c.writes));
}

void ManyHosts() {  // the first stays the most recent
    for (uint32_t n = 0; n <= kRememberedPerFamily; ++n) {
        RememberRoute(Host(n), L"b.exe");
        RememberRoute(Host(0), L"b.exe");
    }
    const std::vector<Ipv6Bytes> kept = RememberedAddresses({L"b.exe"});
    EXPECT_EQ(std::count(kept.begin(), kept.end(), Host(1)), 0);
    EXPECT_EQ(kept.back(), Host(0));
}

void NineNames() {
    for (size_t n = 0; n <= kNamesPerAddress; ++n) {
        RememberRoute(Host(1), Name(n));
    }
    EXPECT_EQ(Of(Name(0)) + 2 * Of(Name(1)) + 4 * Of(Name(kNamesPerAddress)), 6u);
}

void ManyNames() {
    for (uint32_t n = 0; n < kRememberedNames; ++n) {
        RememberRoute(Host(n), Name(n));
    }
    RememberRoute(Host(0), Name(0));  // seen again: app1.exe is the oldest
    RememberRoute(Host(kRememberedNames), L"a.exe");
    EXPECT_EQ(Of(Name(0)) + 2 * Of(Name(1)), 1u);
}

void AFreedNameLeavesItsSlot() {  // x.exe, seen last, loses its only address
    At(0);
    RememberRoute(Host(0), L"x.exe");
    for (uint32_t n = 1; n < kRememberedNames; ++n) {
        At(1);
        RememberRoute(Host(n), Name(n));
    }
    RememberRoute(Host(0), L"x.exe");
    At(kWeek);
    EXPECT_EQ(RememberedAddressCount(), kRememberedNames - 1);
    RememberRoute(Host(kRememberedNames), L"a.exe");  // in x.exe's slot, not app1.exe's
}

void ANinthNameFreesTheFirstsSlot() {  // x.exe, seen after app9.exe, loses its only address
    for (uint32_t n = kNamesPerAddress + 1; n < kRememberedNames; ++n) {
        RememberRoute(Host(n), Name(n));
    }
    RememberRoute(Host(0), L"x.exe");
    for (uint32_t n = 1; n <= kNamesPerAddress; ++n) {
        RememberRoute(Host(0), Name(n));
    }
    RememberRoute(Host(kRememberedNames), L"a.exe");  // in x.exe's slot, not app9.exe's
}

void Forget() {
    EXPECT_EQ(CommandDispatcher("splitforget"), "OK");
    EXPECT_EQ(fake::TheWorld().files.count(kMemoryFile), 0u);
}

void EmptyTheList() {
    SetTunnelUp(true);
    ChangeSplitApps(L"a.exe");
    ChangeSplitApps(L"");
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RouteMemoryTest,
    ::testing::Values(
        MemoryCase{"RefreshedNotWithinTheHour", {{0, 1}, {kHour - 1, 1}}, nullptr, 0, 1, 1, 1},
        MemoryCase{"RefreshedAfterAnHour", {{0, 1}, {kHour, 1}}, nullptr, 0, 1, 1, 2},
        MemoryCase{
            "KeptUnderSevenDays", {{0, 1}, {kDay, 2, L"a.exe", true}}, nullptr, kWeek - 1, 2, 2},
        MemoryCase{"AgedOutAtSevenDays", {{0, 1}, {kDay, 2, L"a.exe", true}}, nullptr, kWeek, 1, 1},
        MemoryCase{"AClockSetBackAgesFromThere",
                   {{0, 1}, {-30 * kDay, 2}},
                   nullptr,
                   -30 * kDay + kWeek - 1,
                   2,
                   2},
        MemoryCase{
            "AClockSetBackAgesOut", {{0, 1}, {-30 * kDay, 2}}, nullptr, -30 * kDay + kWeek, 0, 0},
        MemoryCase{"LeastRecentlyUsedOutPerFamily",
                   {{0, 0, L"a.exe", true}},
                   ManyHosts,
                   0,
                   kRememberedPerFamily + 1,
                   1},
        MemoryCase{
            "SharedByTwoApplicationsCountsOnce", {{0, 1}, {0, 1, L"b.exe"}}, nullptr, 0, 1, 1},
        MemoryCase{"EightNamesPerAddress", {}, NineNames, 0, 1, 0},
        MemoryCase{"LeastRecentlySeenOfAllNamesGoesWithItsAddresses",
                   {},
                   ManyNames,
                   0,
                   kRememberedNames,
                   1},
        MemoryCase{"AnAddressAgedOutFreesItsOnlyNamesSlot",
                   {},
                   AFreedNameLeavesItsSlot,
                   kWeek,
                   kRememberedNames,
                   1},
        MemoryCase{"ANinthNameFreesTheOnlySlotOfTheFirst",
                   {},
                   ANinthNameFreesTheFirstsSlot,
                   0,
                   kRememberedNames - kNamesPerAddress + 1,
                   1},
        MemoryCase{"KeptThroughAnEmptyList", {{0, 1}}, EmptyTheList, 0, 1, 1},
        MemoryCase{"ForgottenOnRequestWithItsFile", {{0, 1}}, Forget, 0, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

class RouteMemoryFileTest : public SplitFixture {};

TEST_F(RouteMemoryFileTest, TheLargestFileIsReadBackWhole) {
    UseRouteMemoryFile(true);
    W().systemSeconds = UINT64_MAX - 1;  // every digit of the time
    std::vector<std::wstring> names;
    for (size_t n = 0; n < kRememberedNames; ++n) {  // three UTF-8 bytes a unit
        names.push_back(std::wstring(kLongestRememberedName - 1, L'\u4E00') + wchar_t(0x4E00 + n));
    }
    for (uint32_t n = 0; n < 2 * kRememberedPerFamily; ++n) {
        for (size_t k = 0; k < kNamesPerAddress; ++k) {
            RememberRoute(Host(n / 2, n % 2), names[(n * kNamesPerAddress + k) % kRememberedNames]);
        }
    }
    SaveRouteMemoryIfChanged();
    EXPECT_EQ(W().files[kMemoryFile].size(), kMaxRouteMemoryBytes);
    UseRouteMemoryFile(false);
    ForgetRouteMemory();
    UseRouteMemoryFile(true);
    LoadRouteMemory();
    EXPECT_EQ(RememberedAddressCount(), 2 * kRememberedPerFamily);
    EXPECT_EQ(RememberedAddresses({names[0]}).size(), 2 * kRememberedPerFamily / 32);
    RememberRoute(Host(kRememberedPerFamily), names[0]);  // the loaded ones count to the bound
    EXPECT_EQ(RememberedAddressCount(), 2 * kRememberedPerFamily);
    EXPECT_EQ(Log(), "");
}

// A missing, unreadable or malformed file: one line, and an empty memory.
TEST_F(RouteMemoryFileTest, OnlyWhatTheWriterWritesLoads) {
    const std::string kName = "orvanta-route-memory 1\nn 612e657865\n";
    const std::string kAddress = "a 00000000000000000000ffff0b000001 0000000320400000 00";
    const std::pair<std::string, const char*> kFiles[] = {
        {kName + kAddress + "\n", nullptr},
        {"", "missing"},
        {kName + kAddress, "malformed"},  // torn
        {kName + kAddress + "01\n", "malformed"},
        {kName + kAddress + "0\n", "malformed"},
        {kName + kAddress + "\n" + kAddress + "\n", "malformed"},  // twice
        {"orvanta-route-memory 2\n" + kName.substr(23) + kAddress + "\n", "malformed"},
        {kName + "a " + std::string(32, 'g') + kAddress.substr(34) + "\n", "malformed"},
        {kName + kName.substr(23) + kAddress + "\n", "malformed"},  // a name twice
        {kName + kAddress.substr(0, 35) + std::string(16, 'g') + " 00\n", "malformed"},  // time
    };
    UseRouteMemoryFile(true);
    for (const auto& [text, problem] : kFiles) {
        W().files.erase(kMemoryFile);
        if (!text.empty()) {
            W().files[kMemoryFile] = text;
        }
        const size_t logged = Log().size();
        LoadRouteMemory();
        EXPECT_EQ(Of(L"a.exe"), problem == nullptr ? 1u : 0u) << text;
        EXPECT_EQ(Log().substr(logged), problem == nullptr
                                            ? ""
                                            : "2026-06-27 09:05:03  route memory file " +
                                                  std::string(problem) +
                                                  "; starting with an empty memory\r\n");
    }
    // The file keeps addresses in their order, not their use's: the time orders them again.
    W().files[kMemoryFile] = kName + kAddress.substr(0, 50) + "1 00\n" + kAddress.substr(0, 33) +
                             "2" + kAddress.substr(34) + "\n";
    LoadRouteMemory();
    EXPECT_EQ(RememberedAddresses({L"a.exe"}), (std::vector<Ipv6Bytes>{Host(2), Host(1)}));
}

}  // namespace
