#pragma once

// The single-instance check with a hand-off: a later instance of a program hands a text, or its
// arguments, to the instance that is already running. An instance is known by the window name
// and class name of the window that receives the hand-off. docs/handoff.md tells the rules in
// full: the kernel objects, the message, each outcome, the limits of the names.

#include <windows.h>

#include "support/handoff_types.h"

namespace orvane {

// False in the first instance, whose thread then owns the instance mutex and whose data is
// nobody else's. True in a later instance, which copies `data` (null: empty) into the shared
// block and sends it to the running instance's window, whether or not that took it. Null
// names are empty. Throws Exception when both names are empty, before anything is made, and
// in a later instance when `data` is longer than 1023 bytes or the block cannot be had.
// Call it once per start of the program.
bool HandOffToRunningInstance(const char *windowName, const char *className, const char *data);
// The same, handing over an empty text.
bool HandOffToRunningInstance(const char *windowName, const char *className);

// How long a later instance waits for the window of a running instance that has none yet.
const DWORD kNoWindowWaitMs = 500;
// HandOffToRunningInstance within `timeoutMs` in all (INFINITE: as long as it takes), telling
// apart what its true stands for. Throws what it throws.
HandOffOutcome TryHandOffToRunningInstance(const char *windowName, const char *className, const char *data,
                                           DWORD timeoutMs);

// The same with a request instead of a text: the program's arguments (argv without argv[0]; a
// null one is empty) and its working directory (null: the current one), every UTF-16 unit
// exactly; by message only, the block is not written. Throws Exception, before anything is
// made, when the arguments take more than kMaxRequestUnits units with their terminators or the
// directory more than kMaxRequestUnits - 1.
HandOffOutcome TryHandOffRequestToRunningInstance(const char *windowName, const char *className, int argumentCount,
                                                  const wchar_t *const *arguments, const wchar_t *workingDirectory,
                                                  DWORD timeoutMs);

// Writes the shared block's name for these names into `name` (1024 bytes), as the check
// composes it: window name + class name + "_multiple_data", cut to 1023 bytes.
void ComposeSharedDataName(const char *windowName, const char *className, char name[1024]);

// Written by every check that gets past the names. The instance mutex's handle, never closed
// by the check (a CHandOffReceiver closes its own at Close, and sets this null).
extern HANDLE InstanceMutex;
// The shared block's name of the last check (at most 1023 bytes).
extern char SharedDataName[1024];

}  // namespace orvane

// Global as well, unless the caller defines ORVANE_NO_GLOBAL_NAMES.
#ifndef ORVANE_NO_GLOBAL_NAMES
using orvane::ComposeSharedDataName;
using orvane::HandOffToRunningInstance;
using orvane::InstanceMutex;
using orvane::kNoWindowWaitMs;
using orvane::SharedDataName;
using orvane::TryHandOffRequestToRunningInstance;
using orvane::TryHandOffToRunningInstance;
#endif
