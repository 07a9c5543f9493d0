// Child program for the exit-order test. It holds a global CWindows (in
// exit_order_globals.cpp), fills its arrays unless started with "--null-arrays",
// runs the framework and returns; every step of the exit is written to standard
// output as it happens, one line each.
#include <cstdlib>
#include <cstring>
#include <new>

#include "framework/application.h"
#include "launcher/app_objects.h"
#include "seams/mci.h"

extern CWindows Windows;

void LogLine(const char *line) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD written = 0;
    WriteFile(out, line, static_cast<DWORD>(std::strlen(line)), &written, nullptr);
    WriteFile(out, "\n", 1, &written, nullptr);
}

namespace {

// Arrays whose release is logged; plain data so it outlives every destructor.
struct Tracked {
    void *array;
    const char *name;
};
Tracked tracked[6];
int trackedCount = 0;

char *TrackedArray(const char *name) {
    char *array = new char[8];
    tracked[trackedCount++] = {array, name};
    return array;
}

MCIERROR WINAPI LogMciCommand(MCIDEVICEID device, UINT message, DWORD_PTR flags, DWORD_PTR parameters) {
    char line[128];
    wsprintfA(line, "mciSendCommandA(%u, 0x%04x, %u, %u)", static_cast<unsigned>(device), message,
              static_cast<unsigned>(flags), static_cast<unsigned>(parameters));
    LogLine(line);
    return MCIERR_INVALID_DEVICE_ID;
}

void LogExitProcedure() {
    LogLine(Application->Running() ? "exit procedure (application running: yes)"
                                   : "exit procedure (application running: no)");
}

WNDPROC hiddenWindowProc = nullptr;

LRESULT CALLBACK LogWindowDestruction(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) LogLine("hidden window destroyed");
    return CallWindowProcA(hiddenWindowProc, window, message, wParam, lParam);
}

}  // namespace

void *operator new[](std::size_t size) {
    if (void *block = std::malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}

void operator delete[](void *block) noexcept {
    for (int i = 0; i < trackedCount; ++i) {
        if (tracked[i].array == block) {
            char line[96] = "delete[] ";
            lstrcatA(line, tracked[i].name);
            LogLine(line);
        }
    }
    std::free(block);
}

void operator delete[](void *block, std::size_t) noexcept { operator delete[](block); }

int main(int argc, char **argv) {
    const bool nullArrays = argc > 1 && std::strcmp(argv[1], "--null-arrays") == 0;
    seams::mciSendCommandA = LogMciCommand;
    hiddenWindowProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(Application->Handle(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(LogWindowDestruction)));

    if (!nullArrays) {
        Windows.System.Shell.Buffer = TrackedArray("CShell");
        Windows.System.DeskTop.Buffer = TrackedArray("CDeskTop");
        Windows.System.FirstBuffer = TrackedArray("CSystem first");
        Windows.System.SecondBuffer = TrackedArray("CSystem second");
        Windows.App.FirstBuffer = TrackedArray("CApplication first");
        Windows.App.SecondBuffer = TrackedArray("CApplication second");
    }

    // Registered before Run, so it runs after the clean-up that Run registers.
    AddExitProc(LogExitProcedure);
    Application->Initialize();
    Application->Run();
    LogLine("main returns");
    return 0;
}
