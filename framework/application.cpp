#include "framework/application.h"

#include <string>

#include "seams/kernel.h"
#include "seams/user.h"

ApplicationObject *Application = nullptr;
void (*InitProc)() = nullptr;
void (*RunProc)() = nullptr;

namespace {

const char kWindowClass[] = "TApplication";
const DWORD kWindowStyle = WS_POPUP | WS_CAPTION | WS_CLIPSIBLINGS | WS_SYSMENU | WS_MINIMIZEBOX;  // 0x84CA0000
const int kTitleBufferSize = 256;

// Plain arrays and counters: constant-initialised, so they are usable before and
// after every dynamic initialiser and destructor of any translation unit.
int lifetimeCount = 0;
void (*exitProcs[32])() = {};
int exitProcCount = 0;

// Steps one character in the ANSI code page; a lead byte before the terminator
// counts as a single byte so the walk never passes the end.
const char *NextCharacter(const char *p) { return (IsDBCSLeadByte(static_cast<BYTE>(*p)) && p[1]) ? p + 2 : p + 1; }
char *NextCharacter(char *p) { return const_cast<char *>(NextCharacter(static_cast<const char *>(p))); }

LRESULT CALLBACK HiddenWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

void AddExitProc(void (*procedure)()) {
    if (exitProcCount == static_cast<int>(sizeof exitProcs / sizeof exitProcs[0]))
        throw Exception("too many exit procedures");
    exitProcs[exitProcCount++] = procedure;
}

AnsiString ApplicationTitleFromModuleName(const char *moduleFileName) {
    char buffer[kTitleBufferSize];
    lstrcpynA(buffer, moduleFileName ? moduleFileName : "", kTitleBufferSize);
    OemToCharA(buffer, buffer);

    char *name = buffer;
    for (char *p = buffer; *p; p = NextCharacter(p))
        if (*p == '\\') name = p + 1;
    for (char *p = name; *p; p = NextCharacter(p)) {
        if (*p == '.') {
            *p = '\0';
            break;
        }
    }
    if (*name) CharLowerA(NextCharacter(name));
    return AnsiString(name);
}

AnsiString MessageWithFullStop(const AnsiString &message) {
    const char *text = message.c_str();
    if (*text == '\0') return message;
    const char *last = text;
    for (const char *p = text; *p; p = NextCharacter(p)) last = p;
    const bool doubleByte = NextCharacter(last) - last == 2;
    if (!doubleByte && static_cast<unsigned char>(*last) <= '.') return message;
    return AnsiString((std::string(text) + ".").c_str());
}

ApplicationObject::ApplicationObject() {
    char moduleName[kTitleBufferSize] = "";
    seams::GetModuleFileNameA(nullptr, moduleName, kTitleBufferSize);
    moduleName[kTitleBufferSize - 1] = '\0';
    const AnsiString title = ApplicationTitleFromModuleName(moduleName);

    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = HiddenWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClass;
    RegisterClassA(&windowClass);

    // Zero-sized at the centre of the primary screen and never shown.
    const int x = GetSystemMetrics(SM_CXSCREEN) / 2;
    const int y = GetSystemMetrics(SM_CYSCREEN) / 2;
    handle_ =
        CreateWindowExA(0, kWindowClass, title.c_str(), kWindowStyle, x, y, 0, 0, nullptr, nullptr, instance, nullptr);
}

ApplicationObject::~ApplicationObject() {
    if (handle_) DestroyWindow(handle_);  // GCOVR_EXCL_BR_LINE: null only if CreateWindowExA failed (no seam)
    UnregisterClassA(kWindowClass, GetModuleHandleA(nullptr));
}

void ApplicationObject::Initialize() {
    if (InitProc) InitProc();
}

void ApplicationObject::Run() {
    running_ = true;
    if (!cleanupRegistered_) {
        AddExitProc(Cleanup);
        cleanupRegistered_ = true;
    }
    if (RunProc) RunProc();
}

void ApplicationObject::Cleanup() {
    // GCOVR_EXCL_BR_START: exit procedures run before the object is deleted, so it is never null here
    if (Application) Application->running_ = false;
    // GCOVR_EXCL_BR_STOP
}

AnsiString ApplicationObject::Title() const {
    char title[kTitleBufferSize] = "";
    GetWindowTextA(handle_, title, kTitleBufferSize);
    return AnsiString(title);
}

void ApplicationObject::ShowException(Exception *exception) {
    const AnsiString text = MessageWithFullStop(exception->Message);
    const AnsiString caption = Title();
    seams::MessageBoxA(handle_, text.c_str(), caption.c_str(), MB_OK | MB_ICONERROR);
}

FrameworkLifetime::FrameworkLifetime() {
    // GCOVR_EXCL_BR_START: beside the test, only the clean-up of the new-expression, run when allocation fails
    if (lifetimeCount++ == 0) Application = new ApplicationObject;
    // GCOVR_EXCL_BR_STOP
}

FrameworkLifetime::~FrameworkLifetime() {
    if (--lifetimeCount != 0) return;
    while (exitProcCount > 0) exitProcs[--exitProcCount]();
    delete Application;  // GCOVR_EXCL_BR_LINE: delete's own null check; never null here
    Application = nullptr;
}
