// The receiving side of the single-instance hand-off, and the library's usage example.
//
//   receiver <class name> <window title> [text] [--close-on <event name>] [--hang]
//            [--busy-ms <n>] [--timeout-ms <n>]
//            [--request [--dir-hex <hex>] [--arg-hex <hex>]... [--arg-fill <hex unit> <count>]]
//            [--end-by-destructor] [--pass-on-after <event name>] [--wait-answer <ms>]
//            [--answer <status> <hex>] [--hold-requests]
//
// With --request it is made with a request instead of the text: the arguments given, as
// UTF-16LE in hex (--arg-fill: one argument of <count> times that unit), and the working
// directory (the current one without --dir-hex); it then takes requests as well as texts.
// The first instance keeps running and reports on standard output, one line each:
//   first-instance          the check found no other instance
//   ready hwnd=<hex>        its window exists
//   text <hex bytes>        each text handed over since, in order of arrival
//   request dir=<hex> args=<hex>,<hex>...   each request (with --request: texts come so too),
//                           as UTF-16LE
//   dropped ...             with --end-by-destructor: what the destructor could pass on to
//                           no instance, as "text" or "request" lines say it
//   closed                  with --close-on, once the event is set: it has given up the
//                           instance and reported the texts still waiting; then it ends
//                           (with --end-by-destructor it lets the receiver go instead, and
//                           reports "closed" after that)
//   given-up                with --pass-on-after, once closed: it has given up the instance;
//                           it lets the receiver go (what waits passed on) once that event is set
// With --answer it answers each request as it takes it, with that status and that message
// (UTF-16LE in hex), and reports "answered <1|0>" (whether the later instance still
// waited); with --hold-requests it keeps them unanswered until it ends; otherwise it lets
// each go as soon as it has reported it.
// It has no message loop: it waits on the receiver's event for texts.
// With --hang the first instance's own thread stops after "ready" and never takes a text;
// the receiver still answers later instances. With --busy-ms it is busy so long, then
// takes the texts that came meanwhile. With --close-on, the event ends either.
// A later instance hands `text` to the first one, waiting at most --timeout-ms (10 s unless
// told), and reports "handed-off" (or "not-responding", "refused", "no-window",
// "block-busy"); an Exception is reported as "exception <hex bytes of its message>".
// With --request and --wait-answer it then waits so long for the answer (0: no bound) and
// reports "answer <outcome> status=<n> message=<hex>", and ends with the answer's status.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "framework/exception.h"
#include "support/handoff_receiver.h"
#include "tests/hex.h"
#include "tools/handoff_outcome_name.h"

namespace {

void Report(const std::string &line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

std::string RequestLine(const CHandOffRequest &request) {
    std::string line = "request dir=" + ToHexUnits(request.WorkingDirectory) + " args=";
    for (size_t i = 0; i < request.Arguments.size(); ++i) line += (i ? "," : "") + ToHexUnits(request.Arguments[i]);
    return line;
}

// How the first instance treats the requests it takes.
struct Answering {
    bool answer = false, hold = false;
    DWORD status = 0;
    std::wstring message;
    std::vector<std::unique_ptr<CHandOffRequest>> held;
};

void ReportTexts(CHandOffReceiver &receiver, bool requests, const std::string &label, Answering &answering) {
    if (requests) {
        while (std::unique_ptr<CHandOffRequest> request = receiver.TakeRequest()) {
            Report(label + RequestLine(*request));
            if (answering.answer)
                Report(std::string("answered ") + (request->Answer(answering.status, answering.message) ? "1" : "0"));
            if (answering.hold) answering.held.push_back(std::move(request));
        }
    } else {
        while (std::unique_ptr<char[]> text{receiver.TakeText()})
            Report(label + "text " + ToHex(text.get(), std::strlen(text.get())));
    }
}

void ReportDropped(void *, const char *text, const CHandOffRequest *request) {
    Report(text ? "dropped text " + ToHex(text, std::strlen(text)) : "dropped " + RequestLine(*request));
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
    HANDLE close = nullptr, passOnAfter = nullptr;
    bool request = false, endByDestructor = false;
    std::wstring directory;
    bool haveDirectory = false;
    std::vector<std::wstring> arguments;
    DWORD busyMs = 0;
    DWORD timeoutMs = CHandOffReceiver::kDefaultTimeoutMs;
    HandOffReply reply = HandOffReply::NotAwaited;
    DWORD answerWaitMs = 0;
    Answering answering;
    for (int i = 4; i < argc; ++i) {
        if (std::strcmp(argv[i], "--close-on") == 0 && i + 1 < argc) {
            close = CreateEventA(nullptr, TRUE, FALSE, argv[++i]);
        } else if (std::strcmp(argv[i], "--hang") == 0) {
            busyMs = INFINITE;
        } else if (std::strcmp(argv[i], "--busy-ms") == 0 && i + 1 < argc) {
            busyMs = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        } else if (std::strcmp(argv[i], "--timeout-ms") == 0 && i + 1 < argc) {
            timeoutMs = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        } else if (std::strcmp(argv[i], "--request") == 0) {
            request = true;
        } else if (std::strcmp(argv[i], "--dir-hex") == 0 && i + 1 < argc) {
            directory = FromHexUnits(argv[++i]);
            haveDirectory = true;
        } else if (std::strcmp(argv[i], "--arg-hex") == 0 && i + 1 < argc) {
            arguments.push_back(FromHexUnits(argv[++i]));
        } else if (std::strcmp(argv[i], "--arg-fill") == 0 && i + 2 < argc) {
            arguments.emplace_back(std::strtoul(argv[i + 2], nullptr, 10), FromHexUnits(argv[i + 1])[0]);
            i += 2;
        } else if (std::strcmp(argv[i], "--end-by-destructor") == 0) {
            endByDestructor = true;
        } else if (std::strcmp(argv[i], "--pass-on-after") == 0 && i + 1 < argc) {
            passOnAfter = CreateEventA(nullptr, TRUE, FALSE, argv[++i]);
        } else if (std::strcmp(argv[i], "--wait-answer") == 0 && i + 1 < argc) {
            answerWaitMs = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
            reply = HandOffReply::Awaited;
        } else if (std::strcmp(argv[i], "--answer") == 0 && i + 2 < argc) {
            answering.answer = true;
            answering.status = static_cast<DWORD>(std::strtoul(argv[i + 1], nullptr, 10));
            answering.message = FromHexUnits(argv[i + 2]);
            i += 2;
        } else if (std::strcmp(argv[i], "--hold-requests") == 0) {
            answering.hold = true;
        }
    }
    std::vector<const wchar_t *> argumentPointers;
    for (const std::wstring &argument : arguments) argumentPointers.push_back(argument.c_str());
    try {
        std::unique_ptr<CHandOffReceiver> made(
            request ? new CHandOffReceiver(argv[2], argv[1], static_cast<int>(argumentPointers.size()),
                                           argumentPointers.data(), haveDirectory ? directory.c_str() : nullptr,
                                           timeoutMs, reply)
                    : new CHandOffReceiver(argv[2], argv[1], argc > 3 ? argv[3] : nullptr, timeoutMs));
        CHandOffReceiver &receiver = *made;
        receiver.WhenDropped(ReportDropped, nullptr);
        const HandOffOutcome outcome = receiver.Outcome();
        Report(HandOffOutcomeName(outcome));
        if (outcome != HandOffOutcome::FirstInstance && reply == HandOffReply::Awaited) {
            const HandOffAnswer answer = receiver.WaitForAnswer(answerWaitMs ? answerWaitMs : INFINITE);
            Report(std::string("answer ") + HandOffOutcomeName(answer.Outcome) +
                   " status=" + std::to_string(answer.Status) + " message=" + ToHexUnits(answer.Message));
            return static_cast<int>(answer.Status);
        }
        if (outcome != HandOffOutcome::FirstInstance) return outcome == HandOffOutcome::HandedOff ? 0 : 1;
        char ready[64];
        std::snprintf(ready, sizeof ready, "ready hwnd=%llx",
                      static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(receiver.Window())));
        Report(ready);
        // A program whose own thread loads a document meanwhile.
        bool closed = false;
        if (close && busyMs)
            closed = WaitForSingleObject(close, busyMs) == WAIT_OBJECT_0;
        else
            Sleep(busyMs);

        // Until the close event: texts as they come.
        const HANDLE events[2] = {receiver.TextWaitsEvent(), close};
        while (!closed) {
            ReportTexts(receiver, request, "", answering);
            closed = WaitForMultipleObjects(close ? 2 : 1, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1;
        }
        if (passOnAfter) {
            receiver.Close();
            Report("given-up");
            WaitForSingleObject(passOnAfter, INFINITE);
            made.reset();
        } else if (endByDestructor) {
            made.reset();  // what waits goes on to the next instance, or is reported dropped
        } else {
            // Closed first, then the texts taken: one handed over meanwhile is not lost.
            receiver.Close();
            ReportTexts(receiver, request, "", answering);
        }
        Report("closed");
    } catch (const Exception &error) {
        Report("exception " + ToHex(error.Message.c_str(), error.Message.Length()));
        return 1;
    }
    return 0;
}
