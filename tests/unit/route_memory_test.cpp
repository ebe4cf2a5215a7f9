// The route memory: what it keeps, for how long, and its file.
#include <algorithm>

#include "control/dispatcher.h"
#include "split/address_text.h"
#include "split_fixture.h"

namespace {

const std::wstring kMemoryFile = L"C:\\ProgramData\\Orvanta\\helper.memory";
constexpr uint64_t kStart = 13'425'000'000;
constexpr int64_t kHour = 3600, kDay = 24 * kHour;

void At(int64_t offset) {
    fake::TheWorld().systemSeconds = kStart + offset;
}

Ipv6Bytes Host(uint32_t n, bool ipv6 = false) {
    if (!ipv6) {
        return MappedAddress(htonl(0x0B000000u + n));  // 11.x.y.z
    }
    return {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, uint8_t(n >> 8), uint8_t(n)};
}

std::wstring Name(size_t n) {
    return L"app" + std::to_wstring(n) + L".exe";
}

size_t Of(const std::wstring& app) {
    return RememberedAddresses({app}).size();
}

size_t Writes() {
    const auto& calls = fake::TheWorld().fileCalls;
    return std::count(calls.begin(), calls.end(), L"write " + kMemoryFile);
}

struct MemoryCase {
    const char* name;
    void (*steps)();  // on the clock at kStart, the file in use; they check as they go
    size_t remembered;
};

class RouteMemoryTest : public SplitFixture, public ::testing::WithParamInterface<MemoryCase> {};

TEST_P(RouteMemoryTest, KeepsWithinItsBounds) {
    At(0);
    UseRouteMemoryFile(true);
    GetParam().steps();
    EXPECT_EQ(RememberedAddressCount(), GetParam().remembered);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RouteMemoryTest,
    ::testing::Values(MemoryCase{"RefreshedAtMostHourly",
                                 [] {
                                     RememberRoute(Host(1), L"a.exe");
                                     SaveRouteMemoryIfChanged();
                                     At(kHour - 1);
                                     RememberRoute(Host(1), L"a.exe");
                                     SaveRouteMemoryIfChanged();
                                     EXPECT_EQ(Writes(), 1u);
                                     At(kHour);
                                     RememberRoute(Host(1), L"a.exe");
                                     SaveRouteMemoryIfChanged();
                                     EXPECT_EQ(Writes(), 2u);
                                 },
                                 1},
                      MemoryCase{"AgedOutAtSevenDays",
                                 [] {
                                     RememberRoute(Host(1), L"a.exe");
                                     At(kDay);
                                     RememberRoute(Host(2, true), L"a.exe");
                                     At(7 * kDay - 1);
                                     EXPECT_EQ(RememberedAddressCount(), 2u);
                                     At(7 * kDay);
                                 },
                                 1},
                      MemoryCase{"AClockSetBackAgesFromThere",
                                 [] {
                                     RememberRoute(Host(1), L"a.exe");
                                     At(-30 * kDay);
                                     EXPECT_EQ(Of(L"a.exe"), 1u);
                                     At(-23 * kDay - 1);
                                     EXPECT_EQ(Of(L"a.exe"), 1u);
                                     At(-23 * kDay);
                                 },
                                 0},
                      MemoryCase{"LeastRecentlyUsedOutPerFamily",
                                 [] {
                                     RememberRoute(Host(0, true), L"a.exe");
                                     for (uint32_t n = 0; n <= kRememberedPerFamily; ++n) {
                                         RememberRoute(Host(n), L"a.exe");
                                         RememberRoute(
                                             Host(0), L"a.exe");  // the first stays the most recent
                                     }
                                     const std::vector<Ipv6Bytes> kept =
                                         RememberedAddresses({L"a.exe"});
                                     EXPECT_EQ(std::count(kept.begin(), kept.end(), Host(1)), 0);
                                     EXPECT_EQ(kept.back(), Host(0));
                                 },
                                 kRememberedPerFamily + 1},
                      MemoryCase{"SharedByTwoApplicationsCountsOnce",
                                 [] {
                                     RememberRoute(Host(1), L"a.exe");
                                     RememberRoute(Host(1), L"b.exe");
                                     EXPECT_EQ(Of(L"a.exe") + Of(L"b.exe"), 2u);
                                 },
                                 1},
                      MemoryCase{"EightNamesPerAddress",
                                 [] {
                                     for (size_t n = 0; n <= kNamesPerAddress; ++n) {
                                         RememberRoute(Host(1), Name(n));
                                     }
                                     EXPECT_EQ(Of(Name(0)), 0u);
                                     EXPECT_EQ(Of(Name(1)) + Of(Name(kNamesPerAddress)), 2u);
                                 },
                                 1},
                      MemoryCase{"LeastRecentlySeenOfAllNamesGoesWithItsAddresses",
                                 [] {
                                     for (uint32_t n = 0; n < kRememberedNames; ++n) {
                                         RememberRoute(Host(n), Name(n));
                                     }
                                     RememberRoute(Host(0),
                                                   Name(0));  // seen again: app1.exe is the oldest
                                     RememberRoute(Host(kRememberedNames), L"new.exe");
                                     EXPECT_EQ(Of(Name(0)) + Of(L"new.exe"), 2u);
                                     EXPECT_EQ(Of(Name(1)), 0u);
                                 },
                                 kRememberedNames},
                      MemoryCase{"KeptThroughAnEmptyList",
                                 [] {
                                     RememberRoute(Host(1), L"a.exe");
                                     SetTunnelUp(true);
                                     ChangeSplitApps(L"a.exe");
                                     ChangeSplitApps(L"");
                                 },
                                 1},
                      MemoryCase{"ForgottenOnRequestWithItsFile",
                                 [] {
                                     RememberRoute(Host(1), L"a.exe");
                                     SaveRouteMemoryIfChanged();
                                     EXPECT_EQ(CommandDispatcher("splitforget"), "OK");
                                     EXPECT_EQ(fake::TheWorld().files.count(kMemoryFile), 0u);
                                 },
                                 0}),
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
    EXPECT_EQ(Log(), "");
}

// A missing, unreadable or malformed file: one line, and an empty memory.
TEST_F(RouteMemoryFileTest, OnlyWhatTheWriterWritesLoads) {
    const std::string kHeader = "orvanta-route-memory 1\n", kName = "n 612e657865\n";
    const std::string kAddress = "a 00000000000000000000ffff0b000001 0000000320400000 00\n";
    const std::pair<std::string, const char*> kFiles[] = {
        {kHeader + kName + kAddress, nullptr},
        {"", "missing"},
        {kHeader + kName + kAddress.substr(0, kAddress.size() - 1), "malformed"},
        {kHeader + kAddress + kName, "malformed"},  // names first
        {kHeader + kName + kAddress.substr(0, kAddress.size() - 2) + "1\n", "malformed"},
        {kHeader + kName + kAddress.substr(0, kAddress.size() - 2) + "\n", "malformed"},
        {kHeader + kName + kAddress + kAddress, "malformed"},  // twice
        {"orvanta-route-memory 2\n" + kName + kAddress, "malformed"},
    };
    UseRouteMemoryFile(true);
    for (const auto& [text, problem] : kFiles) {
        W().files.erase(kMemoryFile);
        if (!text.empty()) {
            W().files[kMemoryFile] = text;
        }
        const size_t logged = Log().size();
        LoadRouteMemory();
        EXPECT_EQ(RememberedAddresses({L"a.exe"}).size(), problem == nullptr ? 1u : 0u) << text;
        EXPECT_EQ(Log().substr(logged), problem == nullptr
                                            ? ""
                                            : "2026-06-27 09:05:03  route memory file " +
                                                  std::string(problem) +
                                                  "; starting with an empty memory\r\n");
    }
}

}  // namespace
