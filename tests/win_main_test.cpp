// WinMain in-process: the command line it reads, the framework calls, the shell
// launch and the linger go through the seams; exceptions end in the framework's
// error box.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "framework/application.h"
#include "launcher/win_main.h"
#include "seams/kernel.h"
#include "seams/shell.h"
#include "seams/user.h"
#include "tests/win_process.h"

namespace {

std::vector<std::string> calls;
const wchar_t *receivedParameters = nullptr;
std::wstring commandLine;
LPWSTR WINAPI GetTestCommandLine() { return &commandLine[0]; }

enum class Raise { Nothing, Exception, DerivedException, Other };
Raise raiseInInitialize = Raise::Nothing;
Raise raiseInRun = Raise::Nothing;
Raise raiseInShell = Raise::Nothing;

class DerivedException : public Exception {
public:
    using Exception::Exception;
};

void RaiseIfAsked(Raise what, const char *where) {
    const std::string message = std::string("failure in ") + where;
    switch (what) {
        case Raise::Nothing:
            return;
        case Raise::Exception:
            throw Exception(message.c_str());
        case Raise::DerivedException:
            throw DerivedException(message.c_str());
        case Raise::Other:
            throw std::runtime_error(message);
    }
}

HINSTANCE WINAPI RecordShellExecute(HWND window, LPCWSTR verb, LPCWSTR file, LPCWSTR parameters, LPCWSTR folder,
                                    INT show) {
    receivedParameters = parameters;
    calls.push_back(std::string("ShellExecuteW(") + (window ? "window" : "NULL") + ", " + Utf8FromWide(verb) + ", " +
                    Utf8FromWide(file) + ", [" + Utf8FromWide(parameters) + "], " +
                    (folder ? Utf8FromWide(folder) : "NULL") + ", " + std::to_string(show) + ")");
    RaiseIfAsked(raiseInShell, "shell");
    return reinterpret_cast<HINSTANCE>(static_cast<INT_PTR>(42));
}

VOID WINAPI RecordSleep(DWORD milliseconds) { calls.push_back("Sleep(" + std::to_string(milliseconds) + ")"); }

HWND boxOwner = nullptr;
int WINAPI RecordMessageBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT style) {
    boxOwner = owner;
    calls.push_back("MessageBoxW([" + Utf8FromWide(text) + "], [" + Utf8FromWide(caption) + "], " +
                    std::to_string(style) + ")");
    return IDOK;
}

class WinMainTest : public ::testing::Test {
protected:
    void SetUp() override {
        calls.clear();
        receivedParameters = nullptr;
        boxOwner = nullptr;
        raiseInInitialize = raiseInRun = raiseInShell = Raise::Nothing;
        InitProc = [] {
            calls.push_back("Initialize");
            RaiseIfAsked(raiseInInitialize, "Initialize");
        };
        RunProc = [] {
            calls.push_back("Run");
            RaiseIfAsked(raiseInRun, "Run");
        };
    }
    void TearDown() override {
        InitProc = nullptr;
        RunProc = nullptr;
    }

    // WinMain with the command line `"C:\Orvane\orvanecmd.exe"  <arguments>`, and the
    // arguments' UTF-8 form as the argument text, which it does not use.
    int CallWinMain(const std::wstring &arguments) {
        commandLine = kProgram + arguments;
        const std::string argumentText = Utf8FromWide(arguments);
        return WinMain(GetModuleHandleA(nullptr), nullptr, const_cast<LPSTR>(argumentText.c_str()), SW_SHOWMINIMIZED);
    }
    // Where the parameters start in the command line, and where it ends.
    const wchar_t *InCommandLine(size_t argumentOffset) const {
        return commandLine.c_str() + kProgram.size() + argumentOffset;
    }
    const wchar_t *CommandLineEnd() const { return commandLine.c_str() + commandLine.size(); }

    std::string ExpectedBox(const char *text) {
        return std::string("MessageBoxW([") + text + "], [" + Application->Title().c_str() + "], 16)";
    }

    const std::wstring kProgram = L"\"C:\\Orvane\\orvanecmd.exe\"  ";
    ScopedSeam<seams::GetCommandLineWFn> commandLine_{seams::GetCommandLineW, GetTestCommandLine};
    ScopedSeam<seams::ShellExecuteWFn> shell_{seams::ShellExecuteW, RecordShellExecute};
    ScopedSeam<seams::SleepFn> sleep_{seams::Sleep, RecordSleep};
    ScopedSeam<seams::MessageBoxWFn> box_{seams::MessageBoxW, RecordMessageBox};
};

TEST_F(WinMainTest, StartsTheViewerWithTheTailThenLingers) {
    EXPECT_EQ(0, CallWinMain(L"0123456789ABCD \"C:\\My Files\\a.png\"  -x "));
    const std::vector<std::string> expected = {
        "Initialize", "Run", "ShellExecuteW(NULL, open, Orvane.exe, [ \"C:\\My Files\\a.png\"  -x ], NULL, 1)",
        "Sleep(120000)"};
    EXPECT_EQ(expected, calls);
    // A pointer into the process's UTF-16 command line, not a copy.
    EXPECT_EQ(InCommandLine(14), receivedParameters);
}

// The tail goes on unconverted: no best fit turns U+FF02 into a quote or U+00AD
// into a hyphen. The characters of the prefix are counted by their ANSI bytes.
TEST_F(WinMainTest, TheTailOfTheUtf16CommandLineIsPassedAsItStands) {
    const std::wstring tail = L"\uFF02C:\\a b.png\uFF02 \u00AD\u00ADx 日本 \U0001F600";
    EXPECT_EQ(0, CallWinMain(L"0123456789ABCD" + tail));
    EXPECT_EQ(InCommandLine(14), receivedParameters);
    EXPECT_EQ(tail, receivedParameters);
    // 日 is 2 bytes on 932 and "?" on 1252: the parameters start after 本 or after 日.
    EXPECT_EQ(0, CallWinMain(L"0123456789AB日本tail"));
    EXPECT_EQ(GetACP() == 932 ? std::wstring(L"本tail") : std::wstring(L"tail"), receivedParameters);
}

TEST_F(WinMainTest, ArgumentTextOfFourteenBytesOrLessGivesEmptyParameters) {
    for (const wchar_t *arguments : {L"0123456789ABCD", L"short", L""}) {
        calls.clear();
        EXPECT_EQ(0, CallWinMain(arguments));
        ASSERT_EQ(4u, calls.size()) << Utf8FromWide(arguments);
        EXPECT_EQ("ShellExecuteW(NULL, open, Orvane.exe, [], NULL, 1)", calls[2]);
        EXPECT_EQ(CommandLineEnd(), receivedParameters);
        EXPECT_EQ("Sleep(120000)", calls[3]);
    }
}

TEST_F(WinMainTest, ExceptionFromInitializeIsShownAndNothingStarts) {
    for (Raise kind : {Raise::Exception, Raise::DerivedException}) {
        calls.clear();
        raiseInInitialize = kind;
        EXPECT_EQ(0, CallWinMain(L"0123456789ABCDtail"));
        const std::vector<std::string> expected = {"Initialize", ExpectedBox("failure in Initialize.")};
        EXPECT_EQ(expected, calls);
        EXPECT_EQ(Application->Handle(), boxOwner);
    }
}

TEST_F(WinMainTest, ExceptionFromRunIsShownAndNothingStarts) {
    for (Raise kind : {Raise::Exception, Raise::DerivedException}) {
        calls.clear();
        raiseInRun = kind;
        EXPECT_EQ(0, CallWinMain(L"0123456789ABCDtail"));
        const std::vector<std::string> expected = {"Initialize", "Run", ExpectedBox("failure in Run.")};
        EXPECT_EQ(expected, calls);
    }
}

TEST_F(WinMainTest, ExceptionFromTheLaunchSkipsTheLinger) {
    raiseInShell = Raise::Exception;
    EXPECT_EQ(0, CallWinMain(L"0123456789ABCDtail"));
    ASSERT_EQ(4u, calls.size());
    EXPECT_EQ(ExpectedBox("failure in shell."), calls[3]);
}

TEST_F(WinMainTest, OtherExceptionsShowAnEmptyBox) {
    raiseInInitialize = Raise::Other;
    EXPECT_EQ(0, CallWinMain(L"0123456789ABCDtail"));
    const std::vector<std::string> expected = {"Initialize", ExpectedBox("")};
    EXPECT_EQ(expected, calls);

    calls.clear();
    raiseInInitialize = Raise::Nothing;
    raiseInShell = Raise::Other;
    EXPECT_EQ(0, CallWinMain(L"0123456789ABCDtail"));
    ASSERT_EQ(4u, calls.size());
    EXPECT_EQ(ExpectedBox(""), calls[3]);
}

// The real error box on the virtual display: found, read back, closed with OK.
struct FoundBox {
    std::string caption;
    std::string text;
    bool found = false;
    HWND okButton = nullptr;
};

BOOL CALLBACK CollectStaticText(HWND child, LPARAM found) {
    char className[32] = "";
    GetClassNameA(child, className, sizeof className);
    char text[512] = "";
    GetWindowTextA(child, text, sizeof text);
    if (lstrcmpiA(className, "Static") == 0 && text[0]) reinterpret_cast<FoundBox *>(found)->text = text;
    return TRUE;
}

BOOL CALLBACK FindOurBox(HWND window, LPARAM found) {
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    char className[32] = "";
    GetClassNameA(window, className, sizeof className);
    if (process != GetCurrentProcessId() || lstrcmpA(className, "#32770") != 0 || !IsWindowVisible(window)) return TRUE;
    auto *box = reinterpret_cast<FoundBox *>(found);
    char caption[256] = "";
    GetWindowTextA(window, caption, sizeof caption);
    box->caption = caption;
    EnumChildWindows(window, CollectStaticText, found);
    box->found = true;
    // Press OK.
    box->okButton = GetDlgItem(window, IDOK);
    PostMessageA(box->okButton, BM_CLICK, 0, 0);
    return FALSE;
}

TEST(RealErrorBox, IsShownReadAndClosedThenWinMainReturns) {
    InitProc = [] { throw Exception("The viewer could not be prepared"); };
    ScopedSeam<seams::SleepFn> noLinger(seams::Sleep, RecordSleep);
    calls.clear();

    FoundBox box;
    ULONGLONG closedAt = 0;
    std::thread watcher([&] {
        for (int attempt = 0; attempt < 200 && !box.found; ++attempt) {
            Sleep(50);
            EnumWindows(FindOurBox, reinterpret_cast<LPARAM>(&box));
        }
        closedAt = GetTickCount64();
    });
    const int result = WinMain(GetModuleHandleA(nullptr), nullptr, const_cast<LPSTR>("0123456789ABCDtail"), 1);
    const ULONGLONG returnedAt = GetTickCount64();
    watcher.join();
    InitProc = nullptr;

    EXPECT_EQ(0, result);
    ASSERT_TRUE(box.found) << "no error box appeared";
    EXPECT_NE(nullptr, box.okButton) << "the box has an OK button";
    EXPECT_EQ("The viewer could not be prepared.", box.text);
    EXPECT_EQ(std::string(Application->Title().c_str()), box.caption);
    // Wine on a bare X server (no window manager) takes about 2 s to return from a
    // closed box; the 120 s linger would be far beyond this bound.
    EXPECT_LT(static_cast<long long>(returnedAt) - static_cast<long long>(closedAt), 5000)
        << "WinMain did not return at once after OK";
    EXPECT_TRUE(calls.empty()) << "nothing is started and nothing lingers after an error";
}

}  // namespace
