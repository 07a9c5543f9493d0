#pragma once

#include <windows.h>
#include <mmsystem.h>

#include "seams/seam.h"

namespace seams {
using MciSendCommandAFn = MCIERROR(WINAPI *)(MCIDEVICEID, UINT, DWORD_PTR, DWORD_PTR);

// The real mciSendCommandA, with winmm.dll loaded on the call rather than at start-up:
// the launcher's only MCI request is the close at exit, and loading winmm.dll with the
// program costs every start time and memory.
inline MCIERROR WINAPI SendMciCommandFromWinmm(MCIDEVICEID device, UINT message, DWORD_PTR flags,
                                               DWORD_PTR parameters) {
    const HMODULE winmm = LoadLibraryA("winmm.dll");
    // GCOVR_EXCL_BR_START: winmm.dll or its export missing, a platform failure no seam reaches
    const FARPROC found = winmm ? GetProcAddress(winmm, "mciSendCommandA") : nullptr;
    if (!found) return MCIERR_CANNOT_LOAD_DRIVER;
    // GCOVR_EXCL_BR_STOP
    // Through a plain function pointer type, which converts to any other without a warning.
    const auto send = reinterpret_cast<MciSendCommandAFn>(reinterpret_cast<void (*)()>(found));
    return send(device, message, flags, parameters);
}

inline MciSendCommandAFn mciSendCommandA = SendMciCommandFromWinmm;
}  // namespace seams
