// The client library's request building (the wire module's, shared with the helper) and reply
// reading.
#include <gtest/gtest.h>

#include <sstream>

#include "orvanta_client_logic.h"

namespace {

using namespace std::string_literals;

TEST(WireTest, Base64MatchesTheStandardVectors) {
    const std::pair<std::string, std::string> vectors[] = {{"", ""},
                                                           {"f", "Zg=="},
                                                           {"fo", "Zm8="},
                                                           {"foo", "Zm9v"},
                                                           {"foob", "Zm9vYg=="},
                                                           {"fooba", "Zm9vYmE="},
                                                           {"foobar", "Zm9vYmFy"},
                                                           {"\xFF\xFE\x00"s, "//4A"}};
    for (const auto& [bytes, text] : vectors) {
        EXPECT_EQ(wire::Base64Encode(bytes), text) << text;
    }
}

TEST(WireTest, RequestsEndWithOneLineFeed) {
    EXPECT_EQ(wire::BuildRequest("ping", ""), "ping\n");
    EXPECT_EQ(wire::BuildRequest("splitapps", "a.exe;b.exe"), "splitapps a.exe;b.exe\n");
    EXPECT_EQ(orvanta::BuildConnectRequest("[Interface]"), "connect W0ludGVyZmFjZV0=\n");
    EXPECT_EQ(orvanta::BuildConnectRequest(""), "connect \n") << "refused by the helper as empty";
}

TEST(ClientLogicTest, ExitCodesFollowTheReply) {
    EXPECT_EQ(orvanta::ExitCodeForReply("OK"), 0);
    EXPECT_EQ(orvanta::ExitCodeForReply("RUNNING"), 0);
    EXPECT_EQ(orvanta::ExitCodeForReply("STOPPED"), 0);
    EXPECT_EQ(orvanta::ExitCodeForReply("ERR unknown"), 1);
    EXPECT_EQ(orvanta::ExitCodeForReply("ERR connect failed"), 1);
    EXPECT_EQ(orvanta::ExitCodeForReply(""), 1);
    EXPECT_EQ(orvanta::ExitCodeForReply("split off reason=no-tunnel"), 0);
    EXPECT_EQ(orvanta::ExitCodeForReply("split on apps=1"), 0);
    EXPECT_EQ(orvanta::ExitCodeForReply("splitting"), 1);
    EXPECT_EQ(orvanta::ReplyLine("OK\nrest"), "OK");
}

// Every field of a read status, in the grammar's order; "refused" when the line is not one.
std::string Read(const std::string& line) {
    orvanta::SplitStatus s;
    if (!orvanta::ParseSplitStatus(line, s)) {
        return "refused";
    }
    std::ostringstream out;
    out << s.on << " " << s.apps << " " << s.routes << "/" << s.routesCap << " " << s.routes6 << "/"
        << s.routes6Cap << " " << s.ipv4IfIndex << " " << s.ipv6IfIndex << " " << s.remembered
        << " " << s.kept << " " << s.capReachedIpv4 << s.capReachedIpv6 << s.blockedByTunnel << " "
        << s.reason << " " << s.error;
    return out.str();
}

TEST(ClientLogicTest, SplitStatusLinesAreRead) {
    const std::string on = "split on apps=2 routes=3/4096 routes6=1/4000 ipv4=7 ipv6=12 ";
    const std::pair<std::string, std::string> rows[] = {
        {"split off reason=no-tunnel", "0 0 0/0 0/0 0 0 0 0 000 no-tunnel 0"},
        {"split off reason=windivert-open-failed err=5",
         "0 0 0/0 0/0 0 0 0 0 000 windivert-open-failed 5"},
        {on + "remembered=4 kept=5", "1 2 3/4096 1/4000 7 12 4 5 000  0"},
        {on + "remembered=4 kept=5 cap-reached=ipv6 blocked-by-tunnel",
         "1 2 3/4096 1/4000 7 12 4 5 011  0"},
        {on + "remembered=4294967295 kept=5 cap-reached=both new=1 flag",
         "1 2 3/4096 1/4000 7 12 4294967295 5 110  0"},
        {"split on apps=2 routes=3/4096 routes6=1/4000 ipv4=none ipv6=none remembered=4 kept=5",
         "1 2 3/4096 1/4000 0 0 4 5 000  0"},
        {on + "remembered=4294967296 kept=5", "refused"},
        {on + "remembered=4 kept=5 apps=3", "refused"},
        {on + "remembered=4", "refused"},
        {"split on apps=2 routes=3 routes6=1/4000 ipv4=7 ipv6=12 remembered=4 kept=5", "refused"},
        {"split on apps=2 routes=3/4096 routes6=1/4000 ipv4=0 ipv6=12 remembered=4 kept=5",
         "refused"},
        {"split off reason=x err=-1", "refused"},
        {"split maybe reason=x", "refused"},
    };
    for (const auto& [line, read] : rows) {
        EXPECT_EQ(Read(line), read) << line;
    }
}

TEST(ClientLogicTest, RawEscapesBecomeBytes) {
    std::string bytes;
    ASSERT_TRUE(orvanta::UnescapeRaw("ping\\r\\n", bytes));
    EXPECT_EQ(bytes, "ping\r\n");
    ASSERT_TRUE(orvanta::UnescapeRaw("a\\0b\\x41\\\\\\t", bytes));
    EXPECT_EQ(bytes, "a\0bA\\\t"s);
    EXPECT_FALSE(orvanta::UnescapeRaw("trailing\\", bytes));
    EXPECT_FALSE(orvanta::UnescapeRaw("\\xZ1", bytes));
    EXPECT_FALSE(orvanta::UnescapeRaw("\\q", bytes));
}

}  // namespace
