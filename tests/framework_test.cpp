// The framework as far as the launcher relies on it: the title, the hidden
// window, the full-stop rule and the error box it shows.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "framework/application.h"
#include "seams/kernel.h"
#include "seams/user.h"
#include "tests/code_page_check.h"

namespace {

std::wstring Title(const wchar_t *moduleFileName) { return ApplicationTitleFromModuleName(moduleFileName); }
std::string WithFullStop(const char *message) { return MessageWithFullStop(message).c_str(); }

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

TEST(ApplicationTitle, KeepsTheFirstCharacterAndLowersTheRest) {
    EXPECT_EQ(L"Orvanecmd", Title(L"C:\\Program Files\\Orvane\\OrVaNeCmD.EXE"));
    EXPECT_EQ(L"orvanecmd", Title(L"C:\\x\\orvanecmd.exe"));
}

TEST(ApplicationTitle, CutAtTheFirstFullStopOfTheFileName) {
    EXPECT_EQ(L"My", Title(L"C:\\dir.with.dots\\MY.Viewer.Launcher.exe"));
    EXPECT_EQ(L"Plain", Title(L"C:\\dir.v2\\PLAIN"));
    EXPECT_EQ(L"", Title(L"C:\\dir\\.hidden.exe"));
}

TEST(ApplicationTitle, WithoutBackslashOrEmpty) {
    EXPECT_EQ(L"Name", Title(L"NAME.exe"));
    EXPECT_EQ(L"", Title(L""));
    EXPECT_EQ(L"", Title(nullptr));
    EXPECT_EQ(L"", Title(L"C:\\dir\\"));
}

// The name is read in UTF-16: on every code page, characters outside it (Cyrillic and
// U+0100 on 1252, Korean on 932) are kept and lowered, and Japanese ones whose
// Shift-JIS second byte is 0x5C are not taken for backslashes.
TEST(ApplicationTitle, CharactersOfAnyCodePageAreKept) {
    EXPECT_EQ(L"Über\u0101ж", Title(L"C:\\Программы\\ÜBER\u0100Ж.exe"));
    EXPECT_EQ(L"한국어", Title(L"D:\\한국\\한국어.exe"));
    EXPECT_EQ(L"ソ能", Title(L"C:\\表示\\ソ能.Exe"));
    EXPECT_EQ(L"Aソb", Title(L"C:\\ソ\\AソB.txt.exe"));
}

// A first character of two UTF-16 units keeps both; a lone high surrogate is one.
// Fullwidth letters (above the surrogates) are lowered like any other.
TEST(ApplicationTitle, FirstCharacterOfASurrogatePairKeepsItsCase) {
    const wchar_t *rows[][2] = {
        {L"C:\\x\\\U0001D400BC.exe", L"\U0001D400bc"},
        {L"C:\\x\\\U0001D400.exe", L"\U0001D400"},
        {L"C:\\x\\\xD835"
         L"BC.exe",
         L"\xD835"
         L"bc"},
        {L"C:\\x\\\xD835\uFF22.exe", L"\xD835\uFF42"},
        {L"C:\\x\\\uFF21\uFF22\uFF23.exe", L"\uFF21\uFF42\uFF43"},
    };
    for (const auto &row : rows) EXPECT_EQ(std::wstring(row[1]), Title(row[0]));
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

// The messages are Shift-JIS on every code page.
TEST(FullStopRule, DoubleByteLastCharacterAlwaysGetsOne) {
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
    EXPECT_EQ(L"Framework_test", Application->WideTitle());
}

DWORD WINAPI FailToGetModuleFileName(HMODULE, LPWSTR, DWORD) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
}

const wchar_t kCyrillicModule[] = L"C:\\Программы\\ПРОСМОТР.exe";
DWORD WINAPI GetCyrillicModuleFileName(HMODULE, LPWSTR fileName, DWORD size) {
    lstrcpynW(fileName, kCyrillicModule, static_cast<int>(size));
    return static_cast<DWORD>(lstrlenW(fileName));
}

// A failing GetModuleFileNameW writes nothing: the title is then empty. A name
// outside the ANSI code page (Cyrillic on 1252) titles the window right.
TEST(HiddenWindow, TitledFromTheUtf16ModuleFileName) {
    {
        ScopedSeam<seams::GetModuleFileNameWFn> failing(seams::GetModuleFileNameW, FailToGetModuleFileName);
        fillStackBelow();
        ApplicationObject application;
        ASSERT_TRUE(IsWindow(application.Handle()));
        EXPECT_EQ("", std::string(application.Title().c_str()));
        EXPECT_EQ(L"", application.WideTitle());
    }
    ScopedSeam<seams::GetModuleFileNameWFn> cyrillic(seams::GetModuleFileNameW, GetCyrillicModuleFileName);
    ApplicationObject application;
    wchar_t text[256] = L"";
    GetWindowTextW(application.Handle(), text, 256);
    EXPECT_EQ(std::wstring(L"Просмотр"), text);
    EXPECT_EQ(L"Просмотр", application.WideTitle());
}

HWND shownOwner = nullptr;
std::wstring shownText, shownCaption;
UINT shownStyle = 0;
int WINAPI RecordMessageBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) {
    shownOwner = owner;
    shownText = text;
    shownCaption = caption;
    shownStyle = style;
    return IDOK;
}

TEST(ShowException, BoxOwnedByTheHiddenWindowWithTheTitleAsCaption) {
    ScopedSeam<seams::MessageBoxWFn> box(seams::MessageBoxW, RecordMessageBox);
    Exception exception("Cannot open the picture");
    Application->ShowException(&exception);
    EXPECT_EQ(Application->Handle(), shownOwner);
    EXPECT_EQ(L"Cannot open the picture.", shownText);
    EXPECT_EQ(L"Framework_test", shownCaption);
    EXPECT_EQ(static_cast<UINT>(MB_OK | MB_ICONERROR), shownStyle);
    EXPECT_EQ(0x10u, shownStyle);
}

// Read back in UTF-16: a title outside the ANSI code page (Korean on both) stays right.
TEST(ShowException, CaptionIsReadBackFromTheWindow) {
    ScopedSeam<seams::MessageBoxWFn> box(seams::MessageBoxW, RecordMessageBox);
    SetWindowTextW(Application->Handle(), L"Renamed 한국어");
    Exception exception("");
    Application->ShowException(&exception);
    SetWindowTextW(Application->Handle(), L"Framework_test");
    EXPECT_EQ(L"Renamed 한국어", shownCaption);
    EXPECT_EQ(L"", shownText);
}

// The system's own texts are Shift-JIS: shown right whatever the ANSI code page.
TEST(ShowException, ShiftJisMessageShownRightOnEveryCodePage) {
    ScopedSeam<seams::MessageBoxWFn> box(seams::MessageBoxW, RecordMessageBox);
    // "ファイルマッピングオブジェクトのハンドル取得に失敗"
    Exception exception(
        "\x83\x74\x83\x40\x83\x43\x83\x8b\x83\x7d\x83\x62\x83\x73\x83\x93\x83\x4f\x83\x49\x83\x75\x83\x57\x83\x46"
        "\x83\x4e\x83\x67\x82\xcc\x83\x6e\x83\x93\x83\x68\x83\x8b\x8e\xe6\x93\xbe\x82\xc9\x8e\xb8\x94\x73");
    Application->ShowException(&exception);
    EXPECT_EQ(L"ファイルマッピングオブジェクトのハンドル取得に失敗.", shownText);
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
