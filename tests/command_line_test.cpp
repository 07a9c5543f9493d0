#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "launcher/command_line.h"

namespace {

// The argument text as an offset into the command line, so a wrong pointer shows up
// as a number rather than as garbage.
size_t ArgumentOffset(const char *commandLine) { return FindArgumentText(commandLine) - commandLine; }

std::string ViewerParameters(const char *commandLine) { return FindViewerParameters(FindArgumentText(commandLine)); }

TEST(ArgumentText, QuotedProgramNameThenBlanksThenArguments) {
    const char *line = "\"C:\\Program Files\\orvanecmd.exe\"  ABCDEFGHIJKLMN \"a b\"  c\\d ";
    EXPECT_STREQ("ABCDEFGHIJKLMN \"a b\"  c\\d ", FindArgumentText(line));
    EXPECT_EQ(" \"a b\"  c\\d ", ViewerParameters(line));
}

TEST(ArgumentText, UnquotedProgramNameEndsAtSpace) {
    EXPECT_STREQ("rest of it", FindArgumentText("orvanecmd.exe rest of it"));
}

TEST(ArgumentText, UnquotedProgramNameEndsAtTab) {
    EXPECT_STREQ("x y", FindArgumentText("orvanecmd.exe\tx y"));
    EXPECT_STREQ("x", FindArgumentText("orvanecmd.exe\t \t x"));
}

TEST(ArgumentText, TabInsideQuotedNameEndsTheName) {
    // The rest of the quoted name, its closing quote included, starts the argument text.
    const char *line = "\"C:\\odd\tname.exe\" 0123456789";
    EXPECT_STREQ("name.exe\" 0123456789", FindArgumentText(line));
    EXPECT_EQ("456789", ViewerParameters(line));
}

TEST(ArgumentText, LeadingBlanksAndRunsOfBlanksAreSkipped) {
    EXPECT_STREQ("args", FindArgumentText(" \t  \"prog\" \t \t args"));
    EXPECT_STREQ("args", FindArgumentText("\t\tprog   \t args"));
}

TEST(ArgumentText, QuoteInsideUnquotedNameIsPartOfTheName) { EXPECT_STREQ("tail", FindArgumentText("pro\"g tail")); }

TEST(ArgumentText, NameWithoutClosingQuoteRunsToTheEnd) {
    const char *line = "\"C:\\never closed name";
    EXPECT_EQ(std::strlen(line), ArgumentOffset(line));
}

TEST(ArgumentText, EmptyOrNameOnly) {
    EXPECT_EQ(0u, ArgumentOffset(""));
    EXPECT_EQ(3u, ArgumentOffset("   "));
    EXPECT_STREQ("", FindArgumentText("prog"));
    EXPECT_STREQ("", FindArgumentText("\"prog\""));
    EXPECT_STREQ("", FindArgumentText("\"prog\"  \t "));
}

TEST(ArgumentText, FurtherQuotesBlanksAndBackslashesAreKept) {
    EXPECT_STREQ("\"\\\\server\\share\" \"\" \t\"", FindArgumentText("p \"\\\\server\\share\" \"\" \t\""));
}

TEST(ViewerParameters, ExactlyFourteenBytesGiveEmptyParameters) {
    const char *argumentText = "ABCDEFGHIJKLMN";
    EXPECT_EQ(argumentText + 14, FindViewerParameters(argumentText));
    EXPECT_STREQ("", FindViewerParameters(argumentText));
}

TEST(ViewerParameters, PrefixBytesAreNotInterpreted) {
    // Quotes, blanks and NUL-free control bytes inside the prefix are skipped blindly.
    EXPECT_STREQ("tail", FindViewerParameters("\"  \t\"\\\x01\x7f\xff\x83\x5c  Xtail"));
}

TEST(ViewerParameters, ShortArgumentTextStopsAtItsTerminator) {
    for (size_t length = 0; length < 14; ++length) {
        const std::string argumentText(length, 'p');
        const char *parameters = FindViewerParameters(argumentText.c_str());
        EXPECT_EQ(argumentText.c_str() + length, parameters) << "argument text of " << length << " bytes";
    }
}

TEST(ViewerParameters, ShortArgumentTextAfterProgramName) {
    EXPECT_EQ("", ViewerParameters("\"orvanecmd.exe\"  short"));
    EXPECT_EQ("", ViewerParameters("orvanecmd.exe"));
    EXPECT_EQ("", ViewerParameters(""));
}

}  // namespace
