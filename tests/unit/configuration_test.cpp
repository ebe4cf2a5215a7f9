// What a configuration says about the tunnel: what it blocks and what it keeps.
#include <gtest/gtest.h>

#include "platform/platform.h"
#include "split/tunnel_destinations.h"
#include "tunnel/configuration.h"

namespace {

struct BlockCase {
    const char* name;
    std::wstring configuration;
    std::wstring blocks;
};

class BlockTest : public ::testing::TestWithParam<BlockCase> {};

TEST_P(BlockTest, OnlyASinglePeerAllowingEverythingBlocksBypassedTraffic) {
    EXPECT_EQ(RoutesThatBlockBypass(GetParam().configuration), GetParam().blocks);
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, BlockTest,
    ::testing::Values(
        BlockCase{"AllIpv4", L"[Interface]\nPrivateKey = k\n[Peer]\nAllowedIPs = 0.0.0.0/0",
                  L"0.0.0.0/0"},
        BlockCase{"AllIpv6AndCaseAndBlanks", L"[PEER]\r\n  allowedips=10.0.0.0/8 ,::/0 \r\n",
                  L"::/0"},
        BlockCase{"AllIpv4WithAComment", L"[Peer]\nAllowedIPs = 0.0.0.0/0 # all", L"0.0.0.0/0"},
        BlockCase{"SplitForm", L"[Peer]\nAllowedIPs = 0.0.0.0/1, 128.0.0.0/1, ::/1, 8000::/1", L""},
        BlockCase{"TwoPeers", L"[Peer]\nAllowedIPs = 0.0.0.0/0\n[Peer]\nAllowedIPs = 10.0.0.0/8",
                  L""},
        BlockCase{"RoutingOff", L"[Interface]\nTable = off\n[Peer]\nAllowedIPs = 0.0.0.0/0", L""},
        BlockCase{"CommentedOut",
                  L"[Peer]\n# AllowedIPs = 0.0.0.0/0\nAllowedIPs = 1.2.3.4/32 # 0/0", L""},
        BlockCase{"NotAZeroAddress",
                  L"[Peer]\nAllowedIPs = 1.2.3.4/0, 0.0.0/0, 0..0.0/0, 0.0.0.0/00", L""},
        BlockCase{"InTheInterface", L"[Interface]\nAllowedIPs = 0.0.0.0/0\n[Peer]\n", L""},
        BlockCase{"Empty", L"", L""}),
    [](const auto& info) { return info.param.name; });

struct KeptCase {
    const char* name;
    std::wstring configuration;
    std::wstring kept;
};

class KeptTest : public ::testing::TestWithParam<KeptCase> {};

TEST_P(KeptTest, ConfigurationKeepsItsResolversSubnetsAndClaimedNetworks) {
    EXPECT_EQ(TunnelDestinationsOf(GetParam().configuration).Text(7), GetParam().kept);
}

INSTANTIATE_TEST_SUITE_P(
    Configurations, KeptTest,
    ::testing::Values(
        KeptCase{
            "FoldedKeysRepeatedAndCommented",
            L"\uFEFFAddress = 10.8.0.2/24\r\n dNS\t= 8.8.8.8, corp.example , fd00::53\n"
            L"DNS=1.1.1.1 # 9.9.9.9\nDNS = 2.2.2.2/32\nPostUp = 3.3.3.3\rAddRe\u017F\u017F = ::1",
            L"10.8.0.0/24, 1.1.1.1, 8.8.8.8, ::1, fd00::53"},
        KeptCase{"AllowedIpsOfEveryPeerThatClaimANetwork",
                 L"[Peer]\nAllowedIPs = 10.0.0.0/8, 0.0.0.0/1, 200.0.0.0/5, 198.51.100.0/24, "
                 L"172.31.0.0/16, 172.32.0.0/16, 192.168.0.0/16, 192.169.0.0/16\n[Peer]\n"
                 L"AllowedIPs = 100.64.0.0/10, 100.0.0.0/9, 11.0.0.0/23, fc00::/7, fe00::/7, "
                 L"2001:db8::/48, 2001:db8::/47, ::/0",
                 L"10.0.0.0/8, 100.64.0.0/10, 172.31.0.0/16, 192.168.0.0/16, 198.51.100.0/24, "
                 L"fc00::/7, 2001:db8::/48"},
        KeptCase{"EntriesThatDoNotParse",
                 L"Address = 10.8.0.300, 010.1.1.1, 1.2.3, 1.2.3.4/33, 1.2.3.4/, 1.2.3.4/08, "
                 L"::1/129, 1::2::3, 1:2:3:4:5:6:7:8:9, :1::, fe80::1%1, 12345::, 10.8.0.2, "
                 L"1:2:3:4:5:6:7::, ::ffff:1.2.3.4, 2001:DB8::1/64",
                 L"10.8.0.2, 2001:db8::/64, ::ffff:102:304, 1:2:3:4:5:6:7:0"}),
    [](const auto& info) { return info.param.name; });

// Each configuration with its script lines taken out, and the keys dropped, in order.
TEST(ScriptKeyTest, ScriptLinesAreDroppedWhateverTheTunnelProgramTrimsOrFolds) {
    const struct {
        std::wstring text, kept, dropped;
    } rows[] = {
        {L"\uFEFFPostUp = calc\nDNS = 1", L"DNS = 1", L"PostUp"},  // a byte-order mark first
        {L"\u00A0predown\u2003= x", L"", L"PreDown"},
        {L"POSTDOWN=x\nPreUp =y\nPostUp=z", L"", L"PostDown PreUp PostUp"},
        {L"DNS = 1\rPostUp = x\nB = 2", L"B = 2", L"PostUp"},  // after a lone CR
        {L"Po\u017Ftup = x", L"", L"PostUp"},                  // a long s folds to s
        {L"Post\u0130p = x\nPostUpX = 1", L"Post\u0130p = x\nPostUpX = 1",
         L""},  // no key: a dotted I is no u
        {L"# PostUp = x\nDNS = 1 # PostUp = y", L"# PostUp = x\nDNS = 1 # PostUp = y", L""},
        {L"PostUp # = x", L"PostUp # = x", L""}};
    for (const auto& row : rows) {
        std::vector<std::wstring> dropped;
        EXPECT_EQ(WithoutScriptKeys(row.text, dropped), row.kept) << platform::WideToUtf8(row.text);
        std::wstring names;
        for (const std::wstring& key : dropped) {
            names += (names.empty() ? L"" : L" ") + key;
        }
        EXPECT_EQ(names, row.dropped);
    }
}

}  // namespace
