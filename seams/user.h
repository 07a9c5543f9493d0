#pragma once

#include <windows.h>

#include "seams/seam.h"

namespace seams {
using MessageBoxWFn = int(WINAPI *)(HWND, LPCWSTR, LPCWSTR, UINT);
inline MessageBoxWFn MessageBoxW = ::MessageBoxW;
}  // namespace seams
