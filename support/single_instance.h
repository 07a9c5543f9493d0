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
// First instance: the mutex did not exist, or its owner has gone (it gave the mutex up, or
// the thread that owned it ended, also by a crash or a kill) and this thread now owns it.
// Nothing is written to the block then: the data stays the caller's own. Returns false.
// Later instance: the mutex has a living owner (or cannot be created or opened). Under the
// block's lock the data is copied into the block and the receiving window is found: with a
// window name alone, a window of that title and CHandOffReceiver's class is looked for
// first, then any window of that title; otherwise FindWindowA(className, windowName), where
// an empty name matches any class or title. After the lock, the window's process is allowed
// to take the foreground (AllowSetForegroundWindow: the user started this program, so this
// program has the right to give), and WM_COPYDATA goes to it, waiting until it is handled:
// wParam 0; dwData = the address of SharedDataName in the sender; lpData = the data text;
// cbData = its length + 1. When that window went away meanwhile (its instance closed or
// died), or no window is found while the owner lives, the check is made again: a running
// instance that died is taken over. Returns true once the window has handled the message,
// and also when the running instance has no such window within a short wait (the text is
// then left in the block, where such an instance may read it; TryHandOffToRunningInstance
// tells this case apart).
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
// Call it once per process. A second call on the thread that made the first check finds
// its own mutex, takes the later-instance path and sends the text to its own window.
bool HandOffToRunningInstance(const char *windowName, const char *className, const char *data);
// The same, handing over an empty text.
bool HandOffToRunningInstance(const char *windowName, const char *className);

enum class HandOffOutcome {
    FirstInstance,  // this thread owns the instance mutex (false above)
    HandedOff,      // the receiving window answered TRUE: it took the text
    Refused,        // the window answered otherwise: a CHandOffReceiver that could not keep the
                    // text; a receiver of another kind may still read it from the block
    NotResponding,  // no answer within timeoutMs: the running instance's receiving thread does
                    // not run (a CHandOffReceiver's process suspended or dying, or a window of
                    // another kind whose thread is busy or hangs); the text was not taken, and is
                    // taken later only if that window still handles the message (Wine withdraws
                    // a message not yet received)
    NoWindow,       // the running instance lives but has no window of these names, also after
                    // kNoWindowWaitMs: it uses the check alone, or its names run together to the
                    // same text as ours ("AB" + "C" and "A" + "BC"). The text is left in the
                    // block; no window took it
    BlockBusy,      // the block's lock was not had within timeoutMs (a program holds it and does
                    // not let it go); nothing was handed over
};
// How long a later instance waits for the window of a running instance that has none yet.
const DWORD kNoWindowWaitMs = 500;
// HandOffToRunningInstance waiting at most `timeoutMs` in all (INFINITE: as long as it
// takes) for the block's lock and the running instance's answer, and telling apart what
// true stands for there: true is any outcome but FirstInstance.
HandOffOutcome TryHandOffToRunningInstance(const char *windowName, const char *className, const char *data,
                                           DWORD timeoutMs);

// Writes the shared block's name for these names into `name` (1024 bytes), exactly as
// the check composes it. A receiver opens its block under this name before its own
// check, so that no text handed over between the check and the opening is lost.
void ComposeSharedDataName(const char *windowName, const char *className, char name[1024]);

// Process-wide state, set by every call that gets past the names and never cleared.
// Handle of the single-instance mutex of the last call; never closed, so the first
// instance owns the mutex until its thread ends and a later one keeps it in existence (a
// CHandOffReceiver closes the one of its own check when it goes, and sets this null).
extern HANDLE InstanceMutex;
// The shared block's name composed by the last call (at most 1023 characters).
extern char SharedDataName[1024];
