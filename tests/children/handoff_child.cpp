// Test child for HandOffToRunningInstance: one caller in a process of its own.
//
//   handoff_child <window name> <class name> [data] [--repeat <n>] [--hold-event <event>]
// data is one of: --data-hex <hex>, --data-fill <char> <count>, --null-data,
// --two-arg (the two-argument form); without any of them the data is empty.
// With --announce it prints "calling" before each call; with --numbered each call
// hands over the data followed by its number (0, 1, ...); with --timeout-ms <n> each
// call is TryHandOffToRunningInstance with that bound, and its result line ends with
// " outcome=<first-instance|handed-off|refused|not-responding|no-window|block-busy>"; with --check-in-thread <event>
// the calls are made on a thread of their own, which ends once the event is set and
// then prints "thread-ended".
// With --request [--dir-hex <hex>] [--arg-hex <hex>]... [--arg-fill <hex unit> <count>] each
// call is TryHandOffRequestToRunningInstance (bound: --timeout-ms, INFINITE without) with
// those arguments as UTF-16LE in hex (--arg-fill: one of <count> times that unit) and that
// working directory (the current one without --dir-hex).
// With --other-check-at-recheck <window> <class>, when the call asks whether its window still
// exists, another thread first makes a check of those names and stays alive, owning its
// instance if it is the first, until the process ends; it prints "other <outcome>".
// With --report-allow it prints "allow <process id>" for each AllowSetForegroundWindow.
// Instead of the call:
//   --send-raw <hex>|null ...  sends WM_COPYDATA with exactly these bytes (null: no
//                              data, cbData 0) to the window of these names and prints
//                              "raw <result>" for each, in order; dwData is 0, or the
//                              hexadecimal value of --raw-dwdata before it
//   --pause-at-find <event>    (with the call) prints "finding" when the call looks for
//                              the window, and waits for the event first
//   --pause-at-recheck <event> (with the call) prints "rechecking" when the call asks
//                              whether the window it sent to still exists, and waits for
//                              the event first
//   --write-then-find <event> <inside|outside>  writes the data into the block under its
//                              lock, prints "written", waits for the event holding the
//                              lock (inside) or after letting it go (outside, as senders
//                              of earlier releases did), then finds the window, lets the
//                              lock go and sends; prints "raw <result>"
// After each call it prints
//   "result <0|1> name=<hex of SharedDataName>"
// or "exception <hex text> name=<hex of SharedDataName>", then "done"; with
// --hold-event it keeps running until the event is set.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "framework/exception.h"
#include "support/shared_memory.h"
#include "support/single_instance.h"
#include "tests/children/child_io.h"
#include "tools/handoff_outcome_name.h"

namespace {

std::string NameField() { return " name=" + ToHex(SharedDataName, std::strlen(SharedDataName)); }

HWND FindReceiver(const char *window, const char *cls) {
    return FindWindowA(*cls ? cls : nullptr, *window ? window : nullptr);
}

// The steps inside the call at which the child stops until an event is set: it reports the
// step and waits, then goes on. They are this program's imports, through which the library
// calls them.
HANDLE g_findGo = nullptr, g_recheckGo = nullptr;
using FindWindowAFn = HWND(WINAPI *)(LPCSTR, LPCSTR);
using IsWindowFn = BOOL(WINAPI *)(HWND);
FindWindowAFn g_realFindWindowA = nullptr;
IsWindowFn g_realIsWindow = nullptr;

HWND WINAPI PausedFindWindowA(LPCSTR cls, LPCSTR window) {
    Report("finding");
    WaitForSingleObject(g_findGo, 60000);
    return g_realFindWindowA(cls, window);
}

const char *g_otherWindow = nullptr, *g_otherClass = nullptr;
volatile bool g_otherReported = false;

DWORD WINAPI OtherCheck(void *) {
    Report(std::string("other ") +
           HandOffOutcomeName(TryHandOffToRunningInstance(g_otherWindow, g_otherClass, "other", 5000)));
    g_otherReported = true;
    Sleep(INFINITE);
    return 0;
}

BOOL WINAPI PausedIsWindow(HWND window) {
    if (g_otherWindow) {
        static HANDLE other = CreateThread(nullptr, 0, OtherCheck, nullptr, 0, nullptr);
        (void)other;
        while (!g_otherReported) Sleep(1);
    }
    Report("rechecking");
    WaitForSingleObject(g_recheckGo, 60000);
    return g_realIsWindow(window);
}

using AllowSetForegroundWindowFn = BOOL(WINAPI *)(DWORD);
AllowSetForegroundWindowFn g_realAllow = nullptr;

BOOL WINAPI ReportedAllow(DWORD process) {
    Report("allow " + std::to_string(process));
    return g_realAllow(process);
}

bool PauseAt(void *function, void *paused, const char *event, HANDLE *go, void **real) {
    *go = CreateEventA(nullptr, TRUE, FALSE, event);
    *real = SwapImport(function, paused);
    return *real != nullptr;
}

void SendRaw(HWND target, const char *data, size_t size, ULONG_PTR dwData = 0) {
    COPYDATASTRUCT copied = {};
    copied.dwData = dwData;
    copied.cbData = static_cast<DWORD>(size);
    copied.lpData = const_cast<char *>(data);
    const LRESULT result = SendMessageA(target, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&copied));
    Report("raw " + std::to_string(result));
}

void WriteThenFind(const char *window, const char *cls, const std::string &data, const char *event, bool inside) {
    char name[1024];
    ComposeSharedDataName(window, cls, name);
    CMemMapFile<char> block(name, 0, 1024, nullptr);
    block.Lock();
    std::memcpy(block.GetView(), data.c_str(), data.size() + 1);
    if (!inside) block.Unlock();
    Report("written");
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, event);
    WaitForSingleObject(go, 60000);
    CloseHandle(go);
    const HWND target = FindReceiver(window, cls);
    if (inside) block.Unlock();
    SendRaw(target, data.c_str(), data.size() + 1);
}

struct Calls {
    const char *window, *cls;
    std::string data;
    bool request = false, haveDirectory = false;
    std::wstring directory;
    std::vector<std::wstring> arguments;
    bool nullData = false, twoArgs = false, numbered = false, announce = false;
    int repeat = 1;
    DWORD timeoutMs = 0;        // 0: HandOffToRunningInstance
    HANDLE endEvent = nullptr;  // waited for after the calls
};

DWORD WINAPI MakeCalls(void *parameter) {
    const Calls &calls = *static_cast<const Calls *>(parameter);
    for (int i = 0; i < calls.repeat; ++i) {
        if (calls.announce) Report("calling");
        const std::string text = calls.numbered ? calls.data + std::to_string(i) : calls.data;
        const char *data = calls.nullData ? nullptr : text.c_str();
        try {
            std::string outcome;
            bool handedOff = false;
            if (calls.request) {
                std::vector<const wchar_t *> arguments;
                for (const std::wstring &argument : calls.arguments) arguments.push_back(argument.c_str());
                const HandOffOutcome got = TryHandOffRequestToRunningInstance(
                    calls.window, calls.cls, static_cast<int>(arguments.size()), arguments.data(),
                    calls.haveDirectory ? calls.directory.c_str() : nullptr,
                    calls.timeoutMs ? calls.timeoutMs : INFINITE);
                handedOff = got != HandOffOutcome::FirstInstance;
                outcome = std::string(" outcome=") + HandOffOutcomeName(got);
            } else if (calls.timeoutMs) {
                const HandOffOutcome got = TryHandOffToRunningInstance(calls.window, calls.cls, data, calls.timeoutMs);
                handedOff = got != HandOffOutcome::FirstInstance;
                outcome = std::string(" outcome=") + HandOffOutcomeName(got);
            } else {
                handedOff = calls.twoArgs ? HandOffToRunningInstance(calls.window, calls.cls)
                                          : HandOffToRunningInstance(calls.window, calls.cls, data);
            }
            Report(std::string("result ") + (handedOff ? "1" : "0") + NameField() + outcome);
        } catch (const Exception &error) {
            Report("exception " + ToHex(error.Message.c_str(), error.Message.Length()) + NameField());
        }
    }
    if (calls.endEvent) WaitForSingleObject(calls.endEvent, 60000);
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fputs("usage: handoff_child <window name> <class name> [options]\n", stderr);
        return 2;
    }
    Calls calls;
    calls.window = argv[1];
    calls.cls = argv[2];
    std::string &data = calls.data;
    const char *holdEvent = nullptr;
    const char *threadEvent = nullptr;
    std::vector<std::string> raw;
    std::vector<bool> rawNull;
    std::vector<ULONG_PTR> rawData;
    ULONG_PTR nextRawData = 0;
    const char *writeEvent = nullptr;
    bool writeInside = false;
    for (int i = 3; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--data-hex" && i + 1 < argc) {
            data = FromHex(argv[++i]);
        } else if (option == "--data-fill" && i + 2 < argc) {
            const char fill = argv[i + 1][0];
            data.assign(static_cast<size_t>(std::atoi(argv[i + 2])), fill);
            i += 2;
        } else if (option == "--null-data") {
            calls.nullData = true;
        } else if (option == "--announce") {
            calls.announce = true;
        } else if (option == "--numbered") {
            calls.numbered = true;
        } else if (option == "--timeout-ms" && i + 1 < argc) {
            calls.timeoutMs = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 10));
        } else if (option == "--check-in-thread" && i + 1 < argc) {
            threadEvent = argv[++i];
        } else if (option == "--send-raw" && i + 1 < argc) {
            const std::string bytes = argv[++i];
            rawNull.push_back(bytes == "null");
            raw.push_back(FromHex(bytes));
            rawData.push_back(nextRawData);
        } else if (option == "--raw-dwdata" && i + 1 < argc) {
            nextRawData = static_cast<ULONG_PTR>(std::strtoull(argv[++i], nullptr, 16));
        } else if (option == "--pause-at-find" && i + 1 < argc) {
            if (!PauseAt(reinterpret_cast<void *>(&FindWindowA), reinterpret_cast<void *>(&PausedFindWindowA),
                         argv[++i], &g_findGo, reinterpret_cast<void **>(&g_realFindWindowA))) {
                Report("no FindWindowA import");
                return 1;
            }
        } else if (option == "--pause-at-recheck" && i + 1 < argc) {
            if (!PauseAt(reinterpret_cast<void *>(&IsWindow), reinterpret_cast<void *>(&PausedIsWindow), argv[++i],
                         &g_recheckGo, reinterpret_cast<void **>(&g_realIsWindow))) {
                Report("no IsWindow import");
                return 1;
            }
        } else if (option == "--write-then-find" && i + 2 < argc) {
            writeEvent = argv[i + 1];
            writeInside = std::string(argv[i + 2]) == "inside";
            i += 2;
        } else if (option == "--request") {
            calls.request = true;
        } else if (option == "--dir-hex" && i + 1 < argc) {
            calls.directory = FromHexUnits(argv[++i]);
            calls.haveDirectory = true;
        } else if (option == "--arg-hex" && i + 1 < argc) {
            calls.arguments.push_back(FromHexUnits(argv[++i]));
        } else if (option == "--arg-fill" && i + 2 < argc) {
            calls.arguments.emplace_back(std::strtoul(argv[i + 2], nullptr, 10), FromHexUnits(argv[i + 1])[0]);
            i += 2;
        } else if (option == "--other-check-at-recheck" && i + 2 < argc) {
            g_otherWindow = argv[i + 1];
            g_otherClass = argv[i + 2];
            i += 2;
        } else if (option == "--report-allow") {
            g_realAllow = reinterpret_cast<AllowSetForegroundWindowFn>(SwapImport(
                reinterpret_cast<void *>(&AllowSetForegroundWindow), reinterpret_cast<void *>(&ReportedAllow)));
            if (!g_realAllow) {
                Report("no AllowSetForegroundWindow import");
                return 1;
            }
        } else if (option == "--two-arg") {
            calls.twoArgs = true;
        } else if (option == "--repeat" && i + 1 < argc) {
            calls.repeat = std::atoi(argv[++i]);
        } else if (option == "--hold-event" && i + 1 < argc) {
            holdEvent = argv[++i];
        }
    }

    if (!raw.empty() || writeEvent) {
        for (size_t i = 0; i < raw.size(); ++i)
            SendRaw(FindReceiver(argv[1], argv[2]), rawNull[i] ? nullptr : raw[i].data(), raw[i].size(), rawData[i]);
        if (writeEvent) WriteThenFind(argv[1], argv[2], data, writeEvent, writeInside);
        Report("done");
        return 0;
    }
    if (threadEvent) {
        calls.endEvent = CreateEventA(nullptr, TRUE, FALSE, threadEvent);
        HANDLE thread = CreateThread(nullptr, 0, MakeCalls, &calls, 0, nullptr);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        Report("thread-ended");
    } else {
        MakeCalls(&calls);
    }
    Report("done");
    if (holdEvent) {
        HANDLE event = CreateEventA(nullptr, TRUE, FALSE, holdEvent);
        WaitForSingleObject(event, 60000);
        CloseHandle(event);
    }
    return 0;
}
