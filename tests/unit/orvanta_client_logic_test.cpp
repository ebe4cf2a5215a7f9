// The client library's reply reading and its check of its server.
#include <gtest/gtest.h>
#include <sstream>

#include "orvanta_client_logic.h"

namespace {

using namespace std::string_literals;

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

TEST(ClientTrustTest, OnlyTheServiceOrWithoutOneAPipeOwnedBySystemOrAdministratorsIsTrusted) {
    EXPECT_TRUE(orvanta::ServerIsTrusted(1234, 1234, false));
    EXPECT_TRUE(orvanta::ServerIsTrusted(1234, 1234, true));
    EXPECT_FALSE(orvanta::ServerIsTrusted(666, 1234, false)) << "a squatter beside the service";
    EXPECT_FALSE(orvanta::ServerIsTrusted(666, 1234, true))
        << "a squatter's extra instance shows the service's owner";
    EXPECT_FALSE(orvanta::ServerIsTrusted(666, 0, false)) << "a squatter, no service running";
    EXPECT_FALSE(orvanta::ServerIsTrusted(0, 0, false)) << "server unknown";
    EXPECT_TRUE(orvanta::ServerIsTrusted(666, 0, true)) << "an elevated --console helper";
    EXPECT_TRUE(orvanta::ServerIsTrusted(0, 0, true));
}

}  // namespace
