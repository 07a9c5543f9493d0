#pragma once

#include <windows.h>

#include "seams/seam.h"

namespace seams {
using SleepFn = VOID(WINAPI *)(DWORD);
inline SleepFn Sleep = ::Sleep;
}  // namespace seams
