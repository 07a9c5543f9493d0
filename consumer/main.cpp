// A small caller of the orvanecmd support library, built against a release zip.
//   consumer sha1 <text>   prints the SHA-1 hex of the text
//   consumer memmap        round trip through a CMemMapFile<char> block with a
//                          second process of this program; prints "memmap ok"
//   consumer facilities    calls the other facilities once; prints "facilities ok"
//   consumer handoff       receives a text that a second process of this program hands
//                          over; prints "handoff ok"
// Any failure prints a line starting with "FAILED" and exits with 1.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "framework/ansi_string.h"
#include "framework/exception.h"
#include "support/handoff_receiver.h"
#include "support/md5.h"
#include "support/owned_array.h"
#include "support/process_counter.h"
#include "support/safe_name.h"
#include "support/sha1.h"
#include "support/shared_memory.h"
#include "support/single_instance.h"

// The package asks for C++11 only: a caller's own standard stays (its CMake project and the
// pkg-config build of check-release.sh ask for C++11).
static_assert(__cplusplus == 201103L, "the consumer is compiled as C++11");

namespace {

const DWORD kBlockSize = 1024;

int Fail(const std::string &what) {
    std::printf("FAILED %s\n", what.c_str());
    return 1;
}

// Runs this program again with `arguments`; its exit code, or 1 when it cannot start. While
// it runs, this thread's messages are dispatched.
DWORD RunSelf(const std::string &arguments) {
    char self[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string commandLine = "\"" + std::string(self) + "\" " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child))
        return 1;
    const ULONGLONG deadline = GetTickCount64() + 60000;
    while (MsgWaitForMultipleObjects(1, &child.hProcess, FALSE, 100, QS_ALLINPUT) != WAIT_OBJECT_0 &&
           GetTickCount64() < deadline) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    }
    DWORD exitCode = 1;
    GetExitCodeProcess(child.hProcess, &exitCode);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    return exitCode;
}

// Writes a text into a new block, lets a second process of this program answer in
// the same block, and checks the answer.
int MemMapRoundTrip() {
    const std::string name = "orvanecmd_consumer_" + std::to_string(GetCurrentProcessId());
    bool createdNew = false;
    CMemMapFile<char> block(name.c_str(), 0, kBlockSize, &createdNew);
    if (!createdNew) return Fail("memmap: block existed already");
    char *view = block.GetView();
    if (!view) return Fail("memmap: no view");
    block.Lock();
    std::strcpy(view, "question");
    block.Unlock();

    if (RunSelf("memmap-answer " + name) != 0) return Fail("memmap: the second process failed");

    block.Lock();
    const std::string answer(view);
    block.Unlock();
    if (answer != "answer to question") return Fail("memmap: read back [" + answer + "]");
    std::printf("memmap ok\n");
    return 0;
}

// The second process: opens the existing block and answers in it.
int MemMapAnswer(const char *name) {
    bool createdNew = true;
    CMemMapFile<char> block(name, 0, kBlockSize, &createdNew);
    if (createdNew) return Fail("memmap-answer: the block did not exist");
    char *view = block.GetView();
    if (!view) return Fail("memmap-answer: no view");
    block.Lock();
    const std::string question(view);
    std::strcpy(view, ("answer to " + question).c_str());
    block.Unlock();
    return 0;
}

// This process is the first instance; a second one, a later instance, hands over its text.
int HandOff() {
    const std::string title = "orvanecmd_consumer_handoff_" + std::to_string(GetCurrentProcessId());
    CHandOffReceiver receiver(title.c_str(), "ConsumerReceiver", nullptr);
    if (!receiver.IsFirstInstance()) return Fail("handoff: not the first instance");
    if (RunSelf("handoff-send " + title) != 0) return Fail("handoff: the second process failed");
    char *text = receiver.TakeText();
    const std::string received = text ? text : "(none)";
    delete[] text;
    if (received != "handed over") return Fail("handoff: received [" + received + "]");
    std::printf("handoff ok\n");
    return 0;
}

int HandOffSend(const char *title) {
    CHandOffReceiver receiver(title, "ConsumerReceiver", "handed over");
    return receiver.IsFirstInstance() ? Fail("handoff-send: first instance") : 0;
}

int Facilities() {
    uint32_t state[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
    unsigned char block[64] = {0x80};
    Md5Transform(state, block);
    // MD5 of the empty message: the transform of the one padding block.
    if (state[0] != 0xd98c1dd4u) return Fail("md5");

    char *safe = ComposeSafeName("a", "(b)\\c", "d");
    const std::string composed = safe;
    delete[] safe;
    if (composed != "a[b]_cd") return Fail("safe name: " + composed);

    CCustomArray<char> texts;
    texts.Add(Sha1HexNew("abc"));
    if (AnsiString(texts.GetAt(0)) != Sha1HexString("abc")) return Fail("owned array or AnsiString");
    try {
        texts.GetAt(1);
        return Fail("owned array: no exception for an index out of range");
    } catch (char *) {
    }

    const std::string windowName = "orvanecmd_consumer_" + std::to_string(GetCurrentProcessId());
    if (HandOffToRunningInstance(windowName.c_str(), "ConsumerClass")) return Fail("first instance handed off");

    // PDH's "Process" object is missing under Wine, so the lookup is linked, not run.
    char *(*volatile findCounterPath)(const char *, const char *, DWORD) = FindProcessCounterPath;
    if (!findCounterPath) return Fail("process counter");

    try {
        throw Exception("caught");
    } catch (const Exception &error) {
        if (error.Message != "caught") return Fail("exception");
    }
    std::printf("facilities ok\n");
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "sha1" && argc > 2) {
        char hex[41];
        Sha1HexOfText(argv[2], hex);
        std::printf("%s\n", hex);
        return 0;
    }
    if (command == "memmap") return MemMapRoundTrip();
    if (command == "memmap-answer" && argc > 2) return MemMapAnswer(argv[2]);
    if (command == "facilities") return Facilities();
    if (command == "handoff") return HandOff();
    if (command == "handoff-send" && argc > 2) return HandOffSend(argv[2]);
    std::fputs("usage: consumer sha1 <text> | memmap | facilities | handoff\n", stderr);
    return 2;
}
