#pragma once

#include <windows.h>
#include <shellapi.h>

#include "seams/seam.h"

namespace seams {
using ShellExecuteWFn = HINSTANCE(WINAPI *)(HWND, LPCWSTR, LPCWSTR, LPCWSTR, LPCWSTR, INT);
inline ShellExecuteWFn ShellExecuteW = ::ShellExecuteW;
}  // namespace seams
