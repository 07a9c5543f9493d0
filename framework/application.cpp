#include "framework/application.h"

#include <string>

#include "seams/kernel.h"
#include "seams/user.h"

ApplicationObject *Application = nullptr;
void (*InitProc)() = nullptr;
void (*RunProc)() = nullptr;

namespace {

const wchar_t kWindowClass[] = L"TApplication";
const DWORD kWindowStyle = WS_POPUP | WS_CAPTION | WS_CLIPSIBLINGS | WS_SYSMENU | WS_MINIMIZEBOX;  // 0x84CA0000
const int kTitleBufferSize = 256;

// Plain arrays and counters: constant-initialised, so they are usable before and
// after every dynamic initialiser and destructor of any translation unit.
int lifetimeCount = 0;
void (*exitProcs[32])() = {};
int exitProcCount = 0;

// Steps one character of a message text; a lead byte before the terminator counts
// as a single byte so the walk never passes the end.
const char *NextCharacter(const char *p) {
    return (IsDBCSLeadByteEx(kMessageCodePage, static_cast<BYTE>(*p)) && p[1]) ? p + 2 : p + 1;
}

std::wstring WideFromMessageText(const char *text) {
    const int units = MultiByteToWideChar(kMessageCodePage, 0, text, -1, nullptr, 0);  // with the terminator
    std::wstring wide(static_cast<size_t>(units), L'\0');
    MultiByteToWideChar(kMessageCodePage, 0, text, -1, &wide[0], units);
    wide.resize(static_cast<size_t>(lstrlenW(wide.c_str())));
    return wide;
}

// A window of a class registered with RegisterClassW keeps its text in UTF-16.
LRESULT CALLBACK HiddenWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

void AddExitProc(void (*procedure)()) {
    if (exitProcCount == static_cast<int>(sizeof exitProcs / sizeof exitProcs[0]))
        throw Exception("too many exit procedures");
    exitProcs[exitProcCount++] = procedure;
}

std::wstring ApplicationTitleFromModuleName(const wchar_t *moduleFileName) {
    std::wstring name = moduleFileName ? moduleFileName : L"";
    name.erase(0, name.find_last_of(L'\\') + 1);  // npos + 1 is 0: no backslash, nothing erased
    name = name.substr(0, name.find(L'.'));
    const size_t first = IS_SURROGATE_PAIR(name[0], name[1]) ? 2 : 1;  // name[size()] is its terminator
    if (name.size() > first) CharLowerW(&name[first]);
    return name;
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
    wchar_t moduleName[kTitleBufferSize] = L"";
    seams::GetModuleFileNameW(nullptr, moduleName, kTitleBufferSize);
    moduleName[kTitleBufferSize - 1] = L'\0';
    const std::wstring title = ApplicationTitleFromModuleName(moduleName);

    HINSTANCE instance = GetModuleHandleW(nullptr);
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = HiddenWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClass;
    RegisterClassW(&windowClass);

    // Zero-sized at the centre of the primary screen and never shown.
    const int x = GetSystemMetrics(SM_CXSCREEN) / 2;
    const int y = GetSystemMetrics(SM_CYSCREEN) / 2;
    handle_ =
        CreateWindowExW(0, kWindowClass, title.c_str(), kWindowStyle, x, y, 0, 0, nullptr, nullptr, instance, nullptr);
}

ApplicationObject::~ApplicationObject() {
    if (handle_) DestroyWindow(handle_);  // GCOVR_EXCL_BR_LINE: null only if CreateWindowExW failed (no seam)
    UnregisterClassW(kWindowClass, GetModuleHandleW(nullptr));
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

std::wstring ApplicationObject::WideTitle() const {
    wchar_t title[kTitleBufferSize] = L"";
    GetWindowTextW(handle_, title, kTitleBufferSize);
    return title;
}

AnsiString ApplicationObject::Title() const {
    char title[kTitleBufferSize] = "";
    GetWindowTextA(handle_, title, kTitleBufferSize);
    return AnsiString(title);
}

void ApplicationObject::ShowException(Exception *exception) {
    const std::wstring text = WideFromMessageText(MessageWithFullStop(exception->Message).c_str());
    seams::MessageBoxW(handle_, text.c_str(), WideTitle().c_str(), MB_OK | MB_ICONERROR);
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
