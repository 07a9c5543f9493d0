// The receiving side of the single-instance hand-off, and the library's usage example.
//
//   receiver <class name> <window title> [text] [--close-on <event name> | --hang]
//
// The first instance keeps running and reports on standard output, one line each:
//   first-instance          the check found no other instance
//   ready hwnd=<hex>        its window exists
//   pending <hex bytes>     a text that was left in the block before the window existed
//   text <hex bytes>        each text handed over since, in order of arrival
//   closed                  with --close-on, once the event is set: it has given up the
//                           instance and reported the texts still waiting; then it ends
// With --hang the first instance stops after "ready" and never dispatches a message.
// A later instance hands `text` to the first one and reports "handed-off" (or
// "not-responding" or "refused"); an Exception is reported as "exception <hex bytes of
// its message>".

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "framework/exception.h"
#include "support/handoff_receiver.h"

namespace {

const UINT kTextWaits = WM_APP;

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

// Handles the messages that wait; false once WM_QUIT came.
bool DispatchWaiting(CHandOffReceiver &receiver) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) return false;
        if (!message.hwnd && message.message == kTextWaits)
            ReportTexts(receiver, "text ");
        else
            DispatchMessageA(&message);
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fputs("usage: receiver <class name> <window title> [text] [--close-on <event name> | --hang]\n", stderr);
        return 2;
    }
    HANDLE close = nullptr;
    if (argc > 5 && std::strcmp(argv[4], "--close-on") == 0) close = CreateEventA(nullptr, TRUE, FALSE, argv[5]);
    const bool hang = argc > 4 && std::strcmp(argv[4], "--hang") == 0;
    try {
        CHandOffReceiver receiver(argv[2], argv[1], argc > 3 ? argv[3] : nullptr);
        switch (receiver.Outcome()) {
            case HandOffOutcome::FirstInstance: break;
            case HandOffOutcome::HandedOff: Report("handed-off"); return 0;
            case HandOffOutcome::Refused: Report("refused"); return 1;
            case HandOffOutcome::NotResponding: Report("not-responding"); return 1;
        }
        Report("first-instance");
        char ready[64];
        std::snprintf(ready, sizeof ready, "ready hwnd=%llx",
                      static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(receiver.Window())));
        Report(ready);
        ReportTexts(receiver, "pending ");
        if (hang) Sleep(INFINITE);  // a first instance that hangs: it never dispatches again

        // Told by a thread message, as this program has no window of its own.
        receiver.PostWhenTextWaits(nullptr, kTextWaits);
        // Until WM_QUIT or the close event.
        while (DispatchWaiting(receiver)) {
            const DWORD woken = MsgWaitForMultipleObjects(close ? 1 : 0, &close, FALSE, INFINITE, QS_ALLINPUT);
            if (close && woken == WAIT_OBJECT_0) break;
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
