#pragma once

#include <windows.h>

#include "seams/seam.h"

namespace seams {
using SleepFn = VOID(WINAPI *)(DWORD);
inline SleepFn Sleep = ::Sleep;
using GetModuleFileNameAFn = DWORD(WINAPI *)(HMODULE, LPSTR, DWORD);
inline GetModuleFileNameAFn GetModuleFileNameA = ::GetModuleFileNameA;
}  // namespace seams
