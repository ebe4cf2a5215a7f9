// The client library's request building (the wire module's, shared with the helper) and reply
// reading.
#include <gtest/gtest.h>

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
    EXPECT_EQ(orvanta::ReplyLine("OK\nrest"), "OK");
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
