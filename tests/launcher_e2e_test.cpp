// orvanecmd.exe started for real with exact command lines, in a folder that holds
// the stand-in viewer (Orvane.exe records how it was started).
#include <gtest/gtest.h>

#include <string>

#include "tests/code_page_check.h"
#include "tests/win_process.h"

namespace {

struct ViewerStart {
    std::string show;
    std::string parameters;
    std::wstring wideParameters;  // what GetCommandLineW gave the viewer
};

// The record's last field: UTF-16 units, 4 hexadecimal digits each.
std::wstring UnitsFromHex(const std::string &hex) {
    std::wstring units;
    for (size_t at = 0; at + 4 <= hex.size(); at += 4)
        units += static_cast<wchar_t>(std::stoul(hex.substr(at, 4), nullptr, 16));
    return units;
}

// The first start recorded in the folder, waiting for it up to timeoutMs.
bool WaitForViewer(const TempFolder &folder, DWORD timeoutMs, ViewerStart *start) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    do {
        const std::string record = ReadWholeFile(folder.File("Orvane-received.txt"));
        const size_t end = record.find('\n');
        if (end != std::string::npos) {
            // pid TAB show TAB parameters TAB command line
            const size_t a = record.find('\t'), b = record.find('\t', a + 1), c = record.find('\t', b + 1);
            start->show = record.substr(a + 1, b - a - 1);
            start->parameters = record.substr(b + 1, c - b - 1);
            const size_t last = record.rfind('\t', end);
            start->wideParameters = UnitsFromHex(record.substr(last + 1, end - last - 1));
            return true;
        }
        Sleep(100);
    } while (GetTickCount64() < deadline);
    return false;
}

class LauncherRun : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(CopyProgram(SiblingProgramPath("orvanecmd.exe"), folder_.Path())); }

    // Starts the launcher with `arguments` after its quoted path and `blanks`.
    std::string CommandLine(const std::string &arguments, const char *blanks = "  ") {
        return "\"" + folder_.File("orvanecmd.exe") + "\"" + blanks + arguments;
    }

    // The program is named explicitly, so the command line reaches it exactly as written.
    ChildOptions InFolder() {
        ChildOptions options;
        options.applicationName = folder_.File("orvanecmd.exe");
        options.workingFolder = folder_.Path();
        options.captureStdout = false;
        return options;
    }

    void ExpectViewerParameters(const std::string &commandLine, const std::string &expected, ChildOptions options) {
        ChildProcess launcher(commandLine, options);
        ASSERT_TRUE(launcher.Started());
        ViewerStart start;
        ASSERT_TRUE(WaitForViewer(folder_, 20000, &start)) << commandLine;
        EXPECT_EQ(expected, start.parameters) << commandLine;
        EXPECT_EQ("1", start.show) << "the viewer is always shown normally";
        // Still lingering some seconds after the viewer has started.
        EXPECT_FALSE(launcher.WaitExit(3000));
        EXPECT_EQ(static_cast<DWORD>(STILL_ACTIVE), launcher.ExitCode());
    }

    // The viewer's UTF-16 parameters when the launcher is started with CreateProcessW
    // and `arguments` after its quoted path and two blanks.
    std::wstring ViewerParametersFromUtf16(const std::wstring &arguments) {
        // The last call's viewer may still hold the record open after writing its line (its
        // handle does not share deletion): the record is gone before this launcher starts,
        // or the earlier line would be read as this one's.
        const std::string record = folder_.File("Orvane-received.txt");
        for (int tries = 0; !DeleteFileA(record.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND; ++tries) {
            if (tries == 1000) return L"(the record of an earlier viewer could not be deleted)";
            Sleep(10);
        }
        const std::string path = folder_.File("orvanecmd.exe");
        ChildProcess launcher(L"\"" + std::wstring(path.begin(), path.end()) + L"\"  " + arguments, InFolder());
        ViewerStart start;
        if (!launcher.Started() || !WaitForViewer(folder_, 20000, &start)) return L"(the viewer was not started)";
        return start.wideParameters;
    }

    TempFolder folder_;
};

TEST_F(LauncherRun, ViewerGetsTheTailVerbatim) {
    ASSERT_TRUE(CopyProgram(StandInProgramPath("Orvane.exe"), folder_.Path()));
    ExpectViewerParameters(CommandLine("PREFIX-14-BYTE \"C:\\My Pictures\\a b.png\"  /x  \"\" \\\\tail "),
                           " \"C:\\My Pictures\\a b.png\"  /x  \"\" \\\\tail ", InFolder());
}

TEST_F(LauncherRun, ProgramNameEndedByATabAndLeadingBlanks) {
    ASSERT_TRUE(CopyProgram(StandInProgramPath("Orvane.exe"), folder_.Path()));
    std::string path = folder_.File("orvanecmd.exe");
    ExpectViewerParameters("  " + path + "\t \t0123456789abcdtail one", "tail one", InFolder());
}

TEST_F(LauncherRun, TabInsideTheQuotedNameEndsIt) {
    ASSERT_TRUE(CopyProgram(StandInProgramPath("Orvane.exe"), folder_.Path()));
    // The argument text starts inside the quoted name: cmd.exe" ABCDE are the 14 bytes.
    ExpectViewerParameters("\"orvane\tcmd.exe\" ABCDEFGHIJKLMN tail", "FGHIJKLMN tail", InFolder());
}

TEST_F(LauncherRun, ExactlyFourteenBytesAndShorterGiveEmptyParameters) {
    ASSERT_TRUE(CopyProgram(StandInProgramPath("Orvane.exe"), folder_.Path()));
    for (const char *arguments : {"0123456789abcd", "short", ""}) {
        DeleteFileA(folder_.File("Orvane-received.txt").c_str());
        ExpectViewerParameters(CommandLine(arguments), "", InFolder());
    }
}

TEST_F(LauncherRun, StartedMinimisedStillShowsTheViewerNormally) {
    ASSERT_TRUE(CopyProgram(StandInProgramPath("Orvane.exe"), folder_.Path()));
    ChildOptions options = InFolder();
    options.useShowWindow = true;
    options.showWindow = SW_SHOWMINNOACTIVE;
    ExpectViewerParameters(CommandLine("0123456789abcd-m"), "-m", options);
}

struct Utf16Row {
    const char *what;
    const wchar_t *prefix;  // 14 bytes in the ANSI code page, or as the row says
    const wchar_t *tail;
    const wchar_t *expected1252;  // what the viewer gets on code page 1252; null: the tail
    const wchar_t *expected932;   // on 932; null: the tail
};

// Started with a UTF-16 command line, the launcher hands the viewer the tail exactly:
// no best fit turns a fullwidth quote into a quote (1252) or soft hyphens into "--"
// (932), and nothing outside the ANSI code page becomes "?". The prefix is counted in
// ANSI bytes; a character across byte 14 goes with the prefix.
TEST_F(LauncherRun, ViewerGetsTheUtf16TailExactly) {
    ASSERT_TRUE(CopyProgram(StandInProgramPath("Orvane.exe"), folder_.Path()));
    const Utf16Row rows[] = {
        {"fullwidth quotation marks", L"PREFIX-14-BYTE", L" \uFF02C:\\My Pictures\\a b.png\uFF02 /x", nullptr, nullptr},
        {"soft hyphens", L"PREFIX-14-BYTE", L"\u00AD\u00ADoutput=C:\\x \u00ADd", nullptr, nullptr},
        {"hyphens U+2010", L"PREFIX-14-BYTE", L"\u2010\u2010help \u2010v", nullptr, nullptr},
        {"A with macron", L"PREFIX-14-BYTE", L"\u0100bc.png \u0100", nullptr, nullptr},
        {"Japanese", L"PREFIX-14-BYTE", L"C:\\写真\\日本語 ファイル.png", nullptr, nullptr},
        {"Korean", L"PREFIX-14-BYTE", L"한국어 사진.png", nullptr, nullptr},
        {"Cyrillic", L"PREFIX-14-BYTE", L"Привет мир.png", nullptr, nullptr},
        {"emoji (a surrogate pair)", L"PREFIX-14-BYTE", L"\U0001F600 smile\U0001F600", nullptr, nullptr},
        // 日 is "?" on 1252 and two bytes on 932, at bytes 13 and 14: dropped whole.
        {"double-byte character across byte 14", L"PREFIX-13-BYT日", L"tail", nullptr, nullptr},
        {"double-byte character at bytes 12 and 13", L"PREFIX-12-BY", L"日本tail", L"tail", L"本tail"},
        // The emoji is "??" on both; U+2010 is the two-byte best fit 0x815D on 932.
        {"replacement of two bytes across byte 14", L"PREFIX-13-BYT\U0001F600", L"tail", nullptr, nullptr},
        {"best fit of two bytes across byte 14", L"PREFIX-13-BYT\u2010", L"tail", nullptr, nullptr},
        {"best fit of two bytes at bytes 12 and 13", L"PREFIX-12-BY", L"\u2010\u2010tail", L"tail", L"\u2010tail"},
        {"fewer than 14 bytes", L"日本語", L"", nullptr, nullptr},
    };
    const bool japanese = GetACP() == 932;
    for (const Utf16Row &row : rows) {
        const wchar_t *expected = japanese ? row.expected932 : row.expected1252;
        EXPECT_EQ(expected ? expected : row.tail, ViewerParametersFromUtf16(std::wstring(row.prefix) + row.tail))
            << row.what << " (code page " << GetACP() << ")";
    }
}

BOOL CALLBACK CountVisibleWindowsOf(HWND window, LPARAM state) {
    auto *counter = reinterpret_cast<std::pair<DWORD, int> *>(state);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == counter->first && IsWindowVisible(window)) ++counter->second;
    return TRUE;
}

TEST_F(LauncherRun, WithoutAViewerNothingIsShownAndItLingers) {
    ChildProcess launcher(CommandLine("0123456789abcdtail"), InFolder());
    ASSERT_TRUE(launcher.Started());
    EXPECT_FALSE(launcher.WaitExit(5000));
    std::pair<DWORD, int> visible(launcher.Id(), 0);
    EnumWindows(CountVisibleWindowsOf, reinterpret_cast<LPARAM>(&visible));
    EXPECT_EQ(0, visible.second) << "no error box, no window of its own";
    EXPECT_EQ("", ReadWholeFile(folder_.File("Orvane-received.txt")));
}

// Slow: waits out the whole 120 s linger, once as started plainly and once, at the
// same time from a folder of its own, started minimised.
TEST_F(LauncherRun, SLOW_LingersTwoMinutesThenExitsWithZero) {
    ASSERT_TRUE(CopyProgram(StandInProgramPath("Orvane.exe"), folder_.Path()));
    TempFolder minimisedFolder;
    ASSERT_TRUE(CopyProgram(SiblingProgramPath("orvanecmd.exe"), minimisedFolder.Path()));
    ChildOptions minimisedOptions;
    minimisedOptions.applicationName = minimisedFolder.File("orvanecmd.exe");
    minimisedOptions.workingFolder = minimisedFolder.Path();
    minimisedOptions.captureStdout = false;
    minimisedOptions.useShowWindow = true;
    minimisedOptions.showWindow = SW_SHOWMINNOACTIVE;

    const ULONGLONG begin = GetTickCount64();
    ChildProcess launcher(CommandLine("0123456789abcdtail"), InFolder());
    ASSERT_TRUE(launcher.Started());
    ChildProcess minimised("\"" + minimisedOptions.applicationName + "\" 0123456789abcdtail", minimisedOptions);
    ASSERT_TRUE(minimised.Started());
    ViewerStart start;
    ASSERT_TRUE(WaitForViewer(folder_, 20000, &start));
    EXPECT_EQ("tail", start.parameters);
    EXPECT_FALSE(launcher.WaitExit(110000)) << "left before the linger was over";
    ASSERT_TRUE(launcher.WaitExit(30000)) << "still running long after 120 s";
    EXPECT_GE(GetTickCount64() - begin, 119000u);
    EXPECT_EQ(0u, launcher.ExitCode());
    ASSERT_TRUE(minimised.WaitExit(30000)) << "started minimised, still running long after 120 s";
    EXPECT_EQ(0u, minimised.ExitCode());
}

}  // namespace

#if ORVANE_STACK_GUARD
TEST(StackGuard, SeededAtEachStartAndASmashedStackEndsTheProcess) {
    const std::string child = "\"" + SiblingProgramPath("stack_guard_child.exe") + "\"";
    std::string guards[2];
    for (std::string &guard : guards) {
        ChildProcess run(child + " guard");
        ASSERT_TRUE(run.WaitForLine("guard ", 20000, &guard)) << run.UnreadOutput();
    }
    // Neither the fixed fallback twice nor a value that never changes.
    EXPECT_NE(guards[0], guards[1]);
    // On x64 the upper half is random too; a guard seeded with 4 bytes would still differ.
    if (sizeof(void *) == 8) {
        for (const std::string &guard : guards) EXPECT_NE(std::stoull(guard.substr(6), nullptr, 16) >> 32, 0u) << guard;
    }

    // Both load a DLL that prints a line when it is detached: a normal end runs its
    // handler; no handler may run on a smashed stack.
    ChildProcess fits(child + " fill 16 detach_probe.dll");
    ASSERT_TRUE(fits.WaitExit(20000));
    EXPECT_EQ(fits.ExitCode(), 0u) << fits.UnreadOutput();
    EXPECT_TRUE(fits.WaitForLine("detached", 20000));

    ChildProcess smash(child + " fill 64 detach_probe.dll");
    ASSERT_TRUE(smash.WaitExit(20000));
    EXPECT_EQ(smash.ExitCode(), 0xC0000409u) << smash.UnreadOutput();  // STATUS_STACK_BUFFER_OVERRUN
    EXPECT_EQ(smash.UnreadOutput().find("returned"), std::string::npos);
    EXPECT_FALSE(smash.WaitForLine("detached", 20000)) << "read to the end of its output";

    ChildProcess fortifyCheck(child + " chk-fail");
    ASSERT_TRUE(fortifyCheck.WaitExit(20000));
    EXPECT_EQ(fortifyCheck.ExitCode(), 0xC0000409u) << fortifyCheck.UnreadOutput();
}
#endif
