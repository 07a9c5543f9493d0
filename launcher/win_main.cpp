#include "launcher/win_main.h"

#include "framework/application.h"
#include "launcher/command_line.h"
#include "seams/kernel.h"
#include "seams/shell.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    try {
        Application->Initialize();
        Application->Run();
        const wchar_t *parameters = FindViewerParameters(FindArgumentText(seams::GetCommandLineW()), CountAnsiBytes);
        // The shell's result is not looked at: a viewer that fails to start is not reported.
        seams::ShellExecuteW(nullptr, L"open", L"Orvane.exe", parameters, nullptr, SW_SHOWNORMAL);
        seams::Sleep(kLingerMs);
    } catch (Exception &exception) {
        Application->ShowException(&exception);
    } catch (...) {
        // Anything else is reported as an Exception with an empty message.
        try {
            throw Exception("");
        } catch (Exception &exception) {  // GCOVR_EXCL_BR_LINE: what is thrown just above always matches
            Application->ShowException(&exception);
        }
    }
    return 0;
}
