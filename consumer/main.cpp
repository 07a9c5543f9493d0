// A small caller of the orvanecmd support library, built against a release zip.
//   consumer sha1 <text>   prints the SHA-1 hex of the text
//   consumer memmap        round trip through a CMemMapFile<char> block with a
//                          second process of this program; prints "memmap ok"
//   consumer facilities    calls the other facilities once; prints "facilities ok"
// Any failure prints a line starting with "FAILED" and exits with 1.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "framework/ansi_string.h"
#include "framework/exception.h"
#include "support/md5.h"
#include "support/owned_array.h"
#include "support/process_counter.h"
#include "support/safe_name.h"
#include "support/sha1.h"
#include "support/shared_memory.h"
#include "support/single_instance.h"

namespace {

const DWORD kBlockSize = 1024;

int Fail(const std::string &what) {
    std::printf("FAILED %s\n", what.c_str());
    return 1;
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

    char self[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string commandLine = "\"" + std::string(self) + "\" memmap-answer " + name;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &child))
        return Fail("memmap: could not start the second process");
    WaitForSingleObject(child.hProcess, 60000);
    DWORD exitCode = 1;
    GetExitCodeProcess(child.hProcess, &exitCode);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    if (exitCode != 0) return Fail("memmap: the second process failed");

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
    std::fputs("usage: consumer sha1 <text> | memmap | facilities\n", stderr);
    return 2;
}
