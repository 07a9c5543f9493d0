// AnsiString, the framework's text that the support library's callers see too.
#include "framework/ansi_string.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>

TEST(AnsiString, NullTextIsEmpty) {
    const AnsiString text(nullptr);
    EXPECT_TRUE(text.IsEmpty());
    EXPECT_EQ(text.Length(), 0);
    EXPECT_STREQ(text.c_str(), "");
}

TEST(AnsiString, DataGivesExactlyLengthBytesNulsIncluded) {
    const AnsiString text("a\0b\0c", 4);
    EXPECT_EQ(text.Length(), 4);
    EXPECT_EQ(std::memcmp(text.c_str(), "a\0b\0", 5), 0);
    EXPECT_NE(text, AnsiString("a"));
}

TEST(AnsiString, LengthOfZeroOrLessOrNullDataGivesEmpty) {
    for (int length : {0, -1, INT_MIN}) EXPECT_TRUE(AnsiString("abc", length).IsEmpty()) << length;
    EXPECT_EQ(AnsiString(nullptr, 3), AnsiString(""));
}
