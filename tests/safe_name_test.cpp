#include "support/safe_name.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

namespace {

std::string Compose(const char *prefix, const char *middle, const char *suffix) {
    std::unique_ptr<char[]> name(ComposeSafeName(prefix, middle, suffix));
    EXPECT_EQ(std::strlen(name.get()), std::strlen(prefix) + std::strlen(middle) + std::strlen(suffix));
    return name.get();
}

TEST(ComposeSafeName, EmptyTextsGiveAnEmptyName) { EXPECT_EQ(Compose("", "", ""), ""); }

TEST(ComposeSafeName, MapsTheSixBytesOfTheMiddleOnly) {
    EXPECT_EQ(Compose("", "x(1)/y#2", ""), "x[1]_y_2");
    EXPECT_EQ(Compose("", "*a*b\\c*", ""), "_a_b_c_");
    EXPECT_EQ(Compose("(p)/#*\\", "()\\/#*", "*(s)\\#/"), "(p)/#*\\[]____*(s)\\#/");
    EXPECT_EQ(Compose("Global\\", "C:\\Program Files (x86)\\Orvane.exe", "#1"),
              "Global\\C:_Program Files [x86]_Orvane.exe#1");
}

TEST(ComposeSafeName, OtherBytesPassThrough) {
    const char others[] = ":?\"<>| \t.-[]_{}%$~'\x7F\x80\xFF";
    EXPECT_EQ(Compose("", others, ""), others);
}

TEST(ComposeSafeName, CallersMiddleTextIsNotModified) {
    char middle[] = "a(b)/c";
    const std::string name = Compose("<", middle, ">");
    EXPECT_EQ(name, "<a[b]_c>");
    EXPECT_STREQ(middle, "a(b)/c");
}

// Each byte is judged by itself: a Shift-JIS character whose second byte is 0x5C
// changes, the others do not.
TEST(ComposeSafeName, ShiftJisSecondByte5CBecomesUnderscore) {
    // ソ表能 (83 5C, 95 5C, 94 5C)
    EXPECT_EQ(Compose("", "\x83\x5C\x95\x5C\x94\x5C", ""), "\x83_\x95_\x94_");
    // テスト(1): only the brackets change
    EXPECT_EQ(Compose("", "\x83\x65\x83\x58\x83\x67(1)", ""), "\x83\x65\x83\x58\x83\x67[1]");
    // In the prefix and suffix the same characters stay as they are.
    EXPECT_EQ(Compose("\x83\x5C", "", "\x95\x5C"), "\x83\x5C\x95\x5C");
}

TEST(ComposeSafeName, LongTextsKeepTheirLength) {
    const std::string prefix(300, '('), middle(5000, '\\'), suffix(70, '#');
    const std::string name = Compose(prefix.c_str(), middle.c_str(), suffix.c_str());
    EXPECT_EQ(name, prefix + std::string(5000, '_') + suffix);
}

// More characters than an int counts: the middle and the suffix still follow.
TEST(ComposeSafeName, SLOW_NameLongerThan2GiBIsWhole) {
    if (sizeof(size_t) < 8) GTEST_SKIP() << "needs a 64-bit address space";
    const std::string prefix(size_t{1} << 31, 'p');
    std::unique_ptr<char[]> name(ComposeSafeName(prefix.c_str(), "(m)", "#s"));
    EXPECT_EQ(std::memcmp(name.get() + prefix.size() - 1, "p[m]#s", 7), 0);
}

// A middle text longer than a 32-bit length: its last bytes and the suffix still follow.
TEST(ComposeSafeName, SLOW_MiddleLongerThan4GiBIsWhole) {
    if (sizeof(size_t) < 8) GTEST_SKIP() << "needs a 64-bit address space";
    const std::string middle(static_cast<size_t>(uint64_t{1} << 32) + 2, '/');
    std::unique_ptr<char[]> name(ComposeSafeName("p", middle.c_str(), "#s"));
    EXPECT_EQ(std::memcmp(name.get() + middle.size() - 1, "__#s", 5), 0);
}

}  // namespace
