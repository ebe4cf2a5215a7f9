// The request words and how they are matched.
#include <gtest/gtest.h>

#include "control/dispatcher.h"

namespace {

TEST(DispatcherTest, WordsAreMatchedWholeAfterLowerCasingAToZOnly) {
    EXPECT_EQ(CommandDispatcher("PiNg"), "OK");
    EXPECT_EQ(CommandDispatcher("ping  two spaces"), "OK");
    EXPECT_EQ(CommandDispatcher(""), "ERR unknown");
    EXPECT_EQ(CommandDispatcher("p\xC4\xB0ng"), "ERR unknown");  // dotted capital I stays
    EXPECT_EQ(CommandDispatcher("ping\xC2\xA0x"), "ERR unknown");
}

}  // namespace
