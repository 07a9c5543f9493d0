#pragma once

#include <windows.h>

#include "seams/seam.h"

namespace seams {
using SleepFn = VOID(WINAPI *)(DWORD);
inline SleepFn Sleep = ::Sleep;

// Read by the application object during static start-up: the slot holds a function of
// the program's own, a constant set before any constructor runs, not the import itself,
// whose address is known only at run time.
inline DWORD WINAPI RealGetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size) {
    return ::GetModuleFileNameA(module, fileName, size);
}
using GetModuleFileNameAFn = DWORD(WINAPI *)(HMODULE, LPSTR, DWORD);
inline GetModuleFileNameAFn GetModuleFileNameA = RealGetModuleFileNameA;
}  // namespace seams
