#pragma once

#include <windows.h>
#include <mmsystem.h>

#include "seams/seam.h"

namespace seams {
using MciSendCommandAFn = MCIERROR(WINAPI *)(MCIDEVICEID, UINT, DWORD_PTR, DWORD_PTR);
inline MciSendCommandAFn mciSendCommandA = ::mciSendCommandA;
}  // namespace seams
