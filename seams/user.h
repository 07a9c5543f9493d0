#pragma once

#include <windows.h>

#include "seams/seam.h"

namespace seams {
using MessageBoxAFn = int(WINAPI *)(HWND, LPCSTR, LPCSTR, UINT);
inline MessageBoxAFn MessageBoxA = ::MessageBoxA;
}  // namespace seams
