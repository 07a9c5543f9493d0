// The receiving side of the single-instance hand-off, and the library's usage example.
//
//   receiver <class name> <window title> [text] [--close-on <event name>] [--hang]
//            [--busy-ms <n>] [--timeout-ms <n>]
//
// The first instance keeps running and reports on standard output, one line each:
//   first-instance          the check found no other instance
//   ready hwnd=<hex>        its window exists
//   text <hex bytes>        each text handed over since, in order of arrival
//   closed                  with --close-on, once the event is set: it has given up the
//                           instance and reported the texts still waiting; then it ends
// It has no message loop: it waits on the receiver's event for texts.
// With --hang the first instance's own thread stops after "ready" and never takes a text;
// the receiver still answers later instances. With --busy-ms it is busy so long, then
// takes the texts that came meanwhile.
// A later instance hands `text` to the first one, waiting at most --timeout-ms (10 s unless
// told), and reports "handed-off" (or "not-responding", "refused", "no-window",
// "block-busy"); an Exception is reported as "exception <hex bytes of its message>".

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "framework/exception.h"
#include "support/handoff_receiver.h"
#include "tools/handoff_outcome_name.h"

namespace {

std::string Hex(const char *bytes, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text += digits[static_cast<unsigned char>(bytes[i]) >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

void Report(const std::string &line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

void ReportTexts(CHandOffReceiver &receiver, const char *label) {
    while (std::unique_ptr<char[]> text{receiver.TakeText()}) Report(label + Hex(text.get(), std::strlen(text.get())));
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fputs(
            "usage: receiver <class name> <window title> [text] [--close-on <event name>] [--hang] "
            "[--busy-ms <n>] [--timeout-ms <n>]\n",
            stderr);
        return 2;
    }
    HANDLE close = nullptr;
    DWORD busyMs = 0;
    DWORD timeoutMs = CHandOffReceiver::kDefaultTimeoutMs;
    for (int i = 4; i < argc; ++i) {
        if (std::strcmp(argv[i], "--close-on") == 0 && i + 1 < argc) {
            close = CreateEventA(nullptr, TRUE, FALSE, argv[++i]);
        } else if (std::strcmp(argv[i], "--hang") == 0) {
            busyMs = INFINITE;
        } else if (std::strcmp(argv[i], "--busy-ms") == 0 && i + 1 < argc) {
            busyMs = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        } else if (std::strcmp(argv[i], "--timeout-ms") == 0 && i + 1 < argc) {
            timeoutMs = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        }
    }
    try {
        CHandOffReceiver receiver(argv[2], argv[1], argc > 3 ? argv[3] : nullptr, timeoutMs);
        const HandOffOutcome outcome = receiver.Outcome();
        Report(HandOffOutcomeName(outcome));
        if (outcome != HandOffOutcome::FirstInstance) return outcome == HandOffOutcome::HandedOff ? 0 : 1;
        char ready[64];
        std::snprintf(ready, sizeof ready, "ready hwnd=%llx",
                      static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(receiver.Window())));
        Report(ready);
        Sleep(busyMs);  // a program whose own thread loads a document meanwhile

        // Until the close event: texts as they come.
        const HANDLE events[2] = {receiver.TextWaitsEvent(), close};
        for (;;) {
            ReportTexts(receiver, "text ");
            if (WaitForMultipleObjects(close ? 2 : 1, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) break;
        }
        // Closed first, then the texts taken: one handed over meanwhile is not lost.
        receiver.Close();
        ReportTexts(receiver, "text ");
        Report("closed");
    } catch (const Exception &error) {
        Report("exception " + Hex(error.Message.c_str(), error.Message.Length()));
        return 1;
    }
    return 0;
}
