#pragma once

// The check and the send that HandOffToRunningInstance and CHandOffReceiver share, defined
// in single_instance.cpp; not installed.

#include <windows.h>

#include <memory>
#include <optional>
#include <string>

#include "support/handoff_block.h"
#include "support/handoff_common.h"
#include "support/handoff_types.h"

namespace orvane::handoff_detail {

class HandOffAnswerWaiter;

// The class of CHandOffReceiver's window when only a window name is given.
extern const char kHandOffReceiverClass[];

// An instance's two names, a null one taken as empty; they must outlive the object.
struct InstanceNames {
    InstanceNames(const char *windowName, const char *className)
        : window(windowName ? windowName : ""), className(className ? className : "") {}
    // Throws Exception (kNoNamesText) when both are empty: "" would make an unnamed mutex,
    // and every caller would be the first instance.
    void RefuseEmpty() const;
    // The shared block's name, as ComposeSharedDataName composes it.
    std::string BlockName() const;

    const char *window;
    const char *className;
};

// What a hand-off carries: a text (its bytes with the NUL; written into the block as well)
// or a request (a message of MakeHandOffRequest; sent only).
struct HandOffPayload {
    static HandOffPayload Text(const char *text);  // null: empty
    // A message's bytes as they go: a text's with its NUL, or a request's.
    static HandOffPayload Message(const char *bytes, size_t size, bool isRequest);

    const char *bytes = nullptr;
    size_t size = 0;
    bool isRequest = false;
    // Set for a request whose sender waits: gets the way back once it is handed off.
    std::unique_ptr<HandOffAnswerWaiter> *waiter = nullptr;
    // The ticket a request passed on came with: whoever takes it answers that ticket's sender.
    ULONG_PTR passedOnTicket = 0;
};

// Writes a check's values to the process-wide InstanceMutex and SharedDataName.
void PublishCheck(HANDLE instanceMutex, const char *blockName);
// Sets InstanceMutex null if it is still `instanceMutex`, which its owner closes now.
void ForgetInstanceMutex(HANDLE instanceMutex);

// What a check with a block came to. A first instance still holds the block's lock, so that it
// makes its window (or gives up the instance mutex) before any later instance decides.
struct CheckResult {
    HandOffOutcome outcome;
    std::optional<BlockLock> firstInstanceLock;
};

// The check of TryHandOffToRunningInstance with a block that the caller holds open; its lock is
// taken before the instance mutex. `instanceMutex` owns the mutex from the moment it exists, so
// also when the check throws afterwards. With `publish` false the globals are left as they are.
CheckResult CheckWithBlock(const InstanceNames &names, const HandOffPayload &payload, DWORD timeoutMs,
                           HandOffBlock &block, UniqueHandle &instanceMutex, bool publish);

}  // namespace orvane::handoff_detail
