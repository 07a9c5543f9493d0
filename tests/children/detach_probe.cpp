// A DLL that prints "detached" when a process that loaded it detaches it, which a
// process ended at once (TerminateProcess) never does.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_DETACH) {
        // Straight to the handle: the C runtime may already be gone.
        const char line[] = "detached\n";
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, sizeof line - 1, &written, nullptr);
    }
    return TRUE;
}
