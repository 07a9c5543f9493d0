#pragma once

#include <windows.h>
#include <shellapi.h>

#include "seams/seam.h"

namespace seams {
using ShellExecuteAFn = HINSTANCE(WINAPI *)(HWND, LPCSTR, LPCSTR, LPCSTR, LPCSTR, INT);
inline ShellExecuteAFn ShellExecuteA = ::ShellExecuteA;
}  // namespace seams
