#pragma once

// Single-instance check with a hand-off: a later instance of a program leaves a
// text for the instance that is already running and tells that instance's window.

#include <windows.h>

// An instance is known by the window name (title) and class name of the window
// that receives the hand-off. The names of the kernel objects, without separators:
// - single-instance mutex: window name + class name, cut to 1023 characters;
// - shared block (CMemMapFile<char>, 1024 bytes): that name + "_multiple_data",
//   cut to 1023 characters (so for names of 1023 characters or more it is the
//   mutex's own name, and a later instance cannot create the block);
// - the block's guarding mutex: "mtx" + the block's name.
// The data text stands at the start of the block, NUL-terminated.
//
// First instance (the mutex did not exist): the mutex is created, owned and kept
// until the process ends; returns false whatever the data.
// Later instance (the mutex exists, or cannot be created or opened): under the block's
// lock the data is copied into the block and the window FindWindowA(className, windowName)
// is found, where a null or empty name matches any class or title; after the lock,
// WM_COPYDATA goes to it with SendMessageA (waiting until it is handled):
// wParam 0; dwData = the address of SharedDataName in the sender; lpData = the data
// text; cbData = its length + 1. Returns true, also when no such window exists (the
// text then waits in the block only as long as some process keeps the block open).
//
// Null window or class names stand for empty texts; null data for an empty text.
// Throws Exception (Shift-JIS text) when both names are empty, before anything is
// created or set (an empty name would make an unnamed mutex, so every caller would
// count as the first instance); and in a later instance when the data is longer
// than 1023 characters (nothing is written then) or when the block cannot be created.
//
// Sender and receiver should run at the same integrity level: the objects an elevated
// process creates are likely closed to a non-elevated one (untested: Wine has none).
//
// Call it once per process. A second call in the first instance finds its own mutex,
// takes the later-instance path and sends the text to its own window.
bool HandOffToRunningInstance(const char *windowName, const char *className, const char *data);
// The same, handing over an empty text.
bool HandOffToRunningInstance(const char *windowName, const char *className);

// Writes the shared block's name for these names into `name` (1024 bytes), exactly as
// the check composes it. A receiver opens its block under this name before its own
// check, so that no text handed over between the check and the opening is lost.
void ComposeSharedDataName(const char *windowName, const char *className, char name[1024]);

// Process-wide state, set by every call that gets past the names and never cleared.
// Handle of the single-instance mutex of the last call; never closed, so the first
// instance owns the mutex until it ends and a later one keeps it in existence (a
// CHandOffReceiver closes the one of its own check when it goes, and sets this null).
extern HANDLE InstanceMutex;
// The shared block's name composed by the last call (at most 1023 characters).
extern char SharedDataName[1024];
