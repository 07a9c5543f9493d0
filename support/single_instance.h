#pragma once

// Single-instance check with a hand-off: a later instance of a program leaves a
// text for the instance that is already running and tells that instance's window.

#include <windows.h>

namespace orvane {

// An instance is known by the window name (title) and class name of the window
// that receives the hand-off. The names of the kernel objects, without separators:
// - single-instance mutex: window name + class name, cut to 1023 bytes;
// - shared block (CMemMapFile<char>, 1024 bytes): that name + "_multiple_data",
//   cut to 1023 bytes (so for names of 1023 bytes or more it is the
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
// wParam 0; lpData = the data text; cbData = its length + 1; dwData = a ticket of this
// message (handoff_ticket.h), which a CHandOffReceiver marks taken before it keeps the text,
// so that a sender whose bound runs out still learns whether it was taken. When that window
// went away meanwhile without taking it (its instance closed or died), or no window is found
// while the owner lives, the check is made again: a running instance that died is taken
// over. Returns true once the window has handled the message, and also when the running
// instance has no such window within a short wait (the text is then left in the block,
// where such an instance may read it; TryHandOffToRunningInstance tells this case apart).
//
// Null window or class names stand for empty texts; null data for an empty text.
// Throws Exception (Shift-JIS text) when both names are empty, before anything is
// created or set (an empty name would make an unnamed mutex, so every caller would
// count as the first instance); and in a later instance when the data is longer
// than 1023 bytes (nothing is written then) or when the block cannot be created.
//
// Integrity levels (untested: Wine has none): the system drops WM_COPYDATA from a lower
// level, so a later instance reaches a receiver at its own level or below, never above.
//
// Call it once per process: the first instance's thread owns the mutex from then on. A second
// call on that thread finds its own mutex, takes the later-instance path and sends the text
// to its own window. A later instance told NotResponding, Refused or BlockBusy may call
// again (TryHandOffToRunningInstance): nothing was taken. Checks on several threads of one
// process at once, of the same or other names, each act on their own values; the globals
// below then hold those of whichever was made last.
bool HandOffToRunningInstance(const char *windowName, const char *className, const char *data);
// The same, handing over an empty text.
bool HandOffToRunningInstance(const char *windowName, const char *className);

// What became of the data, exactly, and what the program does. "Taken" means kept by the
// running instance's receiver for its program (CHandOffReceiver: for TakeText, or passed on
// to the instance that runs next, or reported as dropped when the object goes).
enum class HandOffOutcome {
    FirstInstance,  // this thread owns the instance mutex (false above); nothing was handed over
                    // and no program will take the data: it is this program's own
    HandedOff,      // taken: the receiving window answered TRUE, or, after the bound ran out, its
                    // ticket shows it was taken. The program ends: the document opens there
    Refused,        // the window answered otherwise: a CHandOffReceiver did not take it (1024 or 8 MiB
                    // waiting, or a form it does not take); a receiver of another kind may still read the
                    // block. Tell the user, or try again later
    NotResponding,  // no answer within timeoutMs, and not taken: the running instance's receiving
                    // thread does not run (its process suspended or dying), and its ticket is void,
                    // so a CHandOffReceiver of this release never takes it. A receiver that knows no
                    // tickets (of an earlier release, or of another kind) may take it later on
                    // Windows, which does not withdraw a sent message (Wine does): for those it is
                    // "not known to be taken"
    NoWindow,       // the running instance lives but has no window of these names, also after
                    // kNoWindowWaitMs: it calls the check without a receiver, or its names run
                    // together to the same text as ours ("AB" + "C" and "A" + "BC"). The text is
                    // left in the block; no window took it: tell the user rather than count it
                    // as opened
    BlockBusy,      // the block's lock was not had within timeoutMs (a program holds it and does
                    // not let it go); nothing was handed over: try again, or tell the user
};
// How long a later instance waits for the window of a running instance that has none yet.
const DWORD kNoWindowWaitMs = 500;
// HandOffToRunningInstance waiting at most `timeoutMs` in all (INFINITE: as long as it
// takes) for the block's lock and the running instance's answer, and telling apart what
// true stands for there: true is any outcome but FirstInstance.
HandOffOutcome TryHandOffToRunningInstance(const char *windowName, const char *className, const char *data,
                                           DWORD timeoutMs);

// The same check, handing over a request: the program's arguments (argumentCount of them, as
// it received them: wmain's argv without argv[0], or CommandLineToArgvW's; a null argument
// counts as empty) and its working directory (null: the current directory), every UTF-16
// unit exactly. The arguments may hold at most kMaxRequestUnits units, one terminator each
// counted (one argument of 32,767 units fits), the directory 32,767; Exception beyond, before
// anything is created. A request goes by message only; the block is not written. A
// CHandOffReceiver made with a request takes it (TakeRequest); one made with a text, and
// receivers of earlier releases, answer that they did not take it (Refused).
HandOffOutcome TryHandOffRequestToRunningInstance(const char *windowName, const char *className, int argumentCount,
                                                  const wchar_t *const *arguments, const wchar_t *workingDirectory,
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
// The shared block's name composed by the last call (at most 1023 bytes).
extern char SharedDataName[1024];

}  // namespace orvane

// Global as well, unless the caller defines ORVANE_NO_GLOBAL_NAMES.
#ifndef ORVANE_NO_GLOBAL_NAMES
using orvane::ComposeSharedDataName;
using orvane::HandOffOutcome;
using orvane::HandOffToRunningInstance;
using orvane::InstanceMutex;
using orvane::kNoWindowWaitMs;
using orvane::SharedDataName;
using orvane::TryHandOffRequestToRunningInstance;
using orvane::TryHandOffToRunningInstance;
#endif
