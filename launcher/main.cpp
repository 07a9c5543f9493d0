// The launcher's own start-up. The framework header comes first, so the framework
// is set up before the global CWindows below and torn down after it.
#include "framework/application.h"
#include "launcher/app_objects.h"
#include "launcher/command_line.h"
#include "launcher/win_main.h"

CWindows Windows;  // NOLINT(cert-err58-cpp): its parts' constructors only set fields to null and zero

namespace {
int ShowCommandFromStartupInfo() {
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    return (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
}
}  // namespace

// The runtime destroys the static objects (Windows first), the framework then runs
// its exit procedures and finalises, and the process ends with the result.
int main() {
    const char *argumentText = FindArgumentText(GetCommandLineA());
    const int showCommand = ShowCommandFromStartupInfo();
    return WinMain(GetModuleHandleA(nullptr), nullptr, const_cast<LPSTR>(argumentText), showCommand);
}
