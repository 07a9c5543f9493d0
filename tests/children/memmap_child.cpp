// Test child for CMemMapFile<char>: one holder in a process of its own.
//
//   memmap_child open <name> [--write-hex <hex>] [--hold-event <event>]
//       holds the 1024-byte block; prints "open created=<0|1> head=<hex of 16 bytes>",
//       writes the bytes under the lock ("written"), then waits for the event.
//   memmap_child count <name> <times> [--start-event <event>]
//       prints "ready", waits for the event, then adds 1 to the 32-bit counter at the
//       start of the block <times> times, each under the lock; prints "counted".
//   memmap_child lockhold <name>
//       takes the lock, prints "locked" and keeps it until killed.
//   memmap_child trylock <mutex name>
//       opens or creates the mutex and tries to take it at once; prints
//       "trylock existed=<0|1> wait=<wait result>".
// Every mode prints "exception <hex text>" when the constructor throws.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "framework/exception.h"
#include "support/shared_memory.h"
#include "tests/children/child_io.h"

namespace {

const char *OptionValue(int argc, char **argv, const char *option) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], option) == 0) return argv[i + 1];
    return nullptr;
}

void WaitForEvent(const char *name) {
    if (!name) return;
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, name);
    WaitForSingleObject(event, 60000);
    CloseHandle(event);
}

int Open(const char *name, int argc, char **argv) {
    bool createdNew = false;
    CMemMapFile<char> block(name, 0, 1024, &createdNew);
    char *view = block.GetView();
    Report(std::string("open created=") + (createdNew ? "1" : "0") + " head=" + ToHex(view, 16));
    if (const char *hex = OptionValue(argc, argv, "--write-hex")) {
        const std::string bytes = FromHex(hex);
        block.Lock();
        std::memcpy(view, bytes.data(), bytes.size());
        block.Unlock();
        Report("written");
    }
    WaitForEvent(OptionValue(argc, argv, "--hold-event"));
    return 0;
}

int Count(const char *name, int times, const char *startEvent) {
    CMemMapFile<char> block(name, 0, 1024, nullptr);
    volatile LONG *counter = reinterpret_cast<volatile LONG *>(block.GetView());
    Report("ready");
    WaitForEvent(startEvent);
    for (int i = 0; i < times; ++i) {
        block.Lock();
        // A separate read and write: without the lock, increments would get lost.
        const LONG value = *counter;
        if (i % 64 == 0) SwitchToThread();
        *counter = value + 1;
        block.Unlock();
    }
    Report("counted");
    return 0;
}

int LockHold(const char *name) {
    CMemMapFile<char> block(name, 0, 1024, nullptr);
    block.Lock();
    Report("locked");
    Sleep(INFINITE);
    return 0;
}

int TryLock(const char *mutexName) {
    HANDLE mutex = CreateMutexA(nullptr, FALSE, mutexName);
    const bool existed = GetLastError() == ERROR_ALREADY_EXISTS;
    const DWORD wait = WaitForSingleObject(mutex, 0);
    if (wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED) ReleaseMutex(mutex);
    CloseHandle(mutex);
    Report(std::string("trylock existed=") + (existed ? "1" : "0") + " wait=" + std::to_string(wait));
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fputs("usage: memmap_child open|count|lockhold|trylock <name> ...\n", stderr);
        return 2;
    }
    const std::string mode = argv[1];
    const char *name = argv[2];
    try {
        if (mode == "open") return Open(name, argc, argv);
        if (mode == "count" && argc > 3)
            return Count(name, std::atoi(argv[3]), OptionValue(argc, argv, "--start-event"));
        if (mode == "lockhold") return LockHold(name);
        if (mode == "trylock") return TryLock(name);
    } catch (const Exception &error) {
        Report("exception " + ToHex(error.Message.c_str(), error.Message.Length()));
        return 1;
    }
    return 2;
}
