#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>

#include "launcher/command_line.h"
#ifdef _WIN32
#include "tests/code_page_check.h"
#endif

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

// The UTF-16 split follows the same rules: for ASCII lines it stops where the 8-bit one does.
TEST(ArgumentText, Utf16LinesSplitLikeAnsiOnes) {
    for (const char *line :
         {"\"C:\\Program Files\\orvanecmd.exe\"  ABC \"a b\"", "orvanecmd.exe\t \t x", "\"odd\tname\" x",
          " \t  \"prog\" \t \t args", "pro\"g tail", "\"never closed", "", "   ", "\"prog\"  \t "}) {
        const std::wstring wide(line, line + std::strlen(line));
        EXPECT_EQ(ArgumentOffset(line), static_cast<size_t>(FindArgumentText(wide.c_str()) - wide.c_str())) << line;
    }
}

// Stand-ins for the ANSI byte count: every character one byte; U+0100 and above two
// (as double-byte characters, or a replacement of two bytes); every character none.
int OneByteEach(const wchar_t *, int) { return 1; }
int TwoBytesFromU0100(const wchar_t *character, int units) { return units == 2 || *character >= 0x100 ? 2 : 1; }
int NoBytes(const wchar_t *, int) { return 0; }

struct WidePrefixRow {
    const wchar_t *argumentText;
    AnsiByteCountFn countAnsiBytes;
    size_t parametersOffset;  // in UTF-16 units
};

// The 14 bytes are counted in the ANSI forms of the characters. One that starts inside
// them and ends past them goes whole; a surrogate pair is never split; the walk stops
// at the terminator, also after a lone high surrogate.
TEST(ViewerParameters, Utf16PrefixIsCountedInAnsiBytes) {
    const WidePrefixRow rows[] = {
        {L"ABCDEFGHIJKLMNtail", OneByteEach, 14},
        {L"\u65e5\u672c\u8a9e\u306e\u5199\u771f\u3068tail tail tail", OneByteEach, 14},
        {L"\u65e5\u672c\u8a9e\u306e\u5199\u771f\u3068tail tail tail", TwoBytesFromU0100, 7},
        {L"ABCDEFGHIJKL\u65e5\u672ctail", TwoBytesFromU0100, 13},   // 日 at bytes 12-13: 本 starts the tail
        {L"ABCDEFGHIJKLM\u65e5\u672ctail", TwoBytesFromU0100, 14},  // 日 at bytes 13-14: dropped whole
        {L"ABCDEFGHIJKLM\xD83D\xDE00tail", TwoBytesFromU0100, 15},  // a pair at bytes 13-14: both units dropped
        {L"ABCDEFGHIJKLM\xD83D"
         L"Xtail",
         OneByteEach, 14},  // a lone high surrogate is one character
        {L"ABCDEFGHIJKLM\xD83D", TwoBytesFromU0100, 14},
        {L"ABCDEFGHIJKL\xD83D\uFF02tail", OneByteEach, 14},  // a high surrogate before a unit above the low ones
        {L"ABCDEFGHIJKLMNOPtail", NoBytes, 14},
        {L"ABC", TwoBytesFromU0100, 3},
        {L"", OneByteEach, 0},
    };
    for (const WidePrefixRow &row : rows) {
        EXPECT_EQ(row.argumentText + row.parametersOffset, FindViewerParameters(row.argumentText, row.countAnsiBytes))
            << "row " << &row - rows;
    }
}

#ifdef _WIN32
struct AnsiBytesRow {
    const wchar_t *character;
    int bytes1252;
    int bytes932;
};

// The byte counts GetCommandLineA's best-fit conversion gives, on either code page (U+00B7
// becomes the two bytes of U+30FB in 932, not a "?"); the sum over a text is the length of
// the text's own conversion.
TEST(CountAnsiBytes, AsTheAnsiFormOfTheCommandLineCountsThem) {
    const AnsiBytesRow rows[] = {
        {L"a", 1, 1},      {L"\uFF02", 1, 2}, {L"\u00AD", 1, 1}, {L"\u2010", 1, 2},     {L"\u0100", 1, 1},
        {L"\u65E5", 1, 2}, {L"\uD55C", 1, 1}, {L"\u041F", 1, 2}, {L"\U0001F600", 2, 2}, {L"\u00B7", 1, 2},
    };
    std::wstring all;
    int sum = 0;
    for (const AnsiBytesRow &row : rows) {
        const int units = static_cast<int>(std::wcslen(row.character));
        const int bytes = CountAnsiBytes(row.character, units);
        EXPECT_EQ(GetACP() == 932 ? row.bytes932 : row.bytes1252, bytes)
            << "U+" << std::hex << static_cast<unsigned>(row.character[0]);
        all += row.character;
        sum += bytes;
    }
    EXPECT_EQ(WideCharToMultiByte(CP_ACP, 0, all.c_str(), static_cast<int>(all.size()), nullptr, 0, nullptr, nullptr),
              sum);
}
#endif

}  // namespace
