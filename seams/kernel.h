#pragma once

#include <windows.h>

#include "seams/seam.h"

namespace seams {
using SleepFn = VOID(WINAPI *)(DWORD);
inline SleepFn Sleep = ::Sleep;

using GetCommandLineWFn = LPWSTR(WINAPI *)();
inline GetCommandLineWFn GetCommandLineW = ::GetCommandLineW;

// Read by the application object during static start-up: the slot holds a function of
// the program's own, a constant set before any constructor runs, not the import itself,
// whose address is known only at run time.
inline DWORD WINAPI RealGetModuleFileNameW(HMODULE module, LPWSTR fileName, DWORD size) {
    return ::GetModuleFileNameW(module, fileName, size);
}
using GetModuleFileNameWFn = DWORD(WINAPI *)(HMODULE, LPWSTR, DWORD);
inline GetModuleFileNameWFn GetModuleFileNameW = RealGetModuleFileNameW;
}  // namespace seams
