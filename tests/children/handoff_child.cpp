// Test child for HandOffToRunningInstance: one caller in a process of its own.
//
//   handoff_child <window name> <class name> [data] [--repeat <n>] [--hold-event <event>]
// data is one of: --data-hex <hex>, --data-fill <char> <count>, --null-data,
// --two-arg (the two-argument form); without any of them the data is empty.
// With --announce it prints "calling" before each call.
// After each call it prints
//   "result <0|1> name=<hex of SharedDataName> dwdata=<hex address of SharedDataName>"
// or "exception <hex text> name=<hex of SharedDataName>", then "done"; with
// --hold-event it keeps running until the event is set.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "framework/exception.h"
#include "support/single_instance.h"
#include "tests/children/child_io.h"

namespace {

void Report(const std::string &line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

std::string NameField() { return " name=" + ToHex(SharedDataName, std::strlen(SharedDataName)); }

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fputs("usage: handoff_child <window name> <class name> [options]\n", stderr);
        return 2;
    }
    std::string data;
    bool nullData = false;
    bool twoArgs = false;
    int repeat = 1;
    const char *holdEvent = nullptr;
    bool announce = false;
    for (int i = 3; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--data-hex" && i + 1 < argc) {
            data = FromHex(argv[++i]);
        } else if (option == "--data-fill" && i + 2 < argc) {
            const char fill = argv[i + 1][0];
            data.assign(static_cast<size_t>(std::atoi(argv[i + 2])), fill);
            i += 2;
        } else if (option == "--null-data") {
            nullData = true;
        } else if (option == "--announce") {
            announce = true;
        } else if (option == "--two-arg") {
            twoArgs = true;
        } else if (option == "--repeat" && i + 1 < argc) {
            repeat = std::atoi(argv[++i]);
        } else if (option == "--hold-event" && i + 1 < argc) {
            holdEvent = argv[++i];
        }
    }

    for (int i = 0; i < repeat; ++i) {
        if (announce) Report("calling");
        try {
            const bool handedOff = twoArgs
                                       ? HandOffToRunningInstance(argv[1], argv[2])
                                       : HandOffToRunningInstance(argv[1], argv[2], nullData ? nullptr : data.c_str());
            char address[32];
            std::snprintf(address, sizeof address, "%llx",
                          static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(SharedDataName)));
            Report(std::string("result ") + (handedOff ? "1" : "0") + NameField() + " dwdata=" + address);
        } catch (const Exception &error) {
            Report("exception " + ToHex(error.Message.c_str(), error.Message.Length()) + NameField());
        }
    }
    Report("done");
    if (holdEvent) {
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, holdEvent);
        WaitForSingleObject(event, 60000);
        CloseHandle(event);
    }
    return 0;
}
