// A receiver of the single-instance hand-off written the way earlier releases showed,
// before CHandOffReceiver: it sees each WM_COPYDATA whole, so the tests read the
// sender's message fields through it, and later instances of this release must still
// reach it.
//
//   old_receiver <class name> <window title> [text] [--wait-before-window <event name>]
//
// Every instance first opens the shared block, then makes the check. The first
// instance then creates a hidden top-level window with the given class and title.
// It reports on standard output, one line each:
//   block-open created=<0|1>        the block is open (before the check)
//   first-instance                   the check found no other instance
//   ready hwnd=<hex>                 the window exists
//   pending <hex bytes>              a text that was already in the block
//   copydata wparam=<n> dwdata=<hex> cbdata=<n> lpdata=<hex bytes> block=<hex bytes>
// A later instance hands `text` to the first one and reports "handed-off".
// --wait-before-window makes the first instance wait for a named event right after
// its check, before it creates its window (tests hand over a text at that moment).

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "framework/exception.h"
#include "support/shared_memory.h"
#include "support/single_instance.h"
#include "tests/children/child_io.h"

namespace {

const DWORD kBlockSize = 1024;
CMemMapFile<char> *g_block = nullptr;

// The text at the start of the block, read under the block's lock. A sender writes
// at most 1023 characters and a NUL, but the read never goes past the block.
std::string ReadBlock() {
    g_block->Lock();
    std::string text;
    if (const char *view = g_block->GetView()) {
        size_t length = 0;
        while (length < kBlockSize && view[length]) ++length;
        text.assign(view, length);
    }
    g_block->Unlock();
    return text;
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_COPYDATA: {
            const COPYDATASTRUCT *copied = reinterpret_cast<const COPYDATASTRUCT *>(lParam);
            char head[160];
            std::snprintf(head, sizeof head, "copydata wparam=%llu dwdata=%llx cbdata=%lu lpdata=",
                          static_cast<unsigned long long>(wParam), static_cast<unsigned long long>(copied->dwData),
                          static_cast<unsigned long>(copied->cbData));
            const std::string text = ReadBlock();
            Report(head + ToHex(copied->lpData, copied->cbData) + " block=" + ToHex(text.data(), text.size()));
            return TRUE;
        }
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

int main(int argc, char **argv) {
    const char *className = nullptr;
    const char *title = nullptr;
    const char *text = nullptr;
    const char *waitEvent = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--wait-before-window") == 0 && i + 1 < argc) {
            waitEvent = argv[++i];
        } else if (!className) {
            className = argv[i];
        } else if (!title) {
            title = argv[i];
        } else if (!text) {
            text = argv[i];
        }
    }
    if (!className || !title) {
        std::fputs("usage: old_receiver <class name> <window title> [text] [--wait-before-window <event>]\n", stderr);
        return 2;
    }

    try {
        // Open the block BEFORE the check and keep it for the whole run. A later
        // instance may hand over a text at any moment after the check, also before
        // this window exists (FindWindowA then finds nothing): the text stays in the
        // block only while someone holds it open.
        char blockName[1024];
        ComposeSharedDataName(title, className, blockName);
        bool createdNew = false;
        CMemMapFile<char> block(blockName, 0, kBlockSize, &createdNew);
        Report(std::string("block-open created=") + (createdNew ? "1" : "0"));

        // A later instance hands its text over and ends.
        if (HandOffToRunningInstance(title, className, text)) {
            Report("handed-off");
            return 0;
        }
        g_block = &block;
        Report("first-instance");

        if (waitEvent) {
            HANDLE go = CreateEventA(nullptr, TRUE, FALSE, waitEvent);
            WaitForSingleObject(go, 60000);
            CloseHandle(go);
        }

        WNDCLASSA windowClass = {};
        windowClass.lpfnWndProc = WindowProc;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = className;
        RegisterClassA(&windowClass);
        HWND window = CreateWindowA(className, title, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 320, 200,
                                    nullptr, nullptr, windowClass.hInstance, nullptr);
        if (!window) {
            Report("no-window");
            return 1;
        }
        // When this runs elevated, senders at a lower integrity level may still send
        // WM_COPYDATA to this window.
        ChangeWindowMessageFilterEx(window, WM_COPYDATA, MSGFLT_ALLOW, nullptr);
        char ready[64];
        std::snprintf(ready, sizeof ready, "ready hwnd=%llx",
                      static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(window)));
        Report(ready);

        // Read the block once now that the window exists: this catches a text that was
        // handed over while FindWindowA could not find us yet.
        const std::string pending = ReadBlock();
        if (!pending.empty()) Report("pending " + ToHex(pending.data(), pending.size()));

        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
        g_block = nullptr;
    } catch (const Exception &error) {
        Report("exception " + ToHex(error.Message.c_str(), error.Message.Length()));
        return 1;
    }
    return 0;
}
