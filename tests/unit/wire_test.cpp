// The pipe's requests as both ends build them.
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

}  // namespace
