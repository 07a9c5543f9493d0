#pragma once

#include <windows.h>

// The launcher's entry point: starts the framework, opens "Orvane.exe" through the
// shell with the argument text minus its first 14 bytes, lingers 120 s and returns
// 0. An exception on the way is shown in the framework's error box instead, and it
// returns 0 at once. Only argumentText is used.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR argumentText, int showCommand);

constexpr DWORD kLingerMs = 120000;
