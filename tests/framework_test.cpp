// The framework as far as the launcher relies on it: the title, the hidden
// window, the full-stop rule and the error box it shows.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "framework/application.h"
#include "seams/kernel.h"
#include "seams/user.h"

namespace {

std::string Title(const char *moduleFileName) { return ApplicationTitleFromModuleName(moduleFileName).c_str(); }
std::string WithFullStop(const char *message) { return MessageWithFullStop(message).c_str(); }
bool JapaneseCodePage() { return GetACP() == 932 && GetOEMCP() == 932; }

// Called through a volatile pointer, so the compiler cannot drop the fill of a dead array.
void *(*volatile fillBytes)(void *, int, size_t) = std::memset;

// Leaves a non-zero pattern on the stack below the caller, where the frames of its
// next calls will be: a buffer such a call leaves unset then shows. Called through a
// volatile pointer too, so it is never inlined into its caller's frame. Every eighth
// byte is a NUL, so an unset buffer reads as a short string of X's, not past its end.
void FillStack() {
    char bytes[16384];
    fillBytes(bytes, 'X', sizeof bytes);
    for (size_t i = 7; i < sizeof bytes; i += 8) fillBytes(bytes + i, '\0', 1);
}
void (*volatile fillStackBelow)() = FillStack;

// Each CTest run of this program names the code page it sets up, so the cases that
// skip in one run are known to run in the other.
TEST(CodePage, IsTheOneThisRunAsksFor) {
    const char *required = std::getenv("ORVANE_REQUIRE_CODE_PAGE");
    if (!required) GTEST_SKIP() << "no code page asked for";
    EXPECT_EQ(static_cast<UINT>(std::atoi(required)), GetACP());
}

TEST(ApplicationTitle, KeepsTheFirstCharacterAndLowersTheRest) {
    EXPECT_EQ("Orvanecmd", Title("C:\\Program Files\\Orvane\\OrVaNeCmD.EXE"));
    EXPECT_EQ("orvanecmd", Title("C:\\x\\orvanecmd.exe"));
}

TEST(ApplicationTitle, CutAtTheFirstFullStopOfTheFileName) {
    EXPECT_EQ("My", Title("C:\\dir.with.dots\\MY.Viewer.Launcher.exe"));
    EXPECT_EQ("Plain", Title("C:\\dir.v2\\PLAIN"));
    EXPECT_EQ("", Title("C:\\dir\\.hidden.exe"));
}

TEST(ApplicationTitle, WithoutBackslashOrEmpty) {
    EXPECT_EQ("Name", Title("NAME.exe"));
    EXPECT_EQ("", Title(""));
    fillStackBelow();  // so that a null name read as an unset buffer shows
    EXPECT_EQ("", Title(nullptr));
    EXPECT_EQ("", Title("C:\\dir\\"));
}

TEST(ApplicationTitle, OemBytesAreConvertedToTheAnsiCodePage) {
    if (GetOEMCP() != 437 || GetACP() != 1252) GTEST_SKIP() << "needs OEM 437 and ANSI 1252";
    // 0x81 is u-umlaut in code page 437 and 0xFC in 1252; 0x9A (U-umlaut) lowers to 0xFC too.
    EXPECT_EQ(
        "\xfc"
        "ber\xfc",
        Title("C:\\dir\\\x81"
              "BER\x9a.exe"));
}

TEST(ApplicationTitle, DoubleByteCharactersAreUnits) {
    if (!JapaneseCodePage()) GTEST_SKIP() << "needs code page 932 (run with LC_ALL=ja_JP.UTF-8)";
    // "C:\表示\ソ能.Exe": the second bytes of 表, ソ and 能 are 0x5C, the backslash.
    EXPECT_EQ("\x83\x5c\x94\x5c", Title("C:\\\x95\x5c\x8e\xa6\\\x83\x5c\x94\x5c.Exe"));
    // "C:\ソ\Aソ.txt.exe": the first character keeps its case, ソ is left alone.
    EXPECT_EQ(
        "A\x83\x5c"
        "b",
        Title("C:\\\x83\x5c\\A\x83\x5c"
              "B.txt.exe"));
}

TEST(FullStopRule, AppendedAfterCharactersAboveFullStop) {
    EXPECT_EQ("Boom.", WithFullStop("Boom"));
    EXPECT_EQ("Error 42.", WithFullStop("Error 42"));
    EXPECT_EQ("key:.", WithFullStop("key:"));
    EXPECT_EQ("why?.", WithFullStop("why?"));
    EXPECT_EQ("a/b/.", WithFullStop("a/b/"));
    // Compared as unsigned bytes: a high ANSI character is above the full stop.
    EXPECT_EQ("caf\xe9.", WithFullStop("caf\xe9"));
}

TEST(FullStopRule, NotAppendedAfterFullStopOrBelow) {
    for (const char *message : {"Done.", "Stop!", "a,", "(x)", "'q'", "\"q\"", "x ", "-", "#", ""})
        EXPECT_EQ(message, WithFullStop(message));
}

TEST(FullStopRule, DoubleByteLastCharacterAlwaysGetsOne) {
    if (!JapaneseCodePage()) GTEST_SKIP() << "needs code page 932 (run with LC_ALL=ja_JP.UTF-8)";
    // "失敗" and "ソ" (second byte 0x5C).
    EXPECT_EQ("\x8e\xb8\x94\x73.", WithFullStop("\x8e\xb8\x94\x73"));
    EXPECT_EQ("\x83\x5c.", WithFullStop("\x83\x5c"));
    // "。" ends in a double-byte character too, so it is not taken for a full stop.
    EXPECT_EQ("\x81\x42.", WithFullStop("\x81\x42"));
}

TEST(HiddenWindow, IsAZeroSizedInvisibleTApplicationWindowTitledByTheProgram) {
    HWND window = Application->Handle();
    ASSERT_TRUE(IsWindow(window));
    char className[64] = "";
    GetClassNameA(window, className, sizeof className);
    EXPECT_STREQ("TApplication", className);
    EXPECT_EQ(0x84CA0000u, static_cast<DWORD>(GetWindowLongA(window, GWL_STYLE)));
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(nullptr, GetParent(window));

    RECT rect = {};
    GetWindowRect(window, &rect);
    EXPECT_EQ(0, rect.right - rect.left);
    EXPECT_EQ(0, rect.bottom - rect.top);
    EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN) / 2, rect.left);
    EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN) / 2, rect.top);

    char text[256] = "";
    GetWindowTextA(window, text, sizeof text);
    EXPECT_STREQ("Framework_test", text) << "title formed from Framework_Test.exe";
    EXPECT_EQ(std::string(text), Application->Title().c_str());
}

DWORD WINAPI FailToGetModuleFileName(HMODULE, LPSTR, DWORD) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
}

// A failing GetModuleFileNameA writes nothing: the title is then empty.
TEST(HiddenWindow, UntitledWhenTheModuleFileNameCannotBeRead) {
    ScopedSeam<seams::GetModuleFileNameAFn> failing(seams::GetModuleFileNameA, FailToGetModuleFileName);
    fillStackBelow();
    ApplicationObject application;
    ASSERT_TRUE(IsWindow(application.Handle()));
    EXPECT_EQ("", std::string(application.Title().c_str()));
}

HWND shownOwner = nullptr;
std::string shownText, shownCaption;
UINT shownStyle = 0;
int WINAPI RecordMessageBox(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
    shownOwner = owner;
    shownText = text;
    shownCaption = caption;
    shownStyle = style;
    return IDOK;
}

TEST(ShowException, BoxOwnedByTheHiddenWindowWithTheTitleAsCaption) {
    ScopedSeam<seams::MessageBoxAFn> box(seams::MessageBoxA, RecordMessageBox);
    Exception exception("Cannot open the picture");
    Application->ShowException(&exception);
    EXPECT_EQ(Application->Handle(), shownOwner);
    EXPECT_EQ("Cannot open the picture.", shownText);
    EXPECT_EQ("Framework_test", shownCaption);
    EXPECT_EQ(static_cast<UINT>(MB_OK | MB_ICONERROR), shownStyle);
    EXPECT_EQ(0x10u, shownStyle);
}

TEST(ShowException, CaptionIsReadBackFromTheWindow) {
    ScopedSeam<seams::MessageBoxAFn> box(seams::MessageBoxA, RecordMessageBox);
    SetWindowTextA(Application->Handle(), "Renamed");
    Exception exception("");
    Application->ShowException(&exception);
    SetWindowTextA(Application->Handle(), "Framework_test");
    EXPECT_EQ("Renamed", shownCaption);
    EXPECT_EQ("", shownText);
}

TEST(Run, RegistersItsCleanUpOnce) {
    Application->Run();
    EXPECT_TRUE(Application->Running());
    Application->Run();  // a second Run registers nothing new: exit procedures stay bounded
    EXPECT_TRUE(Application->Running());
}

void ExitProcedureThatDoesNothing() {}

// The table holds 32 procedures, Run's clean-up among them; one more is refused
// with an Exception and changes nothing.
TEST(ExitProcedures, OneMoreThanTheTableHoldsThrows) {
    Application->Run();
    int added = 0;
    std::string refusal;
    while (refusal.empty() && added < 40) {
        try {
            AddExitProc(ExitProcedureThatDoesNothing);
            ++added;
        } catch (const Exception &exception) {
            refusal = exception.Message.c_str();
        }
    }
    EXPECT_EQ(added, 31);
    EXPECT_EQ(refusal, "too many exit procedures");
    EXPECT_THROW(AddExitProc(ExitProcedureThatDoesNothing), Exception);
}

}  // namespace
