#pragma once

#include <windows.h>

// The launcher's entry point: starts the framework, opens "Orvane.exe" through the
// shell (ShellExecuteW) with the tail of the process's UTF-16 command line, lingers
// 120 s and returns 0. The tail is the command line after the program name and the
// blanks after it (FindArgumentText) without the characters that make up the first
// 14 bytes of its ANSI form (FindViewerParameters with CountAnsiBytes), passed on
// unconverted. An exception on the way is shown in the framework's error box
// instead, and it returns 0 at once. The arguments are not used: argumentText, what
// start-up derives from GetCommandLineA, is the lossy form of the same text.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE previousInstance, LPSTR argumentText, int showCommand);

constexpr DWORD kLingerMs = 120000;
