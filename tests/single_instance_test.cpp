#include "support/single_instance.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "framework/exception.h"
#include "support/handoff_receiver.h"
#include "support/shared_memory.h"
#include "tests/array_alloc_probe.h"
#include "tests/children/child_io.h"
#include "tests/win_process.h"

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

// "pending <text>" or "text <text>" of the next text the receiver took; "none" when it
// took none in time.
std::string NextTaken(ChildProcess &receiver) {
    std::string line;
    while (receiver.ReadLine(line, kLineWaitMs)) {
        const size_t blank = line.find(' ');
        const std::string kind = line.substr(0, blank);
        if (kind == "pending" || kind == "text") return kind + " " + FromHex(line.substr(blank + 1));
    }
    return "none";
}

// Handles this thread's messages until `child` ends (its SendMessageA waits for this
// thread); counts the thread messages `notice` among them.
bool PumpUntilExit(ChildProcess &child, DWORD timeoutMs, UINT notice = 0, int *notices = nullptr) {
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    HANDLE process = child.Handle();
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (notice && !message.hwnd && message.message == notice) ++*notices;
            DispatchMessageA(&message);
        }
        if (WaitForSingleObject(process, 0) == WAIT_OBJECT_0) return true;
        if (GetTickCount64() >= deadline) return false;
        MsgWaitForMultipleObjects(1, &process, FALSE, 100, QS_ALLINPUT);
    }
}

// The texts a receiver holds, oldest first, each followed by "|".
std::string TakeAll(CHandOffReceiver &receiver) {
    std::string all;
    while (std::unique_ptr<char[]> text{receiver.TakeText()}) all += std::string(text.get()) + "|";
    return all;
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
    EXPECT_EQ(got.dwData, FieldOf(result, "dwdata"));  // the sender's address of SharedDataName
    EXPECT_EQ(got.cbData, std::to_string(data.size() + 1));
    EXPECT_EQ(got.lpData, data + '\0');
    EXPECT_EQ(got.block, data);

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

TEST(HandOff, WithoutAWindowTheCallSucceedsAndTheTextWaitsInTheBlock) {
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
    EXPECT_EQ(ResultOf(HandOffOnce(names, "")), "result 1");
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
    };
    for (const Case &c : {Case{Going::Killed, "killed"},
                          Case{Going::KilledWhileAnswerAwaited, "killed while a receiver waits for its answer"},
                          Case{Going::Closed, "closed"}, Case{Going::CheckingThreadEnded, "its thread ended"}}) {
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
            // Waited for in vain: a receiver that no longer dispatches.
            const std::string options = going == Going::KilledWhileAnswerAwaited ? " --hang" : " --close-on " + close.Name();
            first = StartTextReceiver(names, "", StandInProgramPath("receiver.exe"), options);
            ASSERT_TRUE(first->WaitForLine("ready", kLineWaitMs)) << first->UnreadOutput();
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

        if (!next) {
            EXPECT_EQ(ResultOf(HandOffOnce(names, "")), "result 0");
            next = StartTextReceiver(names, "next");
        }
        ASSERT_TRUE(next->WaitForLine("first-instance", kLineWaitMs)) << next->UnreadOutput();
        ASSERT_TRUE(next->WaitForLine("ready", kLineWaitMs)) << next->UnreadOutput();
        EXPECT_EQ(ResultOf(HandOffOnce(names, "--data-hex " + ToHex(std::string("to the next")))), "result 1");
        EXPECT_EQ(NextTaken(*next), "text to the next");
    }
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

// ---- CHandOffReceiver (tools/receiver.exe, or one in this process) ----

TEST(HandOffReceiver, TextLeftInTheBlockComesFirstAndOnlyOnce) {
    struct Case {
        std::string block, taken;
    };
    const Case cases[] = {{"left before", "left before|next|"},
                          {std::string(1023, 'l'), std::string(1023, 'l') + "|next|"},
                          {std::string(1024, 'x'), "next|"},  // no NUL within the block: no text
                          {"", "next|"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.block.size()) + " bytes in the block");
        Instance names;
        CMemMapFile<char> block(names.BlockName().c_str(), 0, 1024, nullptr);
        std::memcpy(block.GetView(), c.block.data(), c.block.size());
        CHandOffReceiver receiver(names.window.c_str(), names.cls.c_str(), "");
        EXPECT_EQ(ReadBlockText(names.BlockName()), "");
        auto sender = StartHandOff(names, "--data-hex " + ToHex(std::string("next")));
        ASSERT_TRUE(PumpUntilExit(*sender, kLineWaitMs)) << sender->UnreadOutput();
        EXPECT_EQ(TakeAll(receiver), c.taken);
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
    // No data; data with cbData 0; no NUL; an inner NUL; 1025 and 4096 bytes; then two
    // hand-offs, the empty text among them.
    const std::string shapes =
        "--send-raw null --send-raw \"\" --send-raw " + ToHex(std::string("no nul")) + " --send-raw " +
        ToHex(std::string("in\0ner\0", 7)) + " --send-raw " + ToHex(std::string(1024, 'b') + '\0') + " --send-raw " +
        ToHex(std::string(4095, 'c') + '\0') + " --send-raw " + ToHex(std::string("ok\0", 3)) + " --send-raw 00";
    auto sender = StartHandOff(names, shapes);
    ASSERT_TRUE(PumpUntilExit(*sender, kLineWaitMs)) << sender->UnreadOutput();
    for (const char *expected : {"raw 0", "raw 0", "raw 0", "raw 0", "raw 0", "raw 0", "raw 1", "raw 1"}) {
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
}

// A sender that wrote the block before the receiver's window could be found, and finds
// the window afterwards: taken once when it looks for the window under the block's lock,
// as this library's sender does; twice when it let the lock go first, as senders of
// earlier releases did (the README says so).
TEST(HandOffReceiver, SenderThatWroteBeforeTheWindowExistedIsTakenOnce) {
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
        EXPECT_EQ(NextTaken(*receiver), "pending early");
        if (!underTheLock) {
            EXPECT_EQ(NextTaken(*receiver), "text early");
        }
        EXPECT_EQ(ResultOf(HandOffOnce(names, "--data-hex " + ToHex(std::string("then")))), "result 1");
        EXPECT_EQ(NextTaken(*receiver), "text then");
    }
}

TEST(HandOffReceiver, TextsWaitUpToTheLimitAndTheCallerIsTold) {
    Instance names;
    const UINT kNotice = WM_APP + 7;
    std::unique_ptr<CHandOffReceiver> receiver(new CHandOffReceiver(names.window.c_str(), names.cls.c_str(), ""));
    ASSERT_TRUE(receiver->IsFirstInstance());
    receiver->PostWhenTextWaits(nullptr, kNotice);
    // 300 hand-offs, none taken meanwhile: the first 256 wait, the rest are dropped.
    int notices = 0;
    auto sender = StartHandOff(names, "--data-hex " + ToHex(std::string("n")) + " --numbered --repeat 300");
    ASSERT_TRUE(PumpUntilExit(*sender, 120000, kNotice, &notices)) << sender->UnreadOutput();
    EXPECT_EQ(notices, 1);
    for (size_t i = 0; i < CHandOffReceiver::kMaxWaitingTexts; ++i) {
        std::unique_ptr<char[]> text(receiver->TakeText());
        ASSERT_NE(text, nullptr) << i;
        EXPECT_EQ(std::string(text.get()), "n" + std::to_string(i));
    }
    EXPECT_EQ(receiver->TakeText(), nullptr);

    // Room again, and a notice again: also one at once for texts that wait already.
    sender = StartHandOff(names, "--data-hex " + ToHex(std::string("again")));
    ASSERT_TRUE(PumpUntilExit(*sender, kLineWaitMs, kNotice, &notices)) << sender->UnreadOutput();
    EXPECT_EQ(notices, 2);
    receiver->PostWhenTextWaits(nullptr, 0);
    receiver->PostWhenTextWaits(nullptr, kNotice);
    ASSERT_TRUE(PumpUntilExit(*sender, kLineWaitMs, kNotice, &notices));
    EXPECT_EQ(notices, 3);
    std::unique_ptr<char[]> text(receiver->TakeText());
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text.get(), "again");
}

// Wine has no integrity levels: what the receiver asks of the message filter for an
// elevated run is seen through this program's import slot.
struct MessageFilterCall {
    int count = 0;
    HWND window = nullptr;
    UINT message = 0;
    DWORD action = 0;
    PCHANGEFILTERSTRUCT status = nullptr;
} g_messageFilterCall;

BOOL WINAPI RecordMessageFilter(HWND window, UINT message, DWORD action, PCHANGEFILTERSTRUCT status) {
    g_messageFilterCall = {g_messageFilterCall.count + 1, window, message, action, status};
    return TRUE;
}

TEST(HandOffReceiver, WindowIsHiddenRefusesWhatItCannotKeepAndGoesWithTheObject) {
    Instance names;
    void *messageFilter = SwapImport(reinterpret_cast<void *>(&ChangeWindowMessageFilterEx),
                                     reinterpret_cast<void *>(&RecordMessageFilter));
    ASSERT_NE(messageFilter, nullptr);
    std::unique_ptr<CHandOffReceiver> receiver(new CHandOffReceiver(names.window.c_str(), names.cls.c_str(), ""));
    SwapImport(reinterpret_cast<void *>(&RecordMessageFilter), messageFilter);
    const HWND window = receiver->Window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(g_messageFilterCall.count, 1);
    EXPECT_EQ(g_messageFilterCall.window, window);
    EXPECT_EQ(g_messageFilterCall.message, static_cast<UINT>(WM_COPYDATA));
    EXPECT_EQ(g_messageFilterCall.action, static_cast<DWORD>(MSGFLT_ALLOW));
    EXPECT_EQ(g_messageFilterCall.status, nullptr);
    EXPECT_FALSE(IsWindowVisible(window));
    char text[300] = "";
    GetClassNameA(window, text, sizeof text);
    EXPECT_EQ(std::string(text), names.cls);
    GetWindowTextA(window, text, sizeof text);
    EXPECT_EQ(std::string(text), names.window);

    auto send = [](HWND target, const char *data) {
        COPYDATASTRUCT copied = {0, static_cast<DWORD>(std::strlen(data) + 1), const_cast<char *>(data)};
        return SendMessageA(target, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copied));
    };
    // Out of memory for the copy: dropped, and the next one is kept.
    FailNextArrayAllocation();
    EXPECT_EQ(send(window, "lost"), FALSE);
    EXPECT_EQ(SendMessageA(window, WM_COPYDATA, 0, 0), FALSE);
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
    receiver.reset();
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
    std::string message = "no exception";
    try {
        CHandOffReceiver receiver(names.window.c_str(), names.cls.c_str(), "");
    } catch (const Exception &error) {
        message = error.Message.c_str();
    }
    EXPECT_EQ(message, kNoWindowSjis);
    EXPECT_EQ(ReadBlockText(names.BlockName()), "waiting");
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

// This thread dispatches nothing while the sender waits for the receiver it owns.
TEST(HandOffReceiver, RunningInstanceThatDoesNotAnswerHoldsALaterOneOnlyForItsBound) {
    Instance names;
    CHandOffReceiver receiver(names.window.c_str(), names.cls.c_str(), "");
    auto sender = StartHandOff(names, "--timeout-ms 1000 --data-hex " + ToHex(std::string("unanswered")));
    std::string line;
    ASSERT_TRUE(sender->WaitForLine("result", kLineWaitMs, &line)) << sender->UnreadOutput();
    EXPECT_EQ(FieldOf(line, "outcome"), "not-responding") << line;
    // Dispatching again, the receiver does not get the message the sender gave up on.
    ASSERT_TRUE(PumpUntilExit(*sender, kLineWaitMs)) << sender->UnreadOutput();
    EXPECT_EQ(TakeAll(receiver), "");
    // Answered in time, the outcome says so.
    sender = StartHandOff(names, "--timeout-ms 20000 --data-hex " + ToHex(std::string("answered")));
    ASSERT_TRUE(PumpUntilExit(*sender, kLineWaitMs)) << sender->UnreadOutput();
    ASSERT_TRUE(sender->WaitForLine("result", kLineWaitMs, &line)) << sender->UnreadOutput();
    EXPECT_EQ(FieldOf(line, "outcome"), "handed-off") << line;
    EXPECT_EQ(TakeAll(receiver), "answered|");
    // A window of this thread is called directly: no wait, not even 0 ms, applies.
    EXPECT_EQ(TryHandOffToRunningInstance(names.window.c_str(), names.cls.c_str(), "own", 0),
              HandOffOutcome::HandedOff);
    EXPECT_EQ(TakeAll(receiver), "own|");
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
}

// The running instance closes while four programs start: each of them either hands its text
// to a receiver that takes it once, or is the first instance and keeps its text.
TEST(HandOffReceiver, ClosingWhileProgramsStartLosesNoText) {
    const char *roundsSetting = std::getenv("ORVANE_CLOSE_RACE_ROUNDS");
    const int rounds = roundsSetting ? std::atoi(roundsSetting) : 200;
    const int kStarters = 4;
    int texts = 0, lost = 0, twice = 0, becameFirst = 0, unanswered = 0;
    for (int round = 0; round < rounds; ++round) {
        Instance names;
        std::map<std::string, int> taken;
        std::unique_ptr<CHandOffReceiver> running(new CHandOffReceiver(names.window.c_str(), names.cls.c_str(), ""));
        NamedEvent close;
        std::vector<std::unique_ptr<ChildProcess>> starters;
        for (int i = 0; i < kStarters; ++i)
            starters.push_back(StartTextReceiver(names, "text " + std::to_string(i), StandInProgramPath("receiver.exe"),
                                                 " --close-on " + close.Name()));
        // Close at a different moment of their starts each round, dispatching until then.
        const ULONGLONG closeAt = GetTickCount64() + 15 * static_cast<ULONGLONG>(round % 12);
        for (MSG message; GetTickCount64() < closeAt;) {
            while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
            Sleep(1);
        }
        running->Close();
        while (std::unique_ptr<char[]> text{running->TakeText()}) ++taken[text.get()];

        std::vector<std::string> handedOff;
        std::vector<ChildProcess *> firsts;
        for (int i = 0; i < kStarters; ++i) {
            std::string line;
            ASSERT_TRUE(starters[i]->ReadLine(line, kLineWaitMs)) << starters[i]->UnreadOutput();
            if (line == "first-instance") {
                firsts.push_back(starters[i].get());
            } else if (line == "handed-off") {
                handedOff.push_back("text " + std::to_string(i));
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
                if (line.compare(0, blank, "pending") == 0 || line.compare(0, blank, "text") == 0)
                    ++taken[FromHex(line.substr(blank + 1))];
            }
            ASSERT_EQ(line, "closed") << first->UnreadOutput();
        }
        texts += kStarters;
        becameFirst += static_cast<int>(firsts.size());
        for (const std::string &text : handedOff) {
            if (taken[text] == 0) ++lost;
            if (taken[text] > 1) ++twice;
        }
        for (const auto &text : taken) {
            const bool ownText =
                std::find(handedOff.begin(), handedOff.end(), text.first) == handedOff.end() && text.second > 0;
            EXPECT_FALSE(ownText) << "round " << round << ": \"" << text.first << "\" taken, but its program was first";
        }
    }
    std::printf("close race: %d rounds, %d texts, lost %d, twice %d, became first %d, unanswered %d\n", rounds, texts,
                lost, twice, becameFirst, unanswered);
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(twice, 0);
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
    }
}
