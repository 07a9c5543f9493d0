#pragma once

// The check's steps that CHandOffReceiver shares with HandOffToRunningInstance; not
// installed.

#include <windows.h>

#include <memory>
#include <string>

#include "support/single_instance.h"

namespace orvane::handoff_detail {

class HandOffAnswerWaiter;
class HandOffBlock;

// The class of CHandOffReceiver's window when only a window name is given.
extern const char kHandOffReceiverClass[];
// CMemMapFile's text for a block that cannot be had.
extern const char kMappingFailedText[];
// The text for a hand-off too long to go.
extern const char kDataTooLongText[];

// Writes a check's values to the process-wide InstanceMutex and SharedDataName.
void PublishCheck(HANDLE instanceMutex, const char *blockName);
// Sets InstanceMutex null if it is still `instanceMutex`, which its owner closes now.
void ForgetInstanceMutex(HANDLE instanceMutex);

// What a hand-off carries: a text (its bytes with the NUL go as the message's data and
// into the block), or a request (the message's data as made by MakeHandOffRequest; the
// block is not written).
// A request may ask for an answer: `waiter` then gets the way back once it is handed off.
// Passed on, it goes with the ticket it came with (`passedOn`, its dwData), so that the
// instance that takes it answers the later instance that waits.
struct HandOffPayload {
    const char *text = nullptr;
    const void *request = nullptr;
    size_t requestSize = 0;
    std::unique_ptr<HandOffAnswerWaiter> *waiter = nullptr;
    ULONG_PTR passedOn = 0;
};

// Called under the block's lock once this thread owns the instance mutex, whose handle it is given.
using BecomeFirstInstance = void (*)(void *context, HandOffBlock &block, HANDLE instanceMutex);

// The check of HandOffToRunningInstance, with the block given (held open by the caller)
// and its lock taken before the instance mutex: `becomeFirst` then runs under the same
// lock as the decision, so a later instance never sees an owner without its window.
// *instanceMutex gets the instance mutex's handle once it is made (before becomeFirst).
// With `publish` false the check's values are not written to the process-wide globals.
HandOffOutcome HandOffWithBlock(const char *windowName, const char *className, const HandOffPayload &payload,
                                DWORD timeoutMs, HandOffBlock &block, BecomeFirstInstance becomeFirst, void *context,
                                HANDLE *instanceMutex, bool publish);

}  // namespace orvane::handoff_detail
