// The least launcher that the start-up benchmark holds orvanecmd.exe against: the same
// command-line split, the same hidden "TApplication" window with the title formed from
// the file name, ShellExecuteA and the linger, and nothing else.
#include <windows.h>
#include <shellapi.h>

#include "launcher/command_line.h"

namespace {
LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND CreateHiddenWindow() {
    char title[256] = "";
    GetModuleFileNameA(nullptr, title, sizeof title);
    OemToCharA(title, title);
    char *name = title;
    for (char *p = title; *p; p = CharNextA(p))
        if (*p == '\\') name = p + 1;
    for (char *p = name; *p; p = CharNextA(p))
        if (*p == '.') *p = '\0';
    if (*name) CharLowerA(CharNextA(name));

    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = "TApplication";
    RegisterClassA(&windowClass);
    const DWORD style = WS_POPUP | WS_CAPTION | WS_CLIPSIBLINGS | WS_SYSMENU | WS_MINIMIZEBOX;
    return CreateWindowExA(0, "TApplication", name, style, GetSystemMetrics(SM_CXSCREEN) / 2,
                           GetSystemMetrics(SM_CYSCREEN) / 2, 0, 0, nullptr, nullptr, instance, nullptr);
}
}  // namespace

int main() {
    HWND window = CreateHiddenWindow();
    const char *argumentText = FindArgumentText(GetCommandLineA());
    ShellExecuteA(nullptr, "open", "Orvane.exe", FindViewerParameters(argumentText), nullptr, SW_SHOWNORMAL);
    Sleep(120000);
    DestroyWindow(window);
    return 0;
}
