#include "support/single_instance.h"

#include <aclapi.h>
#include <gtest/gtest.h>
#include <sddl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "framework/exception.h"
#include "support/handoff_receiver.h"
#include "support/handoff_ticket.h"
#include "support/shared_memory.h"
#include "tests/array_alloc_probe.h"
#include "tests/code_page_check.h"
#include "tests/children/child_io.h"
#include "tests/win_process.h"
#include "tools/handoff_outcome_name.h"

namespace {

const DWORD kLineWaitMs = 30000;
const char kBlockSuffix[] = "_multiple_data";

// iconv -f UTF-8 -t CP932 of "ファイルマッピングオブジェクトのハンドル取得に失敗"
const char kMappingFailedSjis[] =
    "\x83\x74\x83\x40\x83\x43\x83\x8b\x83\x7d\x83\x62\x83\x73\x83\x93\x83\x4f\x83\x49\x83\x75\x83\x57\x83\x46"
    "\x83\x4e\x83\x67\x82\xcc\x83\x6e\x83\x93\x83\x68\x83\x8b\x8e\xe6\x93\xbe\x82\xc9\x8e\xb8\x94\x73";
// iconv -f UTF-8 -t CP932 of "引き渡すテキストが長すぎます"
const char kDataTooLongSjis[] =
    "\x88\xf8\x82\xab\x93\x6e\x82\xb7\x83\x65\x83\x4c\x83\x58\x83\x67\x82\xaa\x92\xb7\x82\xb7\x82\xac\x82\xdc\x82\xb7";
// iconv -f UTF-8 -t CP932 of "ウィンドウ名とクラス名がどちらも空です"
const char kNoNamesSjis[] =
    "\x83\x45\x83\x42\x83\x93\x83\x68\x83\x45\x96\xbc\x82\xc6\x83\x4e\x83\x89\x83\x58\x96\xbc\x82\xaa\x82\xc7"
    "\x82\xbf\x82\xe7\x82\xe0\x8b\xf3\x82\xc5\x82\xb7";
// iconv -f UTF-8 -t CP932 of "引き渡しを受けるウィンドウを作成できません"
const char kNoWindowSjis[] =
    "\x88\xf8\x82\xab\x93\x6e\x82\xb5\x82\xf0\x8e\xf3\x82\xaf\x82\xe9\x83\x45\x83\x42\x83\x93\x83\x68\x83\x45\x82\xf0"
    "\x8d\xec\x90\xac\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1";
// iconv -f UTF-8 -t CP932 of "表示テスト" (the first character ends in 0x5c)
const char kJapaneseData[] = "\x95\x5c\x8e\xa6\x83\x65\x83\x58\x83\x67";

// A window name and class name of its own for each test.
struct Instance {
    std::string window = "OrvaneWindow_" + UniqueSuffix();
    std::string cls = "OrvaneClass_" + UniqueSuffix();
    std::string BlockName() const { return window + cls + kBlockSuffix; }
};

std::string Quoted(const std::string &text) { return "\"" + text + "\""; }

// The receiver written the old way, which reports each WM_COPYDATA's fields.
std::unique_ptr<ChildProcess> StartReceiver(const Instance &names, const std::string &options = "",
                                            const std::string &program = SiblingProgramPath("old_receiver.exe")) {
    std::unique_ptr<ChildProcess> receiver(
        new ChildProcess(Quoted(program) + " " + names.cls + " " + names.window + " " + options));
    return receiver;
}

std::unique_ptr<ChildProcess> StartHandOff(const Instance &names, const std::string &options,
                                           const std::string &program = SiblingProgramPath("handoff_child.exe")) {
    return std::unique_ptr<ChildProcess>(
        new ChildProcess(Quoted(program) + " " + Quoted(names.window) + " " + Quoted(names.cls) + " " + options));
}

// Runs one hand-off to its end and gives back its "result" or "exception" line.
std::string HandOffOnce(const Instance &names, const std::string &options,
                        const std::string &program = SiblingProgramPath("handoff_child.exe")) {
    auto child = StartHandOff(names, options, program);
    std::string line;
    if (!child->ReadLine(line, kLineWaitMs)) return "no answer";
    child->WaitForLine("done", kLineWaitMs);
    child->WaitExit(kLineWaitMs);
    return line;
}

// The text of an "exception <hex text> name=..." line; empty for any other line.
std::string ExceptionTextOf(const std::string &line) {
    if (line.compare(0, 10, "exception ") != 0) return std::string();
    return FromHex(line.substr(10, line.find(' ', 10) - 10));
}

// "result 0" or "result 1" of a result line.
std::string ResultOf(const std::string &line) { return line.substr(0, line.find(' ', line.find(' ') + 1)); }

// The text at the start of the named block, read through a holder of our own.
std::string ReadBlockText(const std::string &blockName) {
    CMemMapFile<char> block(blockName.c_str(), 0, 1024, nullptr);
    block.Lock();
    const char *view = block.GetView();
    const std::string text = view ? std::string(view, strnlen(view, 1024)) : "no view";
    block.Unlock();
    return text;
}

struct CopyData {
    std::string wParam, dwData, cbData, lpData, block;
};

bool NextCopyData(ChildProcess &receiver, CopyData &got) {
    std::string line;
    if (!receiver.WaitForLine("copydata", kLineWaitMs, &line)) return false;
    got = {FieldOf(line, "wparam"), FieldOf(line, "dwdata"), FieldOf(line, "cbdata"), FromHex(FieldOf(line, "lpdata")),
           FromHex(FieldOf(line, "block"))};
    return true;
}

// tools/receiver.exe, a CHandOffReceiver; names may be empty.
std::unique_ptr<ChildProcess> StartTextReceiver(const Instance &names, const std::string &text = "",
                                                const std::string &program = StandInProgramPath("receiver.exe"),
                                                const std::string &options = "") {
    return std::unique_ptr<ChildProcess>(new ChildProcess(Quoted(program) + " " + Quoted(names.cls) + " " +
                                                          Quoted(names.window) + " " + Quoted(text) + options));
}

// "pending <text>" or "text <text>" of the next text the receiver took, or its "request ..."
// line as it stands; "none" when it took nothing in time.
std::string NextTaken(ChildProcess &receiver, DWORD timeoutMs = kLineWaitMs) {
    std::string line;
    while (receiver.ReadLine(line, timeoutMs)) {
        const size_t blank = line.find(' ');
        const std::string kind = line.substr(0, blank);
        if (kind == "pending" || kind == "text") return kind + " " + FromHex(line.substr(blank + 1));
        if (kind == "request") return line;
    }
    return "none";
}

// Handles this thread's messages until `child` ends (its SendMessageA waits for this
// thread); counts the thread messages `notice` among them (all of them for 0).
bool PumpUntilExit(ChildProcess &child, DWORD timeoutMs, UINT notice = 0, int *notices = nullptr) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    HANDLE process = child.Handle();
    for (;;) {
        // Seen to have ended before the queue is emptied: whatever it had posted, or made
        // the receiver post, before it ended is counted.
        const bool ended = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (notices && !message.hwnd && (!notice || message.message == notice)) ++*notices;
            DispatchMessageA(&message);
        }
        if (ended) return true;
        if (GetTickCount64() >= deadline) return false;
        MsgWaitForMultipleObjects(1, &process, FALSE, 100, QS_ALLINPUT);
    }
}

int CountOf(const std::string &text, const std::string &part) {
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

// The texts a receiver holds, oldest first, each followed by "|".
std::string TakeAll(CHandOffReceiver &receiver) {
    std::string all;
    while (std::unique_ptr<char[]> text{receiver.TakeText()}) all += std::string(text.get()) + "|";
    return all;
}

// Names of documents that the ANSI code pages 1252 and 932 change or lose: a fullwidth
// quotation mark, soft hyphens, a hyphen, a letter with macron, Japanese, Korean, Cyrillic,
// and an emoji (a surrogate pair).
const std::wstring kWideTexts[] = {
    L"\"C:\\docs\\\xFF02 --evil \xFF02.txt\"",
    L"\x00AD\x00ADsafe-mode C:\\docs\\a.txt",
    L"\x2010x",
    L"\"C:\\docs\\\x0100rt.txt\"",
    L"\x8868\x793A\x30C6\x30B9\x30C8.txt",
    L"\xD55C\xAE00.txt",
    L"\x0414\x043E\x043A.txt",
    L"\xD83D\xDCC4 notes.txt",
};
const std::wstring kWideDirectory = L"C:\\\x6587\x66F8 \xD83D\xDCC1";

// The options of receiver.exe and handoff_child for a request of kWideTexts in kWideDirectory.
std::string WideRequestOptions() {
    std::string options = " --request --dir-hex " + ToHexUnits(kWideDirectory);
    for (const std::wstring &text : kWideTexts) options += " --arg-hex " + ToHexUnits(text);
    return options;
}

// The line receiver.exe reports for a request.
std::string RequestLine(const std::wstring &directory, const std::vector<std::wstring> &arguments) {
    std::string line = "request dir=" + ToHexUnits(directory) + " args=";
    for (size_t i = 0; i < arguments.size(); ++i) line += (i ? "," : "") + ToHexUnits(arguments[i]);
    return line;
}

}  // namespace

TEST(HandOffNames, FirstCallOwnsTheInstanceMutexAndNamesTheBlock) {
    Instance names;
    EXPECT_FALSE(HandOffToRunningInstance(names.window.c_str(), names.cls.c_str(), "ignored"));
    EXPECT_EQ(std::string(SharedDataName), names.BlockName());
    ASSERT_NE(InstanceMutex, nullptr);
    char composed[1024];
    ComposeSharedDataName(nullptr, nullptr, composed);
    EXPECT_STREQ(composed, kBlockSuffix);

    // The mutex is window name + class name, owned by this (first) instance.
    ChildProcess probe(Quoted(SiblingProgramPath("memmap_child.exe")) + " trylock " + names.window + names.cls);
    std::string line;
    ASSERT_TRUE(probe.WaitForLine("trylock", kLineWaitMs, &line));
    EXPECT_EQ(line, "trylock existed=1 wait=" + std::to_string(WAIT_TIMEOUT));

    // A later instance leaves its text in the block of that name, under "mtx" + its name.
    CMemMapFile<char> block(names.BlockName().c_str(), 0, 1024, nullptr);
    EXPECT_STREQ(block.MutexName, ("mtx" + names.BlockName()).c_str());
    const std::string result = HandOffOnce(names, "--data-hex " + ToHex(std::string("left for you")));
    EXPECT_EQ(ResultOf(result), "result 1");
    EXPECT_EQ(FromHex(FieldOf(result, "name")), names.BlockName());
    EXPECT_EQ(ReadBlockText(names.BlockName()), "left for you");
}

// An empty instance name would make an unnamed mutex, and every call would report
// "first instance", also a second one in this process.
TEST(HandOffNames, BothNamesEmptyAreRefusedBeforeAnythingIsSet) {
    Instance names;
    EXPECT_FALSE(HandOffToRunningInstance(names.window.c_str(), names.cls.c_str()));
    const HANDLE mutexBefore = InstanceMutex;
    for (const char *empty : {static_cast<const char *>(nullptr), ""}) {
        std::string outcome = "no exception";
        try {
            HandOffToRunningInstance(empty, empty, "text");
        } catch (const Exception &error) {
            outcome = error.Message.c_str();
        }
        EXPECT_EQ(outcome, kNoNamesSjis);
        EXPECT_THROW(HandOffToRunningInstance(empty, ""), Exception);
        EXPECT_THROW(HandOffToRunningInstance("", empty, nullptr), Exception);
    }
    EXPECT_EQ(InstanceMutex, mutexBefore);
    EXPECT_EQ(std::string(SharedDataName), names.BlockName());
}

TEST(HandOffNames, OneNameAloneIsEnough) {
    Instance names;
    // Each is the first call with its own instance name.
    EXPECT_FALSE(HandOffToRunningInstance("", names.cls.c_str()));
    EXPECT_FALSE(HandOffToRunningInstance(names.window.c_str(), nullptr));
    EXPECT_EQ(std::string(SharedDataName), names.window + kBlockSuffix);
}

TEST(HandOffNames, CompositionCutsAt1023Characters) {
    struct Case {
        size_t windowLength, classLength;
    };
    // Totals of 1009 (suffix whole), 1010 and 1022 (suffix cut in part), 1023 and more
    // (no suffix: the block name equals the instance mutex's name), a window name alone
    // of 1500 characters (class name cut away entirely).
    const Case cases[] = {{1000, 9}, {1000, 10}, {1000, 22}, {1000, 23}, {1000, 400}, {1500, 5}};
    for (const Case &c : cases) {
        const std::string suffix = UniqueSuffix();
        const std::string window = suffix + std::string(c.windowLength - suffix.size(), 'w');
        const std::string cls(c.classLength, 'c');
        const std::string expected = (window + cls + kBlockSuffix).substr(0, 1023);

        SCOPED_TRACE("window " + std::to_string(c.windowLength) + ", class " + std::to_string(c.classLength));
        std::string outcome = "false";
        try {
            if (HandOffToRunningInstance(window.c_str(), cls.c_str(), "x")) outcome = "true";
        } catch (const Exception &error) {
            outcome = error.Message.c_str();
        }
        EXPECT_EQ(std::string(SharedDataName), expected);
        char composed[1024];
        ComposeSharedDataName(window.c_str(), cls.c_str(), composed);
        EXPECT_EQ(std::string(composed), expected);
        // Object names this long are beyond the platform's limit for the ANSI calls
        // (MAX_PATH): the instance mutex cannot be created, so even the first caller takes
        // the later-instance path, and the block cannot be created either.
        EXPECT_EQ(InstanceMutex, nullptr);
        EXPECT_EQ(outcome, kMappingFailedSjis);
    }
}

// An instance name of 244 or 245 characters gives a block name the platform takes (258, 259)
// and a block mutex name it does not (261, 262): the block would go without its lock, so a
// later instance, and a receiver in any instance, is refused before anything is written. At
// 243 the mutex's name is 260 characters, and the block is guarded.
TEST(HandOffNames, BlockWhoseMutexCannotBeMadeIsRefused) {
    for (const size_t length : {243, 244, 245}) {
        SCOPED_TRACE(length);
        const std::string window = "OrvaneWindow_" + UniqueSuffix() + std::string(200, 'w');
        const std::string cls(length - window.size(), 'c');
        EXPECT_FALSE(HandOffToRunningInstance(window.c_str(), cls.c_str(), "first"));
        // Another program's holder of the block: what the hand-off writes, it sees.
        CMemMapFile<char> block((window + cls + kBlockSuffix).c_str(), 0, 1024, nullptr);
        EXPECT_EQ(block.Mutex == nullptr, length > 243);
        std::string outcome = "no exception";
        try {
            outcome = HandOffOutcomeName(TryHandOffToRunningInstance(window.c_str(), cls.c_str(), "unguarded", 20000));
        } catch (const Exception &error) {
            outcome = error.Message.c_str();
        }
        EXPECT_EQ(outcome, length == 243 ? std::string("no-window") : std::string(kMappingFailedSjis));
        EXPECT_STREQ(block.GetView(), length == 243 ? "unguarded" : "");
        std::string received = "no exception";
        try {
            CHandOffReceiver receiver(window.c_str(), cls.c_str(), "second");
            received = HandOffOutcomeName(receiver.Outcome());
        } catch (const Exception &error) {
            received = error.Message.c_str();
        }
        EXPECT_EQ(received, length == 243 ? std::string("no-window") : std::string(kMappingFailedSjis));
        EXPECT_STREQ(block.GetView(), length == 243 ? "second" : "");
    }
}

TEST(HandOffNames, LaterInstanceGetsTheMappingFailureWhenTheBlockCannotBeCreated) {
    // An instance name of 250 characters makes a usable mutex, but its block name of 264
    // characters is beyond the platform's limit for a file mapping's name.
    const std::string window = "OrvaneWindow_" + UniqueSuffix() + std::string(200, 'w');
    const std::string cls = std::string(250 - window.size(), 'c');
    const std::string expected = window + cls + kBlockSuffix;

    EXPECT_FALSE(HandOffToRunningInstance(window.c_str(), cls.c_str(), "first"));
    const HANDLE firstMutex = InstanceMutex;
    ASSERT_NE(firstMutex, nullptr);

    std::string message = "no exception";
    try {
        HandOffToRunningInstance(window.c_str(), cls.c_str(), "later");
    } catch (const Exception &error) {
        message = error.Message.c_str();
    }
    EXPECT_EQ(message, kMappingFailedSjis);
    // The instance state was set before the block failed.
    EXPECT_NE(InstanceMutex, nullptr);
    EXPECT_NE(InstanceMutex, firstMutex);
    EXPECT_EQ(std::string(SharedDataName), expected);
}

// A window of this process with any class and title, recording each WM_COPYDATA's
// text, for hand-offs addressed by one name alone.
class RecordingWindow {
public:
    RecordingWindow(const std::string &cls, const std::string &title) {
        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = Procedure;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = cls.c_str();
        RegisterClassA(&windowClass);
        window_ = CreateWindowA(cls.c_str(), title.c_str(), WS_OVERLAPPED, 0, 0, 100, 100, nullptr, nullptr,
                                windowClass.hInstance, nullptr);
        texts().clear();
    }
    ~RecordingWindow() { DestroyWindow(window_); }
    bool Created() const { return window_ != nullptr; }
    static std::vector<std::string> &texts() {
        static std::vector<std::string> received;
        return received;
    }

private:
    static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message != WM_COPYDATA) return DefWindowProcA(window, message, wParam, lParam);
        const auto *copied = reinterpret_cast<const COPYDATASTRUCT *>(lParam);
        texts().push_back(std::string(static_cast<const char *>(copied->lpData), copied->cbData));
        return TRUE;
    }
    HWND window_;
};

TEST(HandOff, OneNameAloneReachesAWindowOfAnyOtherClassOrTitle) {
    Instance names;
    struct Case {
        std::string instanceWindow, instanceClass, windowClass, windowTitle;
    };
    const std::string other = "Other_" + UniqueSuffix();
    for (const Case &c : {Case{names.window, "", other, names.window}, Case{"", names.cls, names.cls, other}}) {
        SCOPED_TRACE("window name \"" + c.instanceWindow + "\", class name \"" + c.instanceClass + "\"");
        EXPECT_FALSE(HandOffToRunningInstance(c.instanceWindow.c_str(), c.instanceClass.c_str()));
        RecordingWindow window(c.windowClass, c.windowTitle);
        ASSERT_TRUE(window.Created());
        auto sender = StartHandOff({c.instanceWindow, c.instanceClass}, "--data-hex " + ToHex(std::string("one name")));
        ASSERT_TRUE(PumpUntilExit(*sender, kLineWaitMs)) << sender->UnreadOutput();
        std::string result;
        ASSERT_TRUE(sender->WaitForLine("result", kLineWaitMs, &result)) << sender->UnreadOutput();
        EXPECT_EQ(ResultOf(result), "result 1");
        ASSERT_EQ(RecordingWindow::texts().size(), 1u);
        EXPECT_EQ(RecordingWindow::texts()[0], std::string("one name") + '\0');
    }
}

TEST(HandOff, LaterInstanceSendsCopyDataAndLeavesTheTextInTheBlock) {
    Instance names;
    auto receiver = StartReceiver(names);
    ASSERT_TRUE(receiver->WaitForLine("ready", kLineWaitMs)) << receiver->UnreadOutput();

    const std::string data = kJapaneseData;
    const std::string result = HandOffOnce(names, "--data-hex " + ToHex(data));
    EXPECT_EQ(ResultOf(result), "result 1") << result;

    CopyData got;
    ASSERT_TRUE(NextCopyData(*receiver, got)) << receiver->UnreadOutput();
    EXPECT_EQ(got.wParam, "0");
    // A ticket: its number above 5 bits of tag, which no earlier sender's address has.
    EXPECT_EQ(std::stoull(got.dwData, nullptr, 16) & 0x1F, 0x15u) << got.dwData;
    EXPECT_EQ(got.cbData, std::to_string(data.size() + 1));
    EXPECT_EQ(got.lpData, data + '\0');
    EXPECT_EQ(got.block, data);

    // The sender lets the receiving window's process, not its own, come to the front.
    auto forward = StartHandOff(names, "--report-allow --data-hex " + ToHex(std::string("forward")));
    std::string allowed;
    ASSERT_TRUE(forward->WaitForLine("allow", kLineWaitMs, &allowed)) << forward->UnreadOutput();
    EXPECT_EQ(allowed, "allow " + std::to_string(receiver->Id()));
    ASSERT_TRUE(NextCopyData(*receiver, got));

    // A second receiver is a later instance itself and hands its text over.
    auto second = StartReceiver(names, "second");
    ASSERT_TRUE(second->WaitForLine("handed-off", kLineWaitMs)) << second->UnreadOutput();
    ASSERT_TRUE(NextCopyData(*receiver, got));
    EXPECT_EQ(got.block, "second");
    // So does a CHandOffReceiver.
    auto third = StartTextReceiver(names, "third");
    ASSERT_TRUE(third->WaitForLine("handed-off", kLineWaitMs)) << third->UnreadOutput();
    ASSERT_TRUE(NextCopyData(*receiver, got));
    EXPECT_EQ(got.lpData, std::string("third") + '\0');
    EXPECT_EQ(got.block, "third");
}

TEST(HandOff, NullEmptyAndTwoArgumentFormsHandOverASingleNul) {
    Instance names;
    auto receiver = StartReceiver(names);
    ASSERT_TRUE(receiver->WaitForLine("ready", kLineWaitMs)) << receiver->UnreadOutput();

    CopyData got;
    for (const char *options : {"--null-data", "--data-hex \"\"", "--two-arg"}) {
        SCOPED_TRACE(options);
        // Something longer first, so that a NUL at the block's start is seen.
        EXPECT_EQ(ResultOf(HandOffOnce(names, "--data-fill z 40")), "result 1");
        ASSERT_TRUE(NextCopyData(*receiver, got)) << receiver->UnreadOutput();
        EXPECT_EQ(got.block, std::string(40, 'z'));

        EXPECT_EQ(ResultOf(HandOffOnce(names, options)), "result 1");
        ASSERT_TRUE(NextCopyData(*receiver, got)) << receiver->UnreadOutput();
        EXPECT_EQ(got.wParam, "0");
        EXPECT_EQ(got.cbData, "1");
        EXPECT_EQ(got.lpData, std::string(1, '\0'));
        EXPECT_EQ(got.block, "");
    }
}

int g_findWindowCalls = 0;
HWND(WINAPI *g_realFindWindowA)(LPCSTR, LPCSTR) = nullptr;
HWND WINAPI CountedFindWindowA(LPCSTR cls, LPCSTR window) {
    ++g_findWindowCalls;
    return g_realFindWindowA(cls, window);
}

TEST(HandOff, WithoutAWindowTheTextWaitsInTheBlockAndTheOutcomeSaysSo) {
    Instance names;
    // This process is the first instance, with no window of that name.
    EXPECT_FALSE(HandOffToRunningInstance(names.window.c_str(), names.cls.c_str()));
    CMemMapFile<char> block(names.BlockName().c_str(), 0, 1024, nullptr);
    EXPECT_EQ(ResultOf(HandOffOnce(names, "--data-hex " + ToHex(std::string("nobody listens")))), "result 1");
    EXPECT_EQ(ReadBlockText(names.BlockName()), "nobody listens");
    // A second call on the thread that made the first check is a later instance's, and
    // this thread goes on owning the instance.
    EXPECT_TRUE(HandOffToRunningInstance(names.window.c_str(), names.cls.c_str(), "called again"));
    EXPECT_EQ(ReadBlockText(names.BlockName()), "called again");
    EXPECT_EQ(TryHandOffToRunningInstance(names.window.c_str(), names.cls.c_str(), "no window", 20000),
              HandOffOutcome::NoWindow);
    // The bound covers the wait for a window too: looked for every 10 ms, a 100 ms bound
    // looks about ten times, not the fifty of the whole wait.
    g_findWindowCalls = 0;
    {
        ImportSwap counted(&FindWindowA, &CountedFindWindowA, &g_realFindWindowA);
        ASSERT_TRUE(counted.Installed());
        EXPECT_EQ(TryHandOffToRunningInstance(names.window.c_str(), names.cls.c_str(), "short bound", 100),
                  HandOffOutcome::NoWindow);
    }
    EXPECT_GE(g_findWindowCalls, 1);
    EXPECT_LE(g_findWindowCalls, 20);
    EXPECT_EQ(FieldOf(HandOffOnce(names, "--timeout-ms 20000"), "outcome"), "no-window");
}

TEST(HandOff, SenderWritesTheBlockOnlyUnderItsLock) {
    Instance names;
    // This process is the first instance, with no window: the send returns at once.
    EXPECT_FALSE(HandOffToRunningInstance(names.window.c_str(), names.cls.c_str()));
    CMemMapFile<char> block(names.BlockName().c_str(), 0, 1024, nullptr);
    char *view = block.GetView();
    ASSERT_NE(view, nullptr);
    ASSERT_EQ(block.Lock(), WAIT_OBJECT_0);
    std::strcpy(view, "held");

    auto sender = StartHandOff(names, "--announce --data-hex " + ToHex(std::string("after the lock")));
    ASSERT_TRUE(sender->WaitForLine("calling", kLineWaitMs)) << sender->UnreadOutput();
    std::string line;
    EXPECT_FALSE(sender->ReadLine(line, 1500)) << "the call ended while the lock was held: " << line;
    EXPECT_STREQ(view, "held");

    block.Unlock();
    ASSERT_TRUE(sender->WaitForLine("result", kLineWaitMs, &line)) << sender->UnreadOutput();
    EXPECT_EQ(ResultOf(line), "result 1");
    EXPECT_EQ(ReadBlockText(names.BlockName()), "after the lock");

    // It looks for the window before it lets the lock go, so that a receiver that makes
    // its window and reads the block under the lock never gets the same text both ways.
    NamedEvent go;
    sender = StartHandOff(names, "--pause-at-find " + go.Name() + " --data-hex " + ToHex(std::string("finding")));
    ASSERT_TRUE(sender->WaitForLine("finding", kLineWaitMs)) << sender->UnreadOutput();
    const DWORD wait = WaitForSingleObject(block.Mutex, 0);
    if (wait == WAIT_OBJECT_0) block.Unlock();
    EXPECT_EQ(wait, static_cast<DWORD>(WAIT_TIMEOUT)) << "the lock was free while the sender looked for the window";
    EXPECT_STREQ(view, "finding");
    go.Set();
    ASSERT_TRUE(sender->WaitForLine("result", kLineWaitMs, &line)) << sender->UnreadOutput();
    EXPECT_EQ(ResultOf(line), "result 1");
}

TEST(HandOff, ReceiverFindsATextHandedOverBeforeItsWindowExisted) {
    Instance names;
    NamedEvent go;
    auto receiver = StartReceiver(names, "--wait-before-window " + go.Name());
    std::string line;
    ASSERT_TRUE(receiver->WaitForLine("block-open", kLineWaitMs, &line)) << receiver->UnreadOutput();
    EXPECT_EQ(FieldOf(line, "created"), "1");
    // The worst moment: right after the receiver's own check, before its window exists.
    ASSERT_TRUE(receiver->WaitForLine("first-instance", kLineWaitMs)) << receiver->UnreadOutput();

    EXPECT_EQ(ResultOf(HandOffOnce(names, "--data-hex " + ToHex(std::string("too early")))), "result 1");
    go.Set();
    ASSERT_TRUE(receiver->WaitForLine("ready", kLineWaitMs)) << receiver->UnreadOutput();
    ASSERT_TRUE(receiver->ReadLine(line, kLineWaitMs));
    EXPECT_EQ(line, "pending " + ToHex(std::string("too early")));
}

TEST(HandOff, FirstInstanceLastsAsLongAsItsOwner) {
    Instance names;
    NamedEvent firstGoes;
    auto first = StartHandOff(names, "--hold-event " + firstGoes.Name());
    std::string line;
    ASSERT_TRUE(first->ReadLine(line, kLineWaitMs));
    EXPECT_EQ(ResultOf(line), "result 0");

    EXPECT_EQ(ResultOf(HandOffOnce(names, "")), "result 1");
    firstGoes.Set();
    ASSERT_TRUE(first->WaitExit(kLineWaitMs));
    // Every caller has ended: the next one is the first instance again.
    EXPECT_EQ(ResultOf(HandOffOnce(names, "")), "result 0");
}

// Later instances keep the instance mutex open, so it outlives its owner: whatever way the
// owner goes, the next program to check must not hand its text to nobody.
TEST(HandOff, NextProgramIsFirstOnceTheRunningInstanceHasGone) {
    enum class Going { Killed, KilledWhileAnswerAwaited, Closed, CheckingThreadEnded };
    struct Case {
        Going going;
        const char *name;
        bool takerStays;  // the program that takes the instance over runs on, the block held open meanwhile
    };
    for (const Case &c :
         {Case{Going::Killed, "killed", false},
          Case{Going::Killed, "killed, and the program that takes over stays", true},
          Case{Going::KilledWhileAnswerAwaited, "killed while a receiver waits for its answer", false},
          Case{Going::Closed, "closed", false}, Case{Going::CheckingThreadEnded, "its thread ended", false}}) {
        const Going going = c.going;
        const bool killed = going == Going::Killed || going == Going::KilledWhileAnswerAwaited;
        SCOPED_TRACE(c.name);
        Instance names;
        NamedEvent close, laterGoes;
        std::unique_ptr<ChildProcess> first;
        std::string line;
        if (going == Going::CheckingThreadEnded) {
            first = StartHandOff(names, "--check-in-thread " + close.Name() + " --hold-event " + laterGoes.Name());
            ASSERT_TRUE(first->WaitForLine("result 0", kLineWaitMs)) << first->UnreadOutput();
        } else {
            first = StartTextReceiver(names, "", StandInProgramPath("receiver.exe"), " --close-on " + close.Name());
            ASSERT_TRUE(first->WaitForLine("ready", kLineWaitMs)) << first->UnreadOutput();
            // Waited for in vain: a receiver that cannot run.
            if (going == Going::KilledWhileAnswerAwaited) {
                ASSERT_TRUE(first->SetSuspended(true));
            }
        }
        std::unique_ptr<ChildProcess> later, next;
        if (going == Going::KilledWhileAnswerAwaited) {
            // Its text is written and its message waits when the window goes: not taken, and
            // not left for itself as the next first instance.
            next = StartTextReceiver(names, "next");
            EXPECT_FALSE(next->ReadLine(line, 1000)) << line;
        } else {
            later = StartHandOff(names, "--hold-event " + laterGoes.Name());
            ASSERT_TRUE(later->ReadLine(line, kLineWaitMs));
            EXPECT_EQ(ResultOf(line), "result 1");
        }
        if (killed) {
            first->Kill();
        } else {
            close.Set();
            ASSERT_TRUE(first->WaitForLine(going == Going::Closed ? "closed" : "thread-ended", kLineWaitMs))
                << first->UnreadOutput();
        }

        if (!next && c.takerStays) {
            // It decides under the block's lock and lets that go as it returns, while it runs on.
            CMemMapFile<char> holder(names.BlockName().c_str(), 0, 1024, nullptr);
            NamedEvent takerGoes;
            auto taker = StartHandOff(names, "--hold-event " + takerGoes.Name());
            ASSERT_TRUE(taker->ReadLine(line, kLineWaitMs));
            EXPECT_EQ(ResultOf(line), "result 0");
            const DWORD wait = WaitForSingleObject(holder.Mutex, 2000);
            EXPECT_EQ(wait, WAIT_OBJECT_0) << "the block's lock is still held by the program that took over";
            if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) ReleaseMutex(holder.Mutex);
            takerGoes.Set();
            ASSERT_TRUE(taker->WaitExit(kLineWaitMs));
        }
        if (!next) {
            // First whatever its text: the length counts only for a text that is handed over.
            EXPECT_EQ(ResultOf(HandOffOnce(names, "--data-fill x 2000")), "result 0");
            next = StartTextReceiver(names, "next");
        }
        ASSERT_TRUE(next->WaitForLine("first-instance", kLineWaitMs)) << next->UnreadOutput();
        ASSERT_TRUE(next->WaitForLine("ready", kLineWaitMs)) << next->UnreadOutput();
        EXPECT_EQ(ResultOf(HandOffOnce(names, "--data-hex " + ToHex(std::string("to the next")))), "result 1");
        EXPECT_EQ(NextTaken(*next), "text to the next");
    }
}

// The running instance dies inside a later instance's hand-off: after the later one found
// its owner alive (it stops where it looks for the window), or while it waited for the answer
// (it stops where it asks whether the window still exists). It is never told that a text was
// handed off that nobody took, never hands a text twice, and removes from the block only its
// own text, never one that someone wrote there meanwhile.
TEST(HandOff, RunningInstanceThatDiesInsideAHandOff) {
    struct Case {
        const char *name;
        bool whileAnswerAwaited;
        std::string data, writtenMeanwhile;
        bool nextStartsMeanwhile;
        const char *result;
        std::string blockAfter;
        bool otherCheckMeanwhile = false;  // on another thread of the later instance, of other names
    };
    const Case cases[] = {
        {"killed after its owner was found alive", false, "mine", "", false, "result 0", ""},
        {"killed while the answer was awaited, the next instance started meanwhile", true, "mine", "", true, "result 1",
         "mine"},
        {"killed while the answer was awaited, a longer text written meanwhile", true, "mine", "mine and more", false,
         "result 0", "mine and more"},
        {"killed while an empty text's answer was awaited, a text written meanwhile", true, "", "theirs", false,
         "result 0", "theirs"},
        {"killed while the answer was awaited, the first instance of other names made meanwhile in the same process",
         true, "mine", "", false, "result 0", "", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Instance names;
        CMemMapFile<char> block(names.BlockName().c_str(), 0, 1024, nullptr);
        auto running = StartTextReceiver(names);
        ASSERT_TRUE(running->WaitForLine("ready", kLineWaitMs)) << running->UnreadOutput();
        NamedEvent found, rechecked;
        Instance other;
        auto later = StartHandOff(
            names, "--pause-at-find " + found.Name() + " --pause-at-recheck " + rechecked.Name() + " --data-hex " +
                       ToHex(c.data) +
                       (c.otherCheckMeanwhile ? " --other-check-at-recheck " + other.window + " " + other.cls : ""));
        ASSERT_TRUE(later->WaitForLine("finding", kLineWaitMs)) << later->UnreadOutput();
        if (c.whileAnswerAwaited) {
            ASSERT_TRUE(running->SetSuspended(true));
            found.Set();
            // Once the lock is free again, the later instance has found the window: it sends.
            ASSERT_EQ(block.Lock(), WAIT_OBJECT_0);
            block.Unlock();
        }
        running->Kill();
        found.Set();
        std::unique_ptr<ChildProcess> next;
        if (c.whileAnswerAwaited) {
            std::string otherLine;
            if (c.otherCheckMeanwhile) {
                ASSERT_TRUE(later->WaitForLine("other", kLineWaitMs, &otherLine)) << later->UnreadOutput();
                EXPECT_EQ(otherLine, "other first-instance");
            }
            ASSERT_TRUE(later->WaitForLine("rechecking", kLineWaitMs)) << later->UnreadOutput();
            if (!c.writtenMeanwhile.empty()) {
                block.Lock();
                std::memcpy(block.GetView(), c.writtenMeanwhile.c_str(), c.writtenMeanwhile.size() + 1);
                block.Unlock();
            }
            if (c.nextStartsMeanwhile) {
                next = StartTextReceiver(names);
                ASSERT_TRUE(next->WaitForLine("ready", kLineWaitMs)) << next->UnreadOutput();
            }
            rechecked.Set();
        }
        std::string line;
        ASSERT_TRUE(later->WaitForLine("result", kLineWaitMs, &line)) << later->UnreadOutput();
        EXPECT_EQ(ResultOf(line), c.result);
        EXPECT_EQ(ReadBlockText(names.BlockName()), c.blockAfter);
        if (next) {
            EXPECT_EQ(NextTaken(*next), "text " + c.data);
            EXPECT_EQ(ResultOf(HandOffOnce(names, "--data-hex " + ToHex(std::string("then")))), "result 1");
            EXPECT_EQ(NextTaken(*next), "text then");
        }
    }
}

// Window name + class name run together with no separator, so "AB" + "C" and "A" + "BC" are
// one instance to the kernel but not to the windows: a later instance of the other names is
// told that no window took its text, and the running one gets nothing of it.
TEST(HandOff, NamesThatRunTogetherAreReportedNotHandedOff) {
    Instance names;
    const Instance other = {names.window + names.cls.substr(0, 1), names.cls.substr(1)};
    auto running = StartTextReceiver(names);
    ASSERT_TRUE(running->WaitForLine("ready", kLineWaitMs)) << running->UnreadOutput();
    const std::string line = HandOffOnce(other, "--timeout-ms 20000 --data-hex " + ToHex(std::string("astray")));
    EXPECT_EQ(FieldOf(line, "outcome"), "no-window") << line;
    EXPECT_EQ(ResultOf(line), "result 1");
    CHandOffReceiver receiver(other.window.c_str(), other.cls.c_str(), "astray too");
    EXPECT_EQ(receiver.Outcome(), HandOffOutcome::NoWindow);
    EXPECT_EQ(ResultOf(HandOffOnce(names, "--data-hex " + ToHex(std::string("then")))), "result 1");
    EXPECT_EQ(NextTaken(*running), "text then");
}

TEST(HandOff, DataOf1023CharactersArrivesWholeAndLongerDataIsRefused) {
    Instance names;
    auto receiver = StartReceiver(names);
    ASSERT_TRUE(receiver->WaitForLine("ready", kLineWaitMs)) << receiver->UnreadOutput();

    EXPECT_EQ(ResultOf(HandOffOnce(names, "--data-fill a 1023")), "result 1");
    CopyData got;
    ASSERT_TRUE(NextCopyData(*receiver, got)) << receiver->UnreadOutput();
    EXPECT_EQ(got.cbData, "1024");
    EXPECT_EQ(got.lpData, std::string(1023, 'a') + '\0');
    EXPECT_EQ(got.block, std::string(1023, 'a'));

    const std::string refused = HandOffOnce(names, "--data-fill b 1024");
    EXPECT_EQ(ExceptionTextOf(refused), kDataTooLongSjis) << refused;
    EXPECT_EQ(ReadBlockText(names.BlockName()), std::string(1023, 'a'));

    // No message went for the refused text: the next one the receiver gets is this.
    EXPECT_EQ(ResultOf(HandOffOnce(names, "--data-hex " + ToHex(std::string("after")))), "result 1");
    ASSERT_TRUE(NextCopyData(*receiver, got)) << receiver->UnreadOutput();
    EXPECT_EQ(got.block, "after");

    // In the first instance nothing is handed over, so the length does not matter.
    Instance fresh;
    const std::string longData(5000, 'c');
    EXPECT_FALSE(HandOffToRunningInstance(fresh.window.c_str(), fresh.cls.c_str(), longData.c_str()));
}

TEST(HandOff, ManyLaterInstancesAtOnceReachTheReceiverWhole) {
    Instance names;
    auto receiver = StartReceiver(names);
    ASSERT_TRUE(receiver->WaitForLine("ready", kLineWaitMs)) << receiver->UnreadOutput();

    // Each sender has its own letter and length, so a mix of two texts shows.
    const int kSenders = 5;
    const int kRepeats = 20;
    std::map<std::string, int> sent;
    std::vector<std::unique_ptr<ChildProcess>> senders;
    for (int i = 0; i < kSenders; ++i) {
        const char letter = static_cast<char>('k' + i);
        const size_t length = 900 - 170 * i;
        sent[std::string(length, letter)] = 0;
        senders.push_back(StartHandOff(names, "--data-fill " + std::string(1, letter) + " " + std::to_string(length) +
                                                  " --repeat " + std::to_string(kRepeats)));
    }
    for (int n = 0; n < kSenders * kRepeats; ++n) {
        CopyData got;
        ASSERT_TRUE(NextCopyData(*receiver, got)) << "message " << n << ": " << receiver->UnreadOutput();
        ASSERT_FALSE(got.lpData.empty());
        const std::string text = got.lpData.substr(0, got.lpData.size() - 1);
        ASSERT_EQ(sent.count(text), 1u) << "lpData was not one of the texts sent";
        ++sent[text];
        EXPECT_EQ(sent.count(got.block), 1u) << "the block held a mix of texts, " << got.block.size() << " bytes";
    }
    for (const auto &text : sent) EXPECT_EQ(text.second, kRepeats) << text.first[0];
    for (auto &sender : senders) {
        std::string line;
        EXPECT_TRUE(sender->WaitForLine("done", kLineWaitMs, &line));
    }
}

// A later instance's request: every UTF-16 unit of its arguments and its working directory,
// up to the longest command line, taken once by a receiver made for requests. A receiver of
// texts refuses it; a text comes to a receiver of requests as one argument.
TEST(HandOffRequest, ArgumentsAndWorkingDirectoryArriveExactly) {
    const std::vector<std::wstring> wide(std::begin(kWideTexts), std::end(kWideTexts));
    struct Case {
        const char *name;
        bool requestReceiver;
        std::string senderOptions, result, taken;
    };
    const Case cases[] = {
        {"names outside any code page", true, WideRequestOptions(), "handed-off", RequestLine(kWideDirectory, wide)},
        {"one argument of 32,767 units", true, " --request --dir-hex 4300 --arg-fill 4230 32767", "handed-off",
         RequestLine(L"C", {std::wstring(32767, L'\x3042')})},
        {"one argument of 32,768 units", true, " --request --arg-fill 4230 32768",
         std::string("exception ") + kDataTooLongSjis, "none"},
        {"to a receiver of texts", false, WideRequestOptions(), "refused", "none"},
        {"a text to a receiver of requests", true, " --data-hex " + ToHex(std::string("notes.txt")), "handed-off",
         RequestLine(L"", {L"notes.txt"})},
        {"a text outside ASCII, from the ANSI code page (1252)", true, " --data-hex " + ToHex(std::string("caf\xE9")),
         "handed-off", RequestLine(L"", {L"caf\u00E9"})},
        // 10 bytes, 5 characters: the argument holds the characters converted, nothing after them.
        {"a Japanese text, from the ANSI code page (932)", true, " --data-hex " + ToHex(std::string(kJapaneseData)),
         "handed-off", RequestLine(L"", {L"\x8868\x793A\x30C6\x30B9\x30C8"})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const char *codePage = std::strstr(c.name, "ANSI code page (");
        if (codePage && std::atoi(codePage + 16) != static_cast<int>(GetACP())) continue;  // the other run's
        Instance names;
        auto receiver =
            StartTextReceiver(names, "", StandInProgramPath("receiver.exe"), c.requestReceiver ? " --request" : "");
        ASSERT_TRUE(receiver->WaitForLine("ready", kLineWaitMs)) << receiver->UnreadOutput();
        const std::string line = HandOffOnce(names, "--timeout-ms 20000" + c.senderOptions);
        const std::string error = ExceptionTextOf(line);
        EXPECT_EQ(error.empty() ? FieldOf(line, "outcome") : "exception " + error, c.result) << line;
        EXPECT_EQ(NextTaken(*receiver, c.taken == "none" ? 1000 : kLineWaitMs), c.taken);
    }
}

void RecordDropped(void *dropped, const char *text, const CHandOffRequest *request) {
    static_cast<std::vector<std::string> *>(dropped)->push_back(
        text ? "text " + std::string(text) : RequestLine(request->WorkingDirectory, request->Arguments));
}

std::string LineOf(const std::unique_ptr<CHandOffRequest> &request) {
    return request ? RequestLine(request->WorkingDirectory, request->Arguments) : "none";
}

// The views of files and mappings that this process holds.
int MappedViews() {
    int views = 0;
    MEMORY_BASIC_INFORMATION region;
    for (const char *at = nullptr; VirtualQuery(at, &region, sizeof region) != 0;
         at = static_cast<const char *>(region.BaseAddress) + region.RegionSize)
        views += region.Type == MEM_MAPPED && region.BaseAddress == region.AllocationBase;
    return views;
}

// Tickets made slowly, or the next few denied (as when another user's sender holds the
// name): this program's import, which the library calls.
using CreateFileMappingAFn = HANDLE(WINAPI *)(HANDLE, LPSECURITY_ATTRIBUTES, DWORD, DWORD, DWORD, LPCSTR);
CreateFileMappingAFn g_realCreateFileMappingA = nullptr;
DWORD g_ticketDelayMs = 0;
int g_ticketsDenied = 0;
// The next ticket's name made first, as another sender holding it would.
bool g_holdNextTicket = false;
HANDLE g_heldTicket = nullptr;
std::string g_heldTicketName;

HANDLE WINAPI DelayedTicketMapping(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protection, DWORD sizeHigh,
                                   DWORD sizeLow, LPCSTR name) {
    if (sizeLow == sizeof(LONG)) {  // a ticket's word, not the block
        Sleep(g_ticketDelayMs);
        if (g_ticketsDenied > 0) {
            --g_ticketsDenied;
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
        if (g_holdNextTicket) {
            g_holdNextTicket = false;
            g_heldTicket = g_realCreateFileMappingA(file, security, protection, sizeHigh, sizeLow, name);
            g_heldTicketName = name;
        }
    }
    return g_realCreateFileMappingA(file, security, protection, sizeHigh, sizeLow, name);
}

// DelayedTicketMapping in the import slot while it lives.
struct TicketMappingHook : ImportSwap<std::remove_pointer_t<CreateFileMappingAFn>> {
    TicketMappingHook() : ImportSwap(&CreateFileMappingA, &DelayedTicketMapping, &g_realCreateFileMappingA) {}
};

// A receiver of requests in this process: the arguments as the program had them (a null one
// empty, none for a negative count or no array), the current folder when none is given, and
// texts as well, up to a bound in bytes; what still waits when it goes is passed on to the
// next instance, or dropped and told, in order.
TEST(HandOffRequest, ReceiverOfRequestsInThisProcess) {
    Instance names;
    const wchar_t *own[] = {L"own.txt"};
    std::unique_ptr<CHandOffReceiver> receiver(
        new CHandOffReceiver(names.window.c_str(), names.cls.c_str(), 1, own, L"C:\\own"));
    ASSERT_TRUE(receiver->IsFirstInstance());
    wchar_t current[MAX_PATH] = L"";
    GetCurrentDirectoryW(MAX_PATH, current);
    const wchar_t *some[] = {L"a", nullptr, L"\xD83D\xDE00"};
    struct Case {
        int count;
        const wchar_t *const *arguments;
        const wchar_t *directory;
        std::string taken;
    };
    const Case cases[] = {
        {3, some, L"C:\\docs", RequestLine(L"C:\\docs", {L"a", L"", L"\xD83D\xDE00"})},
        {-1, some, nullptr, RequestLine(current, {})},
        {2, nullptr, L"", RequestLine(L"", {})},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(TryHandOffRequestToRunningInstance(names.window.c_str(), names.cls.c_str(), c.count, c.arguments,
                                                     c.directory, 20000),
                  HandOffOutcome::HandedOff);
        EXPECT_EQ(receiver->TakeText(), nullptr) << "a request is no text";
        EXPECT_EQ(LineOf(receiver->TakeRequest()), c.taken);
    }
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(TryHandOffToRunningInstance(names.window.c_str(), names.cls.c_str(), "notes.txt", 20000),
                  HandOffOutcome::HandedOff);
    EXPECT_EQ(LineOf(receiver->TakeRequest()), RequestLine(L"", {L"notes.txt"}));
    std::unique_ptr<char[]> text(receiver->TakeText());
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text.get(), "notes.txt");
    EXPECT_EQ(LineOf(receiver->TakeRequest()), "none");
    EXPECT_THROW(TryHandOffRequestToRunningInstance(names.window.c_str(), names.cls.c_str(), 0, nullptr,
                                                    std::wstring(kMaxRequestUnits, L'x').c_str(), 20000),
                 Exception)
        << "a working directory of 32,768 units";
    // Two arguments counted, none there; and a request whose ticket no sender made: refused.
    const std::string tag(kHandOffRequestTag, sizeof kHandOffRequestTag);
    for (const std::string &bad : {tag + std::string("\2\0\0\0C\0\0\0", 8), tag + std::string("\0\0\0\0C\0\0\0", 8)}) {
        COPYDATASTRUCT copied = {0x35, static_cast<DWORD>(bad.size()), const_cast<char *>(bad.data())};
        EXPECT_EQ(SendMessageA(receiver->Window(), WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copied)), FALSE);
    }
    EXPECT_EQ(LineOf(receiver->TakeRequest()), "none");

    // Up to kMaxWaitingBytes wait: of the longest requests, 131,080 bytes each, 63; the next is
    // refused, and a request taken makes room for one. Then one of the 130,568 bytes left fits
    // exactly, and a text of one byte does not: every byte of the texts and requests taken and
    // refused so far was given back. None of those kept is lost, and no hand-off in this
    // process leaves a mapped view behind.
    const int views = MappedViews();
    const std::wstring longest(kMaxRequestUnits - 1, L'x');
    const wchar_t *longestArguments[] = {longest.c_str()};
    auto handOver = [&](const std::wstring &directory) {
        return TryHandOffRequestToRunningInstance(names.window.c_str(), names.cls.c_str(), 1, longestArguments,
                                                  directory.c_str(), 20000);
    };
    size_t kept = 0;
    while (kept < 100 && handOver(longest) == HandOffOutcome::HandedOff) ++kept;
    ASSERT_EQ(kept, CHandOffReceiver::kMaxWaitingBytes / 131080);
    const std::string longestLine = RequestLine(longest, {longest});
    EXPECT_TRUE(LineOf(receiver->TakeRequest()) == longestLine);
    EXPECT_EQ(handOver(longest), HandOffOutcome::HandedOff);
    EXPECT_EQ(handOver(longest), HandOffOutcome::Refused);
    const std::wstring rest((CHandOffReceiver::kMaxWaitingBytes - kept * 131080 - 12) / 2 - longest.size(), L'r');
    EXPECT_EQ(handOver(rest), HandOffOutcome::HandedOff) << "exactly the bytes left";
    EXPECT_EQ(TryHandOffToRunningInstance(names.window.c_str(), names.cls.c_str(), "", 20000), HandOffOutcome::Refused);
    EXPECT_EQ(MappedViews(), views);
    size_t taken = 0;
    std::string line;
    while ((line = LineOf(receiver->TakeRequest())) == longestLine) ++taken;
    EXPECT_EQ(taken, kept);
    EXPECT_TRUE(line == RequestLine(rest, {longest}));

    // What waits when the receiver goes is passed on, in order and within kCloseTimeoutMs in
    // all, to the instance that runs next; from the first one not taken on, it is dropped and
    // told, in order. The pass-on writes no process-wide global, and gives up the instance
    // that its check makes the destroying thread when none runs.
    const wchar_t *next[] = {L"next.txt"};
    const std::vector<std::string> waiting = {RequestLine(L"C:\\n", {L"next.txt"}), "text text"};
    const std::string passedOn[] = {waiting[0], RequestLine(L"", {L"text"})};
    struct PassOn {
        const char *name;
        const char *successor;  // receiver.exe's options; null: none runs
        DWORD ticketDelayMs;    // before each ticket of the pass-on
        size_t taken;
    };
    const PassOn rows[] = {
        {"to a receiver of requests", " --request", 0, 2},
        {"to a receiver of texts, which refuses the first", "", 0, 0},
        {"each ticket made in 1.05 s", " --request", 1050, 1},
        {"no instance runs next", nullptr, 0, 0},
    };
    for (const PassOn &row : rows) {
        SCOPED_TRACE(row.name);
        if (!receiver) receiver.reset(new CHandOffReceiver(names.window.c_str(), names.cls.c_str(), 0, nullptr, L""));
        ASSERT_TRUE(receiver->IsFirstInstance());
        std::vector<std::string> dropped;
        receiver->WhenDropped(RecordDropped, &dropped);
        EXPECT_EQ(TryHandOffRequestToRunningInstance(names.window.c_str(), names.cls.c_str(), 1, next, L"C:\\n", 20000),
                  HandOffOutcome::HandedOff);
        EXPECT_EQ(TryHandOffToRunningInstance(names.window.c_str(), names.cls.c_str(), "text", 20000),
                  HandOffOutcome::HandedOff);
        receiver->Close();
        std::unique_ptr<ChildProcess> successor;
        if (row.successor) {
            successor = StartTextReceiver(names, "", StandInProgramPath("receiver.exe"), row.successor);
            ASSERT_TRUE(successor->WaitForLine("ready", kLineWaitMs)) << successor->UnreadOutput();
        }
        const HANDLE published = InstanceMutex;
        g_ticketDelayMs = row.ticketDelayMs;
        {
            TicketMappingHook slow;
            ASSERT_NE(g_realCreateFileMappingA, nullptr);
            receiver.reset();
        }
        EXPECT_EQ(InstanceMutex, published);
        for (size_t i = 0; i < row.taken; ++i) EXPECT_EQ(NextTaken(*successor), passedOn[i]);
        EXPECT_EQ(dropped, std::vector<std::string>(waiting.begin() + row.taken, waiting.end()));
    }
    EXPECT_EQ(TryHandOffToRunningInstance(names.window.c_str(), names.cls.c_str(), "", 20000),
              HandOffOutcome::FirstInstance);
    // Nothing holds the block any more: neither the receivers nor the senders of this process.
    const HANDLE block = OpenFileMappingA(FILE_MAP_READ, FALSE, names.BlockName().c_str());
    EXPECT_EQ(block, nullptr);
    if (block) CloseHandle(block);
}

// An answer of the longest message, surrogate pairs and Japanese among its 4,096 units.
std::wstring LongAnswer() {
    std::wstring message;
    while (message.size() + 6 <= CHandOffRequest::kMaxAnswerUnits) message += L"\xD83D\xDCC4 \x30E1\x30E2 ";
    return message + std::wstring(CHandOffRequest::kMaxAnswerUnits - message.size(), L'.');
}

// receiver.exe as a later instance that hands over a request and waits for its answer.
std::unique_ptr<ChildProcess> StartWaitingLater(const Instance &names, const std::string &waitMs = "60000",
                                                const std::string &program = StandInProgramPath("receiver.exe")) {
    return StartTextReceiver(names, "", program, " --request --arg-hex 6100 --wait-answer " + waitMs);
}

// The later instance's "answer" line. Read within kLineWaitMs while its bound is 60 s: each
// outcome but the bound's is told when it happens. It then ends by itself, and is let end:
// killed while the coverage build writes its counts, it would leave them cut short.
std::string AnswerOf(ChildProcess &later) {
    std::string line;
    if (!later.WaitForLine("answer ", kLineWaitMs, &line)) return "no answer: " + later.Diagnosis();
    return later.WaitExit(kLineWaitMs) ? line : "did not end: " + later.Diagnosis();
}

// Once the answer's event is set, the later instance (g_answeredLater) has its answer and
// ends before Answer goes on.
HANDLE g_answeredLater = nullptr;
BOOL(WINAPI *g_realSetEvent)(HANDLE) = nullptr;
BOOL WINAPI SetEventThenLetEnd(HANDLE event) {
    const BOOL set = g_realSetEvent(event);
    WaitForSingleObject(g_answeredLater, kLineWaitMs);
    return set;
}

// A later instance's wait in this process, and the holder of its request here: the holder's
// view of the answer area (mapped on its receiving thread); what the holder does once the
// wait's bound has just run out, before the waiter looks again; and a stop of the holder
// where it first touches a guarded page of that view, until `go` is set.
struct LateAnswer {
    DWORD holderThread = 0, waiterThread = 0;
    HandOffAnswerArea *holderView = nullptr;
    std::function<void()> whenBoundRunsOut;
    HANDLE reached = nullptr, go = nullptr;
    LPVOID(WINAPI *mapView)(HANDLE, DWORD, DWORD, DWORD, SIZE_T) = nullptr;
    DWORD(WINAPI *waitMultiple)(DWORD, const HANDLE *, BOOL, DWORD) = nullptr;
} g_late;

LPVOID WINAPI MapViewSeen(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow, SIZE_T bytes) {
    LPVOID view = g_late.mapView(mapping, access, offsetHigh, offsetLow, bytes);
    if (bytes == sizeof(HandOffAnswerArea) && GetCurrentThreadId() == g_late.holderThread)
        g_late.holderView = static_cast<HandOffAnswerArea *>(view);
    return view;
}

DWORD WINAPI WaitThenAnswer(DWORD count, const HANDLE *handles, BOOL all, DWORD timeoutMs) {
    const DWORD wait = g_late.waitMultiple(count, handles, all, timeoutMs);
    if (wait == WAIT_TIMEOUT && GetCurrentThreadId() == g_late.waiterThread && g_late.whenBoundRunsOut) {
        const std::function<void()> then = std::move(g_late.whenBoundRunsOut);
        g_late.whenBoundRunsOut = nullptr;
        then();
    }
    return wait;
}

LONG CALLBACK PauseAtGuardPage(EXCEPTION_POINTERS *exception) {
    if (exception->ExceptionRecord->ExceptionCode != STATUS_GUARD_PAGE_VIOLATION) return EXCEPTION_CONTINUE_SEARCH;
    SetEvent(g_late.reached);
    WaitForSingleObject(g_late.go, kLineWaitMs);
    return EXCEPTION_CONTINUE_EXECUTION;  // the guard is gone: the write is made again
}

// Each way a later instance's wait for its answer ends, as it is told and as the running
// program sees it.
TEST(HandOffAnswer, EachWayTheWaitEndsIsToldApart) {
    const std::string message = ToHexUnits(LongAnswer());
    const char *release120 = std::getenv("ORVANE_RECEIVER_1_2_0");
    struct Row {
        const char *name;
        std::string running, options;
        bool killOnceTaken;
        std::string answer;
    };
    // Longer than the longest answer: its first 4,096 units, or 4,095 where the cut would
    // split a surrogate pair.
    const std::wstring pairAcrossTheCut = std::wstring(CHandOffRequest::kMaxAnswerUnits - 1, L'.') + L"\xD83D\xDCC4!";
    const Row rows[] = {
        {"answered", StandInProgramPath("receiver.exe"), " --request --answer 7 " + message, false,
         "answer answered status=7 message=" + message},
        {"answered too long", StandInProgramPath("receiver.exe"),
         " --request --answer 7 " + ToHexUnits(LongAnswer() + L"\xD83D\xDCC4 more"), false,
         "answer answered status=7 message=" + message},
        {"answered too long, a pair across the cut", StandInProgramPath("receiver.exe"),
         " --request --answer 7 " + ToHexUnits(pairAcrossTheCut), false,
         "answer answered status=7 message=" +
             ToHexUnits(pairAcrossTheCut.substr(0, CHandOffRequest::kMaxAnswerUnits - 1))},
        {"let go unanswered", StandInProgramPath("receiver.exe"), " --request", false,
         "answer finished-unanswered status=0 message="},
        {"killed holding it", StandInProgramPath("receiver.exe"), " --request --hold-requests", true,
         "answer instance-ended status=0 message="},
        {"a receiver of 1.2.0", release120 ? release120 : "", " --request", false,
         "answer no-answer-will-come status=0 message="},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        if (row.running.empty()) {
            std::printf("left out: no receiver of 1.2.0 (built only from a git checkout)\n");
            continue;
        }
        Instance names;
        auto running = StartTextReceiver(names, "", row.running, row.options);
        ASSERT_TRUE(running->WaitForLine("ready", kLineWaitMs)) << running->Diagnosis();
        auto later = StartWaitingLater(names);
        ASSERT_TRUE(later->WaitForLine("handed-off", kLineWaitMs)) << later->Diagnosis();
        if (row.killOnceTaken) {
            ASSERT_TRUE(running->WaitForLine("request", kLineWaitMs)) << running->Diagnosis();
            running->Kill();
        }
        EXPECT_EQ(AnswerOf(*later), row.answer);
        EXPECT_TRUE(later->WaitExit(kLineWaitMs));
        EXPECT_EQ(later->ExitCode(), row.answer.find("status=7") != std::string::npos ? 7u : 0u);
    }

    // Passed on at the running program's end to the instance that runs next, which answers it,
    // or is killed holding it while this one lives on: the wait follows the request.
    struct PassedOn {
        const char *options, *taken;
        bool killOnceTaken;
        const char *answer;
    };
    const PassedOn passedOnRows[] = {
        {" --request --answer 3 4f004b00", "answered 1", false, "answer answered status=3 message=4f004b00"},
        {" --request --hold-requests", "request", true, "answer instance-ended status=0 message="},
    };
    Instance names;
    std::unique_ptr<CHandOffReceiver> receiver;
    std::unique_ptr<ChildProcess> later, next;
    for (const PassedOn &row : passedOnRows) {
        SCOPED_TRACE(row.options);
        next.reset();
        receiver.reset(new CHandOffReceiver(names.window.c_str(), names.cls.c_str(), 0, nullptr));
        ASSERT_TRUE(receiver->IsFirstInstance());
        later = StartWaitingLater(names, "20000");
        ASSERT_TRUE(later->WaitForLine("handed-off", kLineWaitMs)) << later->Diagnosis();
        receiver->Close();
        next = StartTextReceiver(names, "", StandInProgramPath("receiver.exe"), row.options);
        ASSERT_TRUE(next->WaitForLine("ready", kLineWaitMs)) << next->Diagnosis();
        receiver.reset();
        EXPECT_TRUE(next->WaitForLine(row.taken, kLineWaitMs)) << next->Diagnosis();
        if (row.killOnceTaken) next->Kill();
        EXPECT_EQ(AnswerOf(*later), row.answer);
    }

    // Passed on to a receiver that gives no answers (of 1.2.0), or to none.
    for (const char *successor : {release120, static_cast<const char *>(nullptr)}) {
        SCOPED_TRACE(successor ? "1.2.0" : "none");
        next.reset();
        receiver.reset(new CHandOffReceiver(names.window.c_str(), names.cls.c_str(), 0, nullptr));
        later = StartWaitingLater(names);
        ASSERT_TRUE(later->WaitForLine("handed-off", kLineWaitMs)) << later->Diagnosis();
        receiver->Close();
        if (successor) {
            next = StartTextReceiver(names, "", successor, " --request");
            ASSERT_TRUE(next->WaitForLine("ready", kLineWaitMs)) << next->Diagnosis();
        }
        receiver.reset();
        EXPECT_EQ(AnswerOf(*later),
                  successor ? "answer no-answer-will-come status=0 message=" : "answer not-opened status=0 message=");
    }
    // A bound that runs out while the program holds the request.
    next.reset();
    receiver.reset(new CHandOffReceiver(names.window.c_str(), names.cls.c_str(), 0, nullptr));
    later = StartWaitingLater(names, "500");
    EXPECT_EQ(AnswerOf(*later), "answer timed-out status=0 message=");
    std::unique_ptr<CHandOffRequest> held = receiver->TakeRequest();
    ASSERT_NE(held, nullptr);
    EXPECT_FALSE(held->Answer(0, L"late"));
    receiver.reset();

    // Answered, and the later instance ends at once: it waited, and Answer says so.
    next.reset();
    receiver.reset(new CHandOffReceiver(names.window.c_str(), names.cls.c_str(), 0, nullptr));
    later = StartWaitingLater(names);
    ASSERT_EQ(WaitForSingleObject(receiver->TextWaitsEvent(), kLineWaitMs), WAIT_OBJECT_0) << later->Diagnosis();
    std::unique_ptr<CHandOffRequest> answered = receiver->TakeRequest();
    ASSERT_NE(answered, nullptr);
    g_answeredLater = later->Handle();
    ImportSwap letEnd(&SetEvent, &SetEventThenLetEnd, &g_realSetEvent);
    ASSERT_TRUE(letEnd.Installed());
    const bool waited = answered->Answer(2, L"");
    letEnd.Restore();
    EXPECT_TRUE(waited);
    EXPECT_EQ(AnswerOf(*later), "answer answered status=2 message=");
    receiver.reset();

    // The later instance gone while the program holds its request: the answer finds nobody.
    next.reset();
    receiver.reset(new CHandOffReceiver(names.window.c_str(), names.cls.c_str(), 0, nullptr));
    ASSERT_TRUE(receiver->IsFirstInstance());
    later = StartWaitingLater(names);
    ASSERT_EQ(WaitForSingleObject(receiver->TextWaitsEvent(), kLineWaitMs), WAIT_OBJECT_0) << later->Diagnosis();
    std::unique_ptr<CHandOffRequest> request = receiver->TakeRequest();
    ASSERT_NE(request, nullptr);
    EXPECT_TRUE(request->AnswerAwaited());
    later->Kill();
    EXPECT_FALSE(request->AnswerAwaited());
    EXPECT_FALSE(request->Answer(1, L"late"));
    EXPECT_FALSE(request->Answer(1, std::wstring(CHandOffRequest::kMaxAnswerUnits - 1, L'x') + L"\xD83D\xDCC4"));
    receiver.reset();

    // A later instance in this process, its request held here: its bound runs out with nothing
    // come; just as the answer comes (the area, which another program may write, then saying
    // more units than it holds); or while the holder writes the answer, stopped where it
    // writes the area's second page. The holder is told it was answered exactly when the later
    // instance is, whose next wait gives the same, and nobody awaits an answer any more.
    enum class Moment { Nothing, AnswerComes, Writing };
    struct Late {
        const char *name;
        Moment moment;
        HandOffAnswerOutcome outcome;
    };
    const Late lateRows[] = {
        {"nothing comes", Moment::Nothing, HandOffAnswerOutcome::TimedOut},
        {"the answer comes", Moment::AnswerComes, HandOffAnswerOutcome::Answered},
        {"the holder writes the answer", Moment::Writing, HandOffAnswerOutcome::TimedOut},
    };
    receiver.reset(new CHandOffReceiver(names.window.c_str(), names.cls.c_str(), 0, nullptr));
    ASSERT_TRUE(receiver->IsFirstInstance());
    g_late.holderThread = GetWindowThreadProcessId(receiver->Window(), nullptr);
    g_late.waiterThread = GetCurrentThreadId();
    g_late.reached = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_late.go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ImportSwap viewSeen(&MapViewOfFile, &MapViewSeen, &g_late.mapView);
    ImportSwap waitThenAnswer(&WaitForMultipleObjects, &WaitThenAnswer, &g_late.waitMultiple);
    void *const guardHandler = AddVectoredExceptionHandler(1, PauseAtGuardPage);
    for (const Late &row : lateRows) {
        SCOPED_TRACE(row.name);
        g_late.holderView = nullptr;
        CHandOffReceiver waiting(names.window.c_str(), names.cls.c_str(), 0, nullptr, L"", 20000,
                                 HandOffReply::Awaited);
        EXPECT_EQ(waiting.Outcome(), HandOffOutcome::HandedOff);
        std::unique_ptr<CHandOffRequest> held = receiver->TakeRequest();
        if (!held || !g_late.holderView) {
            ADD_FAILURE() << "no request held, or no view of its area seen";
            break;
        }
        bool answered = false;
        g_late.whenBoundRunsOut = nullptr;
        if (row.moment == Moment::AnswerComes) {
            g_late.whenBoundRunsOut = [&] {
                answered = held->Answer(5, LongAnswer());
                g_late.holderView->messageUnits = CHandOffRequest::kMaxAnswerUnits + 1000;
            };
        }
        std::thread writer;
        if (row.moment == Moment::Writing) {
            DWORD was = 0;
            EXPECT_TRUE(VirtualProtect(reinterpret_cast<char *>(g_late.holderView) + 4096, 1,
                                       PAGE_READWRITE | PAGE_GUARD, &was));
            writer = std::thread([&] { answered = held->Answer(5, LongAnswer()); });
            EXPECT_EQ(WaitForSingleObject(g_late.reached, kLineWaitMs), WAIT_OBJECT_0) << "the holder did not stop";
        }
        const HandOffAnswer first = waiting.WaitForAnswer(row.moment == Moment::Writing ? 0 : 100);
        if (writer.joinable()) {
            SetEvent(g_late.go);
            writer.join();
        }
        EXPECT_FALSE(held->AnswerAwaited());
        if (row.moment == Moment::Nothing) answered = held->Answer(5, L"late");
        EXPECT_EQ(first.Outcome, row.outcome);
        EXPECT_EQ(waiting.WaitForAnswer(100).Outcome, row.outcome);
        EXPECT_EQ(answered, row.outcome == HandOffAnswerOutcome::Answered);
        EXPECT_TRUE(first.Message == (answered ? LongAnswer() : L"")) << first.Message.size() << " units";
    }
    RemoveVectoredExceptionHandler(guardHandler);
    waitThenAnswer.Restore();
    viewSeen.Restore();
    CloseHandle(g_late.reached);
    CloseHandle(g_late.go);
}

// ---- CHandOffReceiver (tools/receiver.exe, or one in this process) ----

// A text in the block is never taken by the next first instance, whatever left it there:
// a program of another kind; a sender whose text a receiver took by message before it was
// killed; a writer killed while it held the lock, whose abandoned lock a CMemMapFile of
// another holder then took over as if released.
TEST(HandOffReceiver, NextFirstInstanceNeverTakesATextFromTheBlock) {
    enum class Left { Written, DeliveredThenKilled, HalfWrittenThenKilled };
    for (const Left left : {Left::Written, Left::DeliveredThenKilled, Left::HalfWrittenThenKilled}) {
        SCOPED_TRACE(static_cast<int>(left));
        Instance names;
        CMemMapFile<char> block(names.BlockName().c_str(), 0, 1024, nullptr);  // outlives every program
        if (left == Left::Written) {
            std::memcpy(block.GetView(), "left before", 12);
        } else if (left == Left::DeliveredThenKilled) {
            auto running = StartTextReceiver(names);
            ASSERT_TRUE(running->WaitForLine("ready", kLineWaitMs)) << running->UnreadOutput();
            EXPECT_EQ(ResultOf(HandOffOnce(names, "--data-hex " + ToHex(std::string("delivered")))), "result 1");
            EXPECT_EQ(NextTaken(*running), "text delivered");
            running->Kill();
            EXPECT_EQ(ReadBlockText(names.BlockName()), "delivered");
        } else {
            NamedEvent never;
            auto writer = StartHandOff(names, "--data-hex " + ToHex(std::string("half written")) +
                                                  " --write-then-find " + never.Name() + " inside");
            ASSERT_TRUE(writer->WaitForLine("written", kLineWaitMs)) << writer->UnreadOutput();
            writer->Kill();
            EXPECT_EQ(ReadBlockText(names.BlockName()), "half written");
        }
        CHandOffReceiver receiver(names.window.c_str(), names.cls.c_str(), "");
        ASSERT_TRUE(receiver.IsFirstInstance());
        EXPECT_EQ(ReadBlockText(names.BlockName()), "");
        EXPECT_EQ(ResultOf(HandOffOnce(names, "--data-hex " + ToHex(std::string("next")))), "result 1");
        EXPECT_EQ(TakeAll(receiver), "next|");
    }
}

TEST(HandOffReceiver, ManySendersAtOnceGiveEachTextExactlyOnce) {
    Instance names;
    auto receiver = StartTextReceiver(names);
    ASSERT_TRUE(receiver->WaitForLine("ready", kLineWaitMs)) << receiver->UnreadOutput();
    std::map<std::string, int> taken;
    std::vector<std::unique_ptr<ChildProcess>> senders;
    // 40 senders and one more with the longest text, all at once.
    for (int i = 0; i < 41; ++i) {
        const std::string text = i == 0 ? std::string(1023, 'L') : "sender " + std::to_string(i);
        taken[text] = 0;
        senders.push_back(StartHandOff(names, "--data-hex " + ToHex(text)));
    }
    for (size_t n = 0; n < taken.size(); ++n) {
        const std::string got = NextTaken(*receiver);
        ASSERT_EQ(got.compare(0, 5, "text "), 0) << got;
        ASSERT_EQ(taken.count(got.substr(5)), 1u) << got;
        ++taken[got.substr(5)];
    }
    for (auto &sender : senders) EXPECT_TRUE(sender->WaitForLine("done", kLineWaitMs)) << sender->UnreadOutput();
    EXPECT_EQ(ResultOf(HandOffOnce(names, "--data-hex " + ToHex(std::string("last")))), "result 1");
    EXPECT_EQ(NextTaken(*receiver), "text last");
    for (const auto &text : taken) EXPECT_EQ(text.second, 1) << text.first.substr(0, 20);
}

TEST(HandOffReceiver, MalformedMessagesAreRefusedAndTheReceiverGoesOn) {
    Instance names;
    CHandOffReceiver receiver(names.window.c_str(), names.cls.c_str(), "");
    // No data; data with cbData 0; no NUL; an inner NUL; 1025 and 4096 bytes; a request, which
    // a receiver of texts does not take; then two hand-offs, the empty text among them; then
    // a text with a ticket that no sender made, and with the ticket tag and number 0 (also
    // with high bits set, on x64).
    const std::string shapes =
        "--send-raw null --send-raw \"\" --send-raw " + ToHex(std::string("no nul")) + " --send-raw " +
        ToHex(std::string("in\0ner\0", 7)) + " --send-raw " + ToHex(std::string(1024, 'b') + '\0') + " --send-raw " +
        ToHex(std::string(4095, 'c') + '\0') + " --send-raw " + ToHex(std::string("\0RQ\1\0\0\0\0C\0\0\0", 12)) +
        " --send-raw " + ToHex(std::string("ok\0", 3)) + " --send-raw 00 --raw-dwdata 35 --send-raw " +
        ToHex(std::string("no ticket\0", 10)) + " --raw-dwdata 15 --send-raw " + ToHex(std::string("ticket 0\0", 9)) +
        (sizeof(ULONG_PTR) == 8 ? " --raw-dwdata 100000015" : " --raw-dwdata 15") + " --send-raw " +
        ToHex(std::string("ticket 0 high\0", 14));
    auto sender = StartHandOff(names, shapes);
    ASSERT_TRUE(PumpUntilExit(*sender, kLineWaitMs)) << sender->UnreadOutput();
    for (const char *expected :
         {"raw 0", "raw 0", "raw 0", "raw 0", "raw 0", "raw 0", "raw 0", "raw 1", "raw 1", "raw 0", "raw 0", "raw 0"}) {
        std::string line;
        ASSERT_TRUE(sender->ReadLine(line, kLineWaitMs)) << sender->UnreadOutput();
        EXPECT_EQ(line, expected);
    }
    EXPECT_EQ(TakeAll(receiver), "ok||");
}

TEST(HandOffReceiver, LaterInstancesAndOneNameAlone) {
    Instance both;
    const Instance cases[] = {both, {both.window, ""}, {"", both.cls}};
    for (const Instance &names : cases) {
        SCOPED_TRACE("window name \"" + names.window + "\", class name \"" + names.cls + "\"");
        CHandOffReceiver receiver(names.window.c_str(), names.cls.c_str(), "ignored");
        auto later = StartTextReceiver(names, "from a later receiver");
        ASSERT_TRUE(PumpUntilExit(*later, kLineWaitMs)) << later->UnreadOutput();
        EXPECT_TRUE(later->WaitForLine("handed-off", kLineWaitMs)) << later->UnreadOutput();
        auto sender = StartHandOff(names, "--two-arg");
        ASSERT_TRUE(PumpUntilExit(*sender, kLineWaitMs)) << sender->UnreadOutput();
        EXPECT_EQ(TakeAll(receiver), "from a later receiver||");
    }
    // With window names alone, instances of two titles each get their own texts.
    const Instance first = {both.window, ""}, second = {"OrvaneWindow_" + UniqueSuffix(), ""};
    CHandOffReceiver firstReceiver(first.window.c_str(), "", ""), secondReceiver(second.window.c_str(), "", "");
    EXPECT_EQ(ResultOf(HandOffOnce(second, "--data-hex " + ToHex(std::string("two")))), "result 1");
    EXPECT_EQ(ResultOf(HandOffOnce(first, "--data-hex " + ToHex(std::string("one")))), "result 1");
    EXPECT_EQ(TakeAll(firstReceiver), "one|");
    EXPECT_EQ(TakeAll(secondReceiver), "two|");
}

// A sender that wrote the block before the receiver's window could be found, and finds
// the window afterwards: under the block's lock, as this library's sender does, it finds
// none; after letting the lock go, as senders of earlier releases did, it finds the window.
// Either way the receiver takes a text at most once, and never from the block.
TEST(HandOffReceiver, SenderThatWroteBeforeTheWindowExistedIsTakenAtMostOnce) {
    for (const bool underTheLock : {true, false}) {
        SCOPED_TRACE(underTheLock ? "found under the lock" : "found after the lock");
        Instance names;
        NamedEvent go;
        auto sender = StartHandOff(names, "--data-hex " + ToHex(std::string("early")) + " --write-then-find " +
                                              go.Name() + (underTheLock ? " inside" : " outside"));
        ASSERT_TRUE(sender->WaitForLine("written", kLineWaitMs)) << sender->UnreadOutput();
        auto receiver = StartTextReceiver(names);
        std::string line;
        if (underTheLock) {
            // The receiver makes its check and its window under the lock, so it waits.
            EXPECT_FALSE(receiver->ReadLine(line, 1000)) << "the receiver did not wait for the lock: " << line;
        } else {
            ASSERT_TRUE(receiver->WaitForLine("ready", kLineWaitMs)) << receiver->UnreadOutput();
        }
        go.Set();
        ASSERT_TRUE(sender->WaitForLine("raw", kLineWaitMs, &line)) << sender->UnreadOutput();
        EXPECT_EQ(line, underTheLock ? "raw 0" : "raw 1");  // 0: no window found, no message
        if (!underTheLock) {
            EXPECT_EQ(NextTaken(*receiver), "text early");
        }
        EXPECT_EQ(ResultOf(HandOffOnce(names, "--data-hex " + ToHex(std::string("then")))), "result 1");
        EXPECT_EQ(NextTaken(*receiver), "text then");
    }
}

TEST(HandOffReceiver, TextsWaitUpToTheLimitAndTheCallerIsTold) {
    const int kLimit = 1024;  // the number the documentation gives
    Instance names;
    const UINT kNotice = WM_APP + 7;
    std::unique_ptr<CHandOffReceiver> receiver(new CHandOffReceiver(names.window.c_str(), names.cls.c_str(), ""));
    ASSERT_TRUE(receiver->IsFirstInstance());
    receiver->PostWhenTextWaits(nullptr, kNotice);
    // More hand-offs than that, none taken meanwhile: the first kLimit wait, the rest are
    // refused, and their senders are told so (the bool form still says true).
    int notices = 0;
    auto sender = StartHandOff(names, "--timeout-ms 20000 --data-hex " + ToHex(std::string("n")) +
                                          " --numbered --repeat " + std::to_string(kLimit + 6));
    ASSERT_TRUE(PumpUntilExit(*sender, 300000, kNotice, &notices)) << sender->UnreadOutput();
    EXPECT_EQ(notices, 1);
    int handedOff = 0, refused = 0, calls = 0;
    std::string line;
    while (sender->ReadLine(line, kLineWaitMs) && line != "done") {
        const std::string outcome = FieldOf(line, "outcome");
        handedOff += calls < kLimit && outcome == "handed-off" && ResultOf(line) == "result 1";
        refused += calls >= kLimit && outcome == "refused" && ResultOf(line) == "result 1";
        ++calls;
    }
    EXPECT_EQ(calls, kLimit + 6);
    EXPECT_EQ(handedOff, kLimit);
    EXPECT_EQ(refused, 6);
    for (int i = 0; i < kLimit; ++i) {
        std::unique_ptr<char[]> text(receiver->TakeText());
        ASSERT_NE(text, nullptr) << i;
        EXPECT_EQ(std::string(text.get()), "n" + std::to_string(i));
    }
    EXPECT_EQ(receiver->TakeText(), nullptr);

    // Room again, and a notice again: also one at once for texts that wait already.
    sender = StartHandOff(names, "--data-hex " + ToHex(std::string("again")));
    ASSERT_TRUE(PumpUntilExit(*sender, kLineWaitMs, kNotice, &notices)) << sender->UnreadOutput();
    EXPECT_EQ(notices, 2);
    // Message 0 stops the notices: nothing at all is posted, for what waits or what comes.
    receiver->PostWhenTextWaits(nullptr, 0);
    int posted = 0;
    sender = StartHandOff(names, "--data-hex " + ToHex(std::string("quiet")));
    ASSERT_TRUE(PumpUntilExit(*sender, kLineWaitMs, 0, &posted)) << sender->UnreadOutput();
    EXPECT_EQ(posted, 0);
    receiver->PostWhenTextWaits(nullptr, kNotice);
    ASSERT_TRUE(PumpUntilExit(*sender, kLineWaitMs, kNotice, &notices));
    EXPECT_EQ(notices, 3);
    // To a window of the program's, and a message posted to the receiver's own window is
    // handled without a stop.
    HWND noticeWindow =
        CreateWindowA("STATIC", "", 0, 0, 0, 0, 0, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(noticeWindow, nullptr);
    receiver->PostWhenTextWaits(noticeWindow, kNotice);
    MSG message;
    EXPECT_TRUE(PeekMessageA(&message, noticeWindow, kNotice, kNotice, PM_REMOVE));
    DestroyWindow(noticeWindow);
    EXPECT_TRUE(PostMessageA(receiver->Window(), WM_APP, 0, 0));
    std::unique_ptr<char[]> text(receiver->TakeText());
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text.get(), "again");
}

// Wine has no integrity levels: that the receiver leaves the message filter as the system
// sets it (no program of a lower level hands it anything) is seen through this program's
// import slot.
int g_messageFilterCalls = 0;

BOOL WINAPI RecordMessageFilter(HWND, UINT, DWORD, PCHANGEFILTERSTRUCT) {
    ++g_messageFilterCalls;
    return TRUE;
}

// The first view of a ticket that this thread asks for fails: the ticket takes another
// number. The next view sees whether the mapping of the first is still open.
struct FailedTicketView {
    DWORD thread = 0;
    HANDLE mapping = nullptr;
    bool leftOpen = false;
    LPVOID(WINAPI *real)(HANDLE, DWORD, DWORD, DWORD, SIZE_T) = nullptr;
} g_ticketView;

LPVOID WINAPI FailFirstTicketView(HANDLE mapping, DWORD access, DWORD offsetHigh, DWORD offsetLow, SIZE_T bytes) {
    DWORD flags = 0;
    if (bytes == sizeof(LONG) && GetCurrentThreadId() == g_ticketView.thread) {
        if (!g_ticketView.mapping) {
            g_ticketView.mapping = mapping;
            return nullptr;
        }
        g_ticketView.leftOpen = mapping != g_ticketView.mapping && GetHandleInformation(g_ticketView.mapping, &flags);
    }
    return g_ticketView.real(mapping, access, offsetHigh, offsetLow, bytes);
}

std::string SidText(PSID sid) {
    char *text = nullptr;
    const std::string copy = ConvertSidToStringSidA(sid, &text) ? text : "no SID";
    LocalFree(text);
    return copy;
}

std::string UserSid() {
    HANDLE token = nullptr;
    alignas(TOKEN_USER) char user[256] = {};
    DWORD size = 0;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    const bool got = GetTokenInformation(token, TokenUser, user, sizeof user, &size);
    CloseHandle(token);
    return got ? SidText(reinterpret_cast<TOKEN_USER *>(user)->User.Sid) : "no user";
}

// The name of a ticket's object of this kind: "Ticket", or its way back's "Answer" and "Answered".
std::string NameOf(const char *kind, const HandOffTicket &ticket) {
    char name[48];
    std::snprintf(name, sizeof name, "OrvaneHandOff%s_%07lx", kind,
                  static_cast<unsigned long>(ticket.MessageData() >> 5));
    return name;
}

// The ACEs of a kernel object opened with READ_CONTROL (closed here), its DACL's and then its
// label's, each "<allow|label> <SID> <mask>|", full access as "all" (GENERIC_ALL, or mapped
// to a section's or an event's rights).
std::string ObjectSecurity(HANDLE object) {
    PACL lists[2] = {};
    PSECURITY_DESCRIPTOR security = nullptr;
    std::string aces;
    if (object && GetSecurityInfo(object, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION | LABEL_SECURITY_INFORMATION,
                                  nullptr, nullptr, &lists[0], &lists[1], &security) == ERROR_SUCCESS) {
        for (PACL list : lists) {
            for (DWORD i = 0; list && i < list->AceCount; ++i) {
                ACCESS_ALLOWED_ACE *ace = nullptr;  // a label's ACE has the same layout
                GetAce(list, i, reinterpret_cast<void **>(&ace));
                const bool all =
                    ace->Mask == GENERIC_ALL || ace->Mask == SECTION_ALL_ACCESS || ace->Mask == EVENT_ALL_ACCESS;
                aces += std::string(ace->Header.AceType == SYSTEM_MANDATORY_LABEL_ACE_TYPE ? "label " : "allow ") +
                        SidText(&ace->SidStart) + " " + (all ? "all" : std::to_string(ace->Mask)) + "|";
            }
        }
    }
    LocalFree(security);
    if (object) CloseHandle(object);
    return aces;
}

// The receiving thread's releases of a mutex, and whether its window was still there at one.
struct MutexRelease {
    DWORD thread = 0;
    HWND window = nullptr;
    bool windowThere = false;
    BOOL(WINAPI *real)(HANDLE) = nullptr;
} g_release;

BOOL WINAPI ReleaseMutexSeen(HANDLE mutex) {
    if (GetCurrentThreadId() == g_release.thread && IsWindow(g_release.window)) g_release.windowThere = true;
    return g_release.real(mutex);
}

// And what a sender asks of the foreground rule, which Wine does not enforce.
struct ForegroundCall {
    int count = 0;
    DWORD process = 0;
    bool textArrived = false;  // the receiver already had the text
    const CHandOffReceiver *receiver = nullptr;
} g_foregroundCall;

BOOL WINAPI RecordAllowForeground(DWORD process) {
    g_foregroundCall.count++;
    g_foregroundCall.process = process;
    g_foregroundCall.textArrived = WaitForSingleObject(g_foregroundCall.receiver->TextWaitsEvent(), 0) == WAIT_OBJECT_0;
    return TRUE;
}

TEST(HandOffReceiver, WindowIsHiddenRefusesWhatItCannotKeepAndGoesWithTheObject) {
    Instance names;
    ImportSwap messageFilter(&ChangeWindowMessageFilterEx, &RecordMessageFilter);
    ASSERT_TRUE(messageFilter.Installed());
    std::unique_ptr<CHandOffReceiver> receiver(new CHandOffReceiver(names.window.c_str(), names.cls.c_str(), ""));
    messageFilter.Restore();
    const HWND window = receiver->Window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(g_messageFilterCalls, 0);
    EXPECT_FALSE(IsWindowVisible(window));
    char text[300] = "";
    GetClassNameA(window, text, sizeof text);
    EXPECT_EQ(std::string(text), names.cls);
    GetWindowTextA(window, text, sizeof text);
    EXPECT_EQ(std::string(text), names.window);

    // The sender lets the receiving window's process come to the front, before its message.
    g_foregroundCall.receiver = receiver.get();
    ImportSwap allowForeground(&AllowSetForegroundWindow, &RecordAllowForeground);
    ASSERT_TRUE(allowForeground.Installed());
    EXPECT_EQ(TryHandOffToRunningInstance(names.window.c_str(), names.cls.c_str(), "forward", 20000),
              HandOffOutcome::HandedOff);
    allowForeground.Restore();
    EXPECT_EQ(g_foregroundCall.count, 1);
    EXPECT_EQ(g_foregroundCall.process, GetCurrentProcessId());
    EXPECT_FALSE(g_foregroundCall.textArrived) << "allowed only after the message";
    std::unique_ptr<char[]> forward(receiver->TakeText());
    ASSERT_NE(forward, nullptr);
    EXPECT_STREQ(forward.get(), "forward");

    auto send = [](HWND target, const char *data, ULONG_PTR ticket = 0) {
        COPYDATASTRUCT copied = {ticket, static_cast<DWORD>(std::strlen(data) + 1), const_cast<char *>(data)};
        return SendMessageA(target, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copied));
    };
    // Out of memory for the copy: dropped, its ticket not marked taken (else a sender whose
    // bound ran out would be told HandedOff), and the next one is kept.
    HandOffTicket lost;
    FailNextArrayAllocation();
    EXPECT_EQ(send(window, "lost", lost.MessageData()), FALSE);
    EXPECT_FALSE(lost.TakenElseVoid()) << "marked taken, though not kept";
    // Only a ticket's low 32 bits count: those above them, which a 64-bit sender may set, are
    // not read.
    HandOffTicket high;
    EXPECT_EQ(send(window, "high", high.MessageData() | static_cast<ULONG_PTR>(~0ULL << 32)), TRUE);
    EXPECT_EQ(TakeAll(*receiver), "high|");
    // A ticket whose view cannot be had closes its mapping and takes another number.
    g_ticketView.thread = GetCurrentThreadId();
    {
        ImportSwap failFirst(&MapViewOfFile, &FailFirstTicketView, &g_ticketView.real);
        ASSERT_TRUE(failFirst.Installed());
        HandOffTicket retried;
    }
    EXPECT_NE(g_ticketView.mapping, nullptr);
    EXPECT_FALSE(g_ticketView.leftOpen);
    // So does one whose name is denied, with this program's security and without.
    g_ticketsDenied = 2;
    {
        TicketMappingHook denied;
        ASSERT_NE(g_realCreateFileMappingA, nullptr);
        EXPECT_NO_THROW({ HandOffTicket passedOver; });
    }
    EXPECT_EQ(g_ticketsDenied, 0);
    // And one whose name another sender holds already.
    g_holdNextTicket = true;
    {
        TicketMappingHook held;
        HandOffTicket next;
        EXPECT_NE(g_heldTicket, nullptr);
        EXPECT_NE(NameOf("Ticket", next), g_heldTicketName);
    }
    CloseHandle(g_heldTicket);
    // The ticket's mapping, and a way back's area and event: full access for this process's
    // user alone, and a medium integrity label, no write up (Wine keeps both, and gives
    // GENERIC_ALL back unmapped). None is inherited: a program started while they live does
    // not keep them.
    std::unique_ptr<HandOffTicket> awaited(new HandOffTicket(HandOffReply::Awaited));
    const std::string own = "allow " + UserSid() + " all|label S-1-16-8192 1|";
    EXPECT_EQ(ObjectSecurity(OpenFileMappingA(READ_CONTROL, FALSE, NameOf("Ticket", high).c_str())), own);
    EXPECT_EQ(ObjectSecurity(OpenFileMappingA(READ_CONTROL, FALSE, NameOf("Answer", *awaited).c_str())), own);
    EXPECT_EQ(ObjectSecurity(OpenEventA(READ_CONTROL, FALSE, NameOf("Answered", *awaited).c_str())), own);
    {
        auto started = StartTextReceiver(Instance());
        ASSERT_TRUE(started->WaitForLine("ready", kLineWaitMs)) << started->Diagnosis();
        const std::string ticketName = NameOf("Ticket", *awaited), areaName = NameOf("Answer", *awaited);
        awaited.reset();
        // Nothing opens: no ACEs.
        EXPECT_EQ(ObjectSecurity(OpenFileMappingA(READ_CONTROL, FALSE, ticketName.c_str())), "");
        EXPECT_EQ(ObjectSecurity(OpenFileMappingA(READ_CONTROL, FALSE, areaName.c_str())), "");
    }
    // No record at all: answered FALSE (Wine 8), or never delivered to the receiving thread
    // (Wine 10 holds such a message between threads); either way nothing is kept.
    DWORD_PTR answer = FALSE;
    SendMessageTimeoutA(window, WM_COPYDATA, 0, 0, SMTO_NORMAL, 2000, &answer);
    EXPECT_EQ(answer, static_cast<DWORD_PTR>(FALSE));
    // A window that someone else made with this class receives nothing.
    HWND stranger = CreateWindowA(names.cls.c_str(), "stranger", WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(stranger, nullptr);
    EXPECT_EQ(send(stranger, "stray"), FALSE);
    DestroyWindow(stranger);
    EXPECT_EQ(send(window, "kept"), TRUE);
    std::unique_ptr<char[]> taken(receiver->TakeText());
    ASSERT_NE(taken, nullptr);
    EXPECT_STREQ(taken.get(), "kept");
    EXPECT_EQ(receiver->TakeText(), nullptr);

    // A hand-off leaves its text in the block too. Kept open here, the block outlives the
    // receiver, but the next first instance must not take that text again.
    CMemMapFile<char> block(names.BlockName().c_str(), 0, 1024, nullptr);
    auto sender = StartHandOff(names, "--data-hex " + ToHex(std::string("handed")));
    ASSERT_TRUE(PumpUntilExit(*sender, kLineWaitMs)) << sender->UnreadOutput();
    taken.reset(receiver->TakeText());
    ASSERT_NE(taken, nullptr);
    EXPECT_STREQ(taken.get(), "handed");
    EXPECT_EQ(ReadBlockText(names.BlockName()), "handed");
    // The window goes before the instance is given up: the next first instance never meets it.
    g_release.window = window;
    g_release.thread = GetWindowThreadProcessId(window, nullptr);
    {
        ImportSwap releaseSeen(&ReleaseMutex, &ReleaseMutexSeen, &g_release.real);
        ASSERT_TRUE(releaseSeen.Installed());
        receiver.reset();
    }
    EXPECT_FALSE(g_release.windowThere);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(ReadBlockText(names.BlockName()), "");
    receiver.reset(new CHandOffReceiver(names.window.c_str(), names.cls.c_str(), ""));
    EXPECT_TRUE(receiver->IsFirstInstance());
    EXPECT_EQ(receiver->TakeText(), nullptr);
    // A check made since keeps its own mutex when the receiver goes.
    Instance other;
    EXPECT_FALSE(HandOffToRunningInstance(other.window.c_str(), other.cls.c_str()));
    const HANDLE otherMutex = InstanceMutex;
    receiver.reset();
    EXPECT_EQ(InstanceMutex, otherMutex);
}

TEST(HandOffReceiver, RefusalsReleaseEverything) {
    EXPECT_THROW(CHandOffReceiver(nullptr, "", "text"), Exception);
    EXPECT_THROW(CHandOffReceiver("", nullptr, nullptr), Exception);
    // The block's name taken by a kernel object of another kind.
    const Instance squatted;
    HANDLE squatter = CreateMutexA(nullptr, FALSE, squatted.BlockName().c_str());
    EXPECT_THROW(CHandOffReceiver(squatted.window.c_str(), squatted.cls.c_str(), ""), Exception);
    CloseHandle(squatter);
    // A block name of 264 characters is beyond the platform's limit: refused before the
    // check, which would otherwise leave this process the first instance for good.
    const std::string window = "OrvaneWindow_" + UniqueSuffix() + std::string(200, 'w');
    const std::string longClass(250 - window.size(), 'c');
    std::string refusal = "no exception";
    try {
        CHandOffReceiver receiver(window.c_str(), longClass.c_str(), "");
    } catch (const Exception &error) {
        refusal = error.Message.c_str();
    }
    EXPECT_EQ(refusal, kMappingFailedSjis);
    EXPECT_FALSE(HandOffToRunningInstance(window.c_str(), longClass.c_str()));

    // A class of this process's own with another procedure: the caller's windows must
    // carry other names.
    Instance names;
    WNDCLASSA own = {};
    own.lpfnWndProc = DefWindowProcA;
    own.hInstance = GetModuleHandleA(nullptr);
    own.lpszClassName = names.cls.c_str();
    ASSERT_NE(RegisterClassA(&own), 0);
    // A text waiting in the block stays there for the next first instance.
    CMemMapFile<char> block(names.BlockName().c_str(), 0, 1024, nullptr);
    std::strcpy(block.GetView(), "waiting");
    // Held open here, the instance mutex outlives the receiver: given up by it under the
    // lock, it is released, not abandoned when the receiving thread ends.
    HANDLE instance = CreateMutexA(nullptr, FALSE, (names.window + names.cls).c_str());
    ASSERT_NE(instance, nullptr);
    std::string message = "no exception";
    try {
        CHandOffReceiver receiver(names.window.c_str(), names.cls.c_str(), "");
    } catch (const Exception &error) {
        message = error.Message.c_str();
    }
    EXPECT_EQ(message, kNoWindowSjis);
    EXPECT_EQ(ReadBlockText(names.BlockName()), "waiting");
    EXPECT_EQ(WaitForSingleObject(instance, 0), WAIT_OBJECT_0) << "0x80: abandoned, not given up";
    ReleaseMutex(instance);
    CloseHandle(instance);
    // The instance mutex went with it: this is the first instance again.
    EXPECT_FALSE(HandOffToRunningInstance(names.window.c_str(), names.cls.c_str()));
}

// With a window name alone, the program's own main window naturally carries the title.
TEST(HandOffReceiver, MainWindowOfTheSameTitleMadeAfterItTakesNoText) {
    Instance names;
    CHandOffReceiver receiver(names.window.c_str(), "", "");
    RecordingWindow mainWindow("Main_" + UniqueSuffix(), names.window);
    ASSERT_TRUE(mainWindow.Created());
    auto sender = StartHandOff({names.window, ""}, "--data-hex " + ToHex(std::string("for the receiver")));
    ASSERT_TRUE(PumpUntilExit(*sender, kLineWaitMs)) << sender->UnreadOutput();
    EXPECT_EQ(TakeAll(receiver), "for the receiver|");
    EXPECT_TRUE(RecordingWindow::texts().empty());
}

// A running instance answers from a thread of its own: only one that cannot run at all (its
// process suspended) leaves a later instance waiting, and then only for the later one's bound.
TEST(HandOffReceiver, SuspendedRunningInstanceHoldsALaterOneOnlyForItsBound) {
    Instance names;
    auto running = StartTextReceiver(names);
    ASSERT_TRUE(running->WaitForLine("ready", kLineWaitMs)) << running->UnreadOutput();
    ASSERT_TRUE(running->SetSuspended(true));
    EXPECT_EQ(TryHandOffToRunningInstance(names.window.c_str(), names.cls.c_str(), "no time", 0),
              HandOffOutcome::NotResponding);
    std::string line;
    EXPECT_EQ(
        FieldOf(HandOffOnce(names, "--timeout-ms 1000 --data-hex " + ToHex(std::string("unanswered"))), "outcome"),
        "not-responding");
    // A later CHandOffReceiver keeps to its own bound, well before its default one of 10 s.
    auto later = StartTextReceiver(names, "also unanswered", StandInProgramPath("receiver.exe"), " --timeout-ms 1000");
    ASSERT_TRUE(later->ReadLine(line, 7000)) << later->UnreadOutput();
    EXPECT_EQ(line, "not-responding");
    // Running again, it does not get the messages that the senders gave up on.
    ASSERT_TRUE(running->SetSuspended(false));
    EXPECT_EQ(ResultOf(HandOffOnce(names, "--data-hex " + ToHex(std::string("answered")))), "result 1");
    EXPECT_EQ(NextTaken(*running), "text answered");
}

// The receiving thread of a receiver in this process stops at one step of keeping a message
// until `go` is set: where it opens a mapping whose name holds `opening` ("Ticket": before it
// marks the ticket, a request's way back claimed by then; "Answer": where it claims the way
// back) or, without one, after it has kept what came (where it signals TextWaitsEvent). Seen
// through this program's import slots, from the making of a ReceiverPause to its end.
struct PausedReceiver {
    HANDLE textsWait = nullptr, reached = nullptr, go = nullptr;
    const char *opening = nullptr;
    BOOL(WINAPI *setEvent)(HANDLE) = nullptr;
    HANDLE(WINAPI *openFileMapping)(DWORD, BOOL, LPCSTR) = nullptr;
} g_paused;

void PauseHere() {
    g_paused.setEvent(g_paused.reached);
    WaitForSingleObject(g_paused.go, 60000);
}

BOOL WINAPI SetEventPaused(HANDLE event) {
    if (!g_paused.opening && event == g_paused.textsWait) PauseHere();
    return g_paused.setEvent(event);
}

HANDLE WINAPI OpenFileMappingPaused(DWORD access, BOOL inherit, LPCSTR name) {
    if (g_paused.opening && std::strstr(name, g_paused.opening)) PauseHere();
    return g_paused.openFileMapping(access, inherit, name);
}

struct ReceiverPause {
    NamedEvent reached, go;
    std::optional<ImportSwap<BOOL WINAPI(HANDLE)>> setEvent;
    std::optional<ImportSwap<HANDLE WINAPI(DWORD, BOOL, LPCSTR)>> openFileMapping;
    ReceiverPause(const CHandOffReceiver &receiver, const char *opening) {
        g_paused.textsWait = receiver.TextWaitsEvent();
        g_paused.reached = OpenEventA(EVENT_ALL_ACCESS, FALSE, reached.Name().c_str());
        g_paused.go = OpenEventA(EVENT_ALL_ACCESS, FALSE, go.Name().c_str());
        g_paused.opening = opening;
        setEvent.emplace(&SetEvent, &SetEventPaused, &g_paused.setEvent);
        openFileMapping.emplace(&OpenFileMappingA, &OpenFileMappingPaused, &g_paused.openFileMapping);
    }
    ~ReceiverPause() {
        go.Set();
        setEvent.reset();
        openFileMapping.reset();
        CloseHandle(g_paused.reached);
        CloseHandle(g_paused.go);
    }
    bool Installed() const { return setEvent->Installed() && openFileMapping->Installed(); }
    bool Reached() const { return WaitForSingleObject(g_paused.reached, kLineWaitMs) == WAIT_OBJECT_0; }
};

// A sender's bound runs out while the receiving thread is inside the message. Whichever of
// them marks the ticket first decides: kept, and the sender is told HandedOff, whatever it
// then finds (also the receiver closed, its window gone); or not kept, and the sender told it.
TEST(HandOffReceiver, BoundRunningOutInsideTheReceiverTellsWhatBecameOfTheText) {
    struct Case {
        const char *name;
        bool beforeTicket, closeMeanwhile;
        const char *outcome;
        bool taken;
    };
    const Case cases[] = {
        {"paused after it kept the text", false, false, "handed-off", true},
        {"paused after it kept the text, then closed", false, true, "handed-off", true},
        {"paused before it marked the ticket", true, false, "not-responding", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Instance names;
        std::unique_ptr<CHandOffReceiver> receiver(new CHandOffReceiver(names.window.c_str(), names.cls.c_str(), ""));
        NamedEvent rechecked;
        std::string line, taken;
        {
            ReceiverPause pause(*receiver, c.beforeTicket ? "Ticket" : nullptr);
            ASSERT_TRUE(pause.Installed());
            auto sender = StartHandOff(names, "--timeout-ms 500 --pause-at-recheck " + rechecked.Name() +
                                                  " --data-hex " + ToHex(std::string("late")));
            EXPECT_TRUE(pause.Reached());
            // The sender's bound runs out meanwhile; it says what it was told, or stops where it
            // asks whether the window is still there.
            ASSERT_TRUE(sender->ReadLine(line, kLineWaitMs)) << sender->UnreadOutput();
            pause.go.Set();
            if (c.closeMeanwhile) receiver->Close();
            // Taken under the lock that the receiving thread holds while it keeps a message: so
            // it has decided before the sender goes on.
            taken = TakeAll(*receiver);
            if (line == "rechecking") {
                rechecked.Set();
                ASSERT_TRUE(sender->ReadLine(line, kLineWaitMs)) << sender->UnreadOutput();
            }
            EXPECT_TRUE(sender->WaitExit(kLineWaitMs)) << sender->Diagnosis();
        }
        EXPECT_EQ(FieldOf(line, "outcome"), c.outcome) << line;
        EXPECT_EQ(taken + TakeAll(*receiver), c.taken ? "late|" : "");
    }

    // A request whose later instance would wait for its answer: stopped before its ticket is
    // marked, its way back claimed by then, or where it claims the way back (before it takes
    // the ticket: a sender told HandedOff never finds its answer unclaimed). Let go with it.
    for (const char *opening : {"Ticket", "Answer"}) {
        SCOPED_TRACE(opening);
        Instance names;
        CHandOffReceiver receiver(names.window.c_str(), names.cls.c_str(), 0, nullptr);
        ReceiverPause pause(receiver, opening);
        ASSERT_TRUE(pause.Installed());
        auto later = StartTextReceiver(names, "", StandInProgramPath("receiver.exe"),
                                       " --request --wait-answer 60000 --timeout-ms 500");
        EXPECT_TRUE(pause.Reached());
        EXPECT_TRUE(later->WaitForLine("not-responding", kLineWaitMs)) << later->Diagnosis();
        EXPECT_TRUE(later->WaitExit(kLineWaitMs));
        pause.go.Set();
        EXPECT_EQ(receiver.TakeRequest(), nullptr);
    }

    // A request passed on at a running instance's end, its bound running out while the next
    // instance has claimed its way back but not taken its ticket: the instance that passed it
    // on drops it, and the later instance that waits for its answer is told so.
    Instance names;
    NamedEvent close, passOn;
    auto running =
        StartTextReceiver(names, "", StandInProgramPath("receiver.exe"),
                          " --request --hang --close-on " + close.Name() + " --pass-on-after " + passOn.Name());
    ASSERT_TRUE(running->WaitForLine("ready", kLineWaitMs)) << running->Diagnosis();
    auto later = StartWaitingLater(names);
    ASSERT_TRUE(later->WaitForLine("handed-off", kLineWaitMs)) << later->Diagnosis();
    close.Set();
    ASSERT_TRUE(running->WaitForLine("given-up", kLineWaitMs)) << running->Diagnosis();
    CHandOffReceiver next(names.window.c_str(), names.cls.c_str(), 0, nullptr);
    ASSERT_TRUE(next.IsFirstInstance());
    {
        ReceiverPause pause(next, "Ticket");
        ASSERT_TRUE(pause.Installed());
        passOn.Set();
        EXPECT_TRUE(pause.Reached());
        EXPECT_TRUE(running->WaitForLine("dropped request", kLineWaitMs)) << running->Diagnosis();
    }
    EXPECT_EQ(AnswerOf(*later), "answer not-opened status=0 message=");
    EXPECT_TRUE(running->WaitExit(kLineWaitMs)) << running->Diagnosis();
    EXPECT_EQ(next.TakeRequest(), nullptr);
}

// The program's own thread is busy (this one: it dispatches nothing and takes nothing) while
// later instances start at once: each is answered, every text is kept once and in order, and
// the program takes them all when it is ready. A burst larger than 256 is refused nothing.
TEST(HandOffReceiver, BusyProgramHoldsNoLaterInstanceAndLosesNoText) {
    struct Case {
        int instances, callsEach, aliveAtOnce;
    };
    for (const Case c : {Case{20, 3, 20}, Case{300, 1, 40}}) {
        SCOPED_TRACE(std::to_string(c.instances) + " later instances");
        Instance names;
        CHandOffReceiver receiver(names.window.c_str(), names.cls.c_str(), "");
        std::vector<std::unique_ptr<ChildProcess>> later(c.instances);
        int handedOff = 0;
        for (int i = 0, ended = 0; ended < c.instances;) {
            if (i < c.instances && i - ended < c.aliveAtOnce) {
                later[i] = StartHandOff(names, "--timeout-ms 10000 --numbered --repeat " + std::to_string(c.callsEach) +
                                                   " --data-hex " + ToHex(std::to_string(i) + "."));
                ++i;
                continue;
            }
            ChildProcess &oldest = *later[ended++];
            ASSERT_TRUE(oldest.WaitExit(kLineWaitMs)) << oldest.UnreadOutput();
            handedOff += CountOf(oldest.UnreadOutput(), "outcome=handed-off");
        }
        EXPECT_EQ(handedOff, c.instances * c.callsEach);
        std::vector<int> next(c.instances, 0);
        int taken = 0;
        while (std::unique_ptr<char[]> text{receiver.TakeText()}) {
            const std::string got = text.get();
            const int sender = std::atoi(got.c_str());
            ASSERT_TRUE(sender >= 0 && sender < c.instances) << got;
            EXPECT_EQ(got, std::to_string(sender) + "." + std::to_string(next[sender]++)) << "out of order";
            ++taken;
        }
        EXPECT_EQ(taken, c.instances * c.callsEach);
    }
}

// Made on a thread that has called no window function (it has no message queue yet) and
// then ends: its notice reaches that thread, and the receiver lives on. Its texts are taken
// on another thread while they arrive, without a message loop, and it is closed and
// destroyed there.
TEST(HandOffReceiver, AnyThreadTakesTheTextsClosesAndDestroysIt) {
    Instance names;
    const UINT kNotice = WM_APP + 9;
    HANDLE made = CreateEventA(nullptr, TRUE, FALSE, nullptr),
           textArrived = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    CHandOffReceiver *receiver = nullptr;
    bool noticed = false;
    std::thread maker([&] {
        receiver = new CHandOffReceiver(names.window.c_str(), names.cls.c_str(), "");
        receiver->PostWhenTextWaits(nullptr, kNotice);
        SetEvent(made);
        WaitForSingleObject(textArrived, kLineWaitMs);
        MSG message;
        noticed = PeekMessageA(&message, nullptr, kNotice, kNotice, PM_REMOVE) != 0;
    });
    WaitForSingleObject(made, kLineWaitMs);
    EXPECT_EQ(ResultOf(HandOffOnce(names, "--data-hex " + ToHex(std::string("first")))), "result 1");
    SetEvent(textArrived);
    maker.join();
    CloseHandle(made);
    CloseHandle(textArrived);
    EXPECT_TRUE(noticed) << "the notice did not reach the thread that made the receiver";
    ASSERT_TRUE(receiver->IsFirstInstance());
    const HWND window = receiver->Window();
    const int kTexts = 200;
    auto sender = StartHandOff(names, "--timeout-ms 10000 --numbered --repeat " + std::to_string(kTexts) +
                                          " --data-hex " + ToHex(std::string("t")));
    std::string taken;
    std::thread([&] {
        for (int count = 0; count <= kTexts;) {
            if (WaitForSingleObject(receiver->TextWaitsEvent(), kLineWaitMs) != WAIT_OBJECT_0) break;
            for (std::unique_ptr<char[]> text; text.reset(receiver->TakeText()), text; ++count)
                taken += std::string(text.get()) + "|";
        }
        receiver->Close();
        delete receiver;
    }).join();
    std::string expected = "first|";
    for (int i = 0; i < kTexts; ++i) expected += "t" + std::to_string(i) + "|";
    EXPECT_EQ(taken, expected);
    ASSERT_TRUE(sender->WaitExit(kLineWaitMs));
    EXPECT_EQ(CountOf(sender->UnreadOutput(), "outcome=handed-off"), kTexts);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_FALSE(HandOffToRunningInstance(names.window.c_str(), names.cls.c_str()));
}

// A program that holds the block's lock and does not let it go holds nobody past a bound: a
// later instance is told BlockBusy within its own, and Close gives up the window and the
// instance after kCloseTimeoutMs. Until then they stay: they go together, under the lock.
TEST(HandOffReceiver, BlockLockHeldForGoodHoldsNobodyPastABound) {
    Instance names;
    CHandOffReceiver receiver(names.window.c_str(), names.cls.c_str(), "");
    const HWND window = receiver.Window();
    CMemMapFile<char> block(names.BlockName().c_str(), 0, 1024, nullptr);
    ASSERT_EQ(block.Lock(), WAIT_OBJECT_0);
    EXPECT_EQ(FieldOf(HandOffOnce(names, "--timeout-ms 1000"), "outcome"), "block-busy");
    EXPECT_EQ(CHandOffReceiver(names.window.c_str(), names.cls.c_str(), "", 500).Outcome(), HandOffOutcome::BlockBusy);
    HANDLE closed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread closing([&] {
        receiver.Close();
        SetEvent(closed);
    });
    Sleep(CHandOffReceiver::kCloseTimeoutMs / 4);
    EXPECT_TRUE(IsWindow(window)) << "the window went before the lock was had";
    HANDLE instance = OpenMutexA(SYNCHRONIZE, FALSE, (names.window + names.cls).c_str());
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(WaitForSingleObject(instance, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the instance went before";
    EXPECT_EQ(WaitForSingleObject(closed, kLineWaitMs), WAIT_OBJECT_0) << "Close waited past its bound";
    block.Unlock();
    closing.join();
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(WaitForSingleObject(instance, 0), WAIT_OBJECT_0);
    ReleaseMutex(instance);
    CloseHandle(instance);
    CloseHandle(closed);
}

// A writer killed while it holds the block's lock may have left its text half written.
TEST(HandOffReceiver, ProgramKilledHoldingTheBlockLockLeavesNothingToTake) {
    Instance names;
    CMemMapFile<char> block(names.BlockName().c_str(), 0, 1024, nullptr);  // outlives the writer
    for (const bool receiverFirst : {false, true}) {
        SCOPED_TRACE(receiverFirst ? "receiver running" : "receiver made after the kill");
        std::unique_ptr<CHandOffReceiver> receiver;
        if (receiverFirst) receiver.reset(new CHandOffReceiver(names.window.c_str(), names.cls.c_str(), ""));
        NamedEvent never;
        auto writer = StartHandOff(names, "--data-hex " + ToHex(std::string("half written")) + " --write-then-find " +
                                              never.Name() + " inside");
        ASSERT_TRUE(writer->WaitForLine("written", kLineWaitMs)) << writer->UnreadOutput();
        writer->Kill();
        if (!receiverFirst) receiver.reset(new CHandOffReceiver(names.window.c_str(), names.cls.c_str(), ""));
        auto sender = StartHandOff(names, "--data-hex " + ToHex(std::string("whole")));
        ASSERT_TRUE(PumpUntilExit(*sender, kLineWaitMs)) << sender->UnreadOutput();
        EXPECT_EQ(TakeAll(*receiver), "whole|");
    }
    // A program that takes the abandoned lock and then the abandoned instance, and so writes
    // nothing itself, leaves the block empty too. The instance mutex stays, its owner gone:
    // this process keeps the handle of a check made on a thread that ended.
    std::thread([&] { EXPECT_FALSE(HandOffToRunningInstance(names.window.c_str(), names.cls.c_str())); }).join();
    NamedEvent never;
    auto writer = StartHandOff(
        names, "--data-hex " + ToHex(std::string("half written")) + " --write-then-find " + never.Name() + " inside");
    ASSERT_TRUE(writer->WaitForLine("written", kLineWaitMs)) << writer->UnreadOutput();
    writer->Kill();
    EXPECT_EQ(TryHandOffToRunningInstance(names.window.c_str(), names.cls.c_str(), "mine", 20000),
              HandOffOutcome::FirstInstance);
    EXPECT_EQ(ReadBlockText(names.BlockName()), "");
}

// The running instance ends while four programs start: each of them either hands its text
// to a receiver that takes it once, or is the first instance and keeps its text. A program
// that ends by letting its receiver go, without taking what waits, has that passed on to
// the instance that runs next, or is told what it drops.
TEST(HandOffReceiver, EndingWhileProgramsStartLosesNoText) {
    const char *roundsSetting = std::getenv("ORVANE_CLOSE_RACE_ROUNDS");
    const int rounds = roundsSetting ? std::atoi(roundsSetting) : 200;
    const int kStarters = 4;
    for (const bool byDestructor : {false, true}) {
        SCOPED_TRACE(byDestructor ? "ends by its destructor" : "closes, then takes what waits");
        int texts = 0, lost = 0, twice = 0, becameFirst = 0, unanswered = 0;
        std::vector<std::string> dropped;  // RecordDropped's lines
        for (int round = 0; round < rounds / 2; ++round) {
            Instance names;
            std::map<std::string, int> taken;
            std::unique_ptr<CHandOffReceiver> running(
                new CHandOffReceiver(names.window.c_str(), names.cls.c_str(), ""));
            running->WhenDropped(RecordDropped, &dropped);
            NamedEvent close;
            std::vector<std::unique_ptr<ChildProcess>> starters;
            for (int i = 0; i < kStarters; ++i)
                starters.push_back(StartTextReceiver(names, "text " + std::to_string(round) + "." + std::to_string(i),
                                                     StandInProgramPath("receiver.exe"),
                                                     " --close-on " + close.Name()));
            // End at a different moment of their starts each round, dispatching until then.
            const ULONGLONG closeAt = GetTickCount64() + 15 * static_cast<ULONGLONG>(round % 12);
            for (MSG message; GetTickCount64() < closeAt;) {
                while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
                Sleep(1);
            }
            if (byDestructor) {
                running.reset();
            } else {
                running->Close();
                while (std::unique_ptr<char[]> text{running->TakeText()}) ++taken[text.get()];
            }

            std::vector<std::string> handedOff;
            std::vector<ChildProcess *> firsts;
            for (int i = 0; i < kStarters; ++i) {
                std::string line;
                ASSERT_TRUE(starters[i]->ReadLine(line, kLineWaitMs)) << starters[i]->UnreadOutput();
                if (line == "first-instance") {
                    firsts.push_back(starters[i].get());
                } else if (line == "handed-off") {
                    handedOff.push_back("text " + std::to_string(round) + "." + std::to_string(i));
                } else {
                    ++unanswered;
                    ADD_FAILURE() << "round " << round << ", starter " << i << ": " << line;
                }
            }
            close.Set();
            for (ChildProcess *first : firsts) {
                std::string line;
                while (first->ReadLine(line, kLineWaitMs) && line != "closed") {
                    const size_t blank = line.find(' ');
                    if (line.compare(0, blank, "text") == 0) ++taken[FromHex(line.substr(blank + 1))];
                }
                ASSERT_EQ(line, "closed") << first->UnreadOutput();
            }
            texts += kStarters;
            becameFirst += static_cast<int>(firsts.size());
            for (const std::string &text : handedOff) {
                const int seen =
                    taken[text] + static_cast<int>(std::count(dropped.begin(), dropped.end(), "text " + text));
                if (seen == 0) ++lost;
                if (seen > 1) ++twice;
            }
            for (const auto &text : taken) {
                const bool ownText =
                    std::find(handedOff.begin(), handedOff.end(), text.first) == handedOff.end() && text.second > 0;
                EXPECT_FALSE(ownText) << "round " << round << ": \"" << text.first
                                      << "\" taken, but its program was first";
            }
        }
        const int droppedCount = static_cast<int>(dropped.size());
        std::printf("%s: %d rounds, %d texts, lost %d, twice %d, became first %d, unanswered %d, dropped and told %d\n",
                    byDestructor ? "ended by the destructor" : "closed and taken", rounds / 2, texts, lost, twice,
                    becameFirst, unanswered, droppedCount);
        EXPECT_EQ(lost, 0);
        EXPECT_EQ(twice, 0);
    }
}

// Run only with ORVANE_PEER_BUILD set to the tree of a build of the other bitness (its
// bin and standins folders, as a Windows path ending in a backslash).
TEST(CrossBitness, TextArrivesWholeBetween32BitAnd64BitInstances) {
    const char *peer = std::getenv("ORVANE_PEER_BUILD");
    ASSERT_TRUE(peer && *peer) << "ORVANE_PEER_BUILD is not set";
    struct Direction {
        std::string receiver, sender, textReceiver, laterReceiver;
    };
    const Direction directions[] = {
        {std::string(peer) + "bin\\old_receiver.exe", SiblingProgramPath("handoff_child.exe"),
         std::string(peer) + "standins\\receiver.exe", StandInProgramPath("receiver.exe")},
        {SiblingProgramPath("old_receiver.exe"), std::string(peer) + "bin\\handoff_child.exe",
         StandInProgramPath("receiver.exe"), std::string(peer) + "standins\\receiver.exe"},
    };
    // The longest text that fits, Shift-JIS bytes first.
    const std::string data = kJapaneseData + std::string(1023 - std::strlen(kJapaneseData), 'x');
    const std::string message = ToHexUnits(LongAnswer());
    for (const Direction &direction : directions) {
        SCOPED_TRACE("receiver " + direction.receiver + ", sender " + direction.sender);
        Instance names;
        auto receiver = StartReceiver(names, "", direction.receiver);
        ASSERT_TRUE(receiver->Started()) << "is the build of the other bitness built?";
        ASSERT_TRUE(receiver->WaitForLine("ready", kLineWaitMs)) << receiver->UnreadOutput();
        auto sender = StartHandOff(names, "--data-hex " + ToHex(data), direction.sender);
        ASSERT_TRUE(sender->Started()) << "is the build of the other bitness built?";
        std::string result;
        ASSERT_TRUE(sender->ReadLine(result, kLineWaitMs));
        EXPECT_EQ(ResultOf(result), "result 1") << result;

        // Exactly one of the two is a 32-bit program (running under WoW64).
        BOOL receiverIs32Bit = FALSE, senderIs32Bit = FALSE;
        ASSERT_TRUE(IsWow64Process(receiver->Handle(), &receiverIs32Bit));
        ASSERT_TRUE(IsWow64Process(sender->Handle(), &senderIs32Bit));
        EXPECT_NE(receiverIs32Bit, senderIs32Bit);

        CopyData got;
        ASSERT_TRUE(NextCopyData(*receiver, got)) << receiver->UnreadOutput();
        EXPECT_EQ(got.wParam, "0");
        EXPECT_EQ(got.cbData, "1024");
        EXPECT_EQ(got.lpData, data + '\0');
        EXPECT_EQ(got.block, data);
        EXPECT_TRUE(sender->WaitForLine("done", kLineWaitMs));

        // A CHandOffReceiver of the receiver's bitness takes it from the other sender, and
        // from a CHandOffReceiver of the other bitness as the later instance.
        Instance textNames;
        auto textReceiver = StartTextReceiver(textNames, "", direction.textReceiver);
        ASSERT_TRUE(textReceiver->WaitForLine("ready", kLineWaitMs)) << textReceiver->UnreadOutput();
        EXPECT_EQ(ResultOf(HandOffOnce(textNames, "--data-hex " + ToHex(data), direction.sender)), "result 1");
        EXPECT_EQ(NextTaken(*textReceiver), "text " + data);
        auto later = StartTextReceiver(textNames, "later", direction.laterReceiver);
        EXPECT_TRUE(later->WaitForLine("handed-off", kLineWaitMs)) << later->UnreadOutput();
        EXPECT_EQ(NextTaken(*textReceiver), "text later");

        // A request, every unit of it, taken once by a receiver of requests of the other bitness.
        Instance requestNames;
        auto requestReceiver = StartTextReceiver(requestNames, "", direction.textReceiver, " --request");
        ASSERT_TRUE(requestReceiver->WaitForLine("ready", kLineWaitMs)) << requestReceiver->UnreadOutput();
        const std::string line =
            HandOffOnce(requestNames, "--timeout-ms 20000" + WideRequestOptions(), direction.sender);
        EXPECT_EQ(FieldOf(line, "outcome"), "handed-off") << line;
        EXPECT_EQ(NextTaken(*requestReceiver),
                  RequestLine(kWideDirectory, std::vector<std::wstring>(std::begin(kWideTexts), std::end(kWideTexts))));
        EXPECT_EQ(NextTaken(*requestReceiver, 1000), "none");

        // The longest answer, every unit of it, back to a waiting later instance of the other bitness.
        Instance answerNames;
        auto answering = StartTextReceiver(answerNames, "", direction.textReceiver, " --request --answer 7 " + message);
        ASSERT_TRUE(answering->WaitForLine("ready", kLineWaitMs)) << answering->UnreadOutput();
        auto waiting = StartWaitingLater(answerNames, "60000", direction.laterReceiver);
        EXPECT_EQ(AnswerOf(*waiting), "answer answered status=7 message=" + message);
        EXPECT_TRUE(answering->WaitForLine("answered 1", kLineWaitMs)) << answering->Diagnosis();
    }
}
