#pragma once

#include <windows.h>

#include <string>

#include "framework/ansi_string.h"
#include "framework/exception.h"

// The framework's application object. It exists before any static object of a
// translation unit that includes this header is constructed, and is destroyed
// after all of them (see FrameworkLifetime below).
class ApplicationObject {
public:
    ApplicationObject();
    ~ApplicationObject();
    ApplicationObject(const ApplicationObject &) = delete;
    ApplicationObject &operator=(const ApplicationObject &) = delete;

    // Runs InitProc when one is installed.
    void Initialize();
    // Marks the application as running and registers its clean-up among the
    // framework's exit procedures. With no main form there is no message loop,
    // so it returns at once.
    void Run();
    // Modal error box owned by the hidden window (MessageBoxW): the message with a full
    // stop added by MessageWithFullStop, read as Shift-JIS whatever the ANSI code page,
    // the title as caption, MB_OK | MB_ICONERROR.
    void ShowException(Exception *exception);

    HWND Handle() const { return handle_; }
    // Read back from the hidden window (at most 255 characters): as it stands, and in
    // the ANSI code page, where a character the code page lacks is lost.
    std::wstring WideTitle() const;
    AnsiString Title() const;
    bool Running() const { return running_; }

private:
    static void Cleanup();

    HWND handle_ = nullptr;
    bool running_ = false;
    bool cleanupRegistered_ = false;
};

extern ApplicationObject *Application;

// Optional initialisation hook that Initialize runs; none is installed by default.
extern void (*InitProc)();
// Called by Run after it has registered the clean-up; none by default. Lets an
// embedding (or a test) take part in the start of the run.
extern void (*RunProc)();

// Framework exit procedures: run after the static objects are destroyed and
// before the application object goes, the most recently added first.
void AddExitProc(void (*procedure)());

// The code page of the framework's message texts: Shift-JIS.
constexpr UINT kMessageCodePage = 932;

// The title formed from a UTF-16 module file name: the part after the last backslash,
// cut at its first full stop, every character after the first in lower case
// (CharLowerW; a first character of two units keeps both). Null gives "".
std::wstring ApplicationTitleFromModuleName(const wchar_t *moduleFileName);

// The error box text: a "." is appended when the message is not empty and its
// last character is greater than "." (a double-byte last character always is).
// Characters are those of Shift-JIS, whatever the ANSI code page.
AnsiString MessageWithFullStop(const AnsiString &message);

// Sets the framework up on first construction and tears it down on last
// destruction. Every translation unit that includes this header holds one,
// ahead of its own static objects, so the framework outlives them whatever
// order the linker puts the units in.
class FrameworkLifetime {
public:
    FrameworkLifetime();
    ~FrameworkLifetime();
    FrameworkLifetime(const FrameworkLifetime &) = delete;
    FrameworkLifetime &operator=(const FrameworkLifetime &) = delete;
};

// Only running out of memory can throw here, at start-up, before anything runs that
// could handle it.
static FrameworkLifetime frameworkLifetime;  // NOLINT(cert-err58-cpp)
