#pragma once

// The check's steps that CHandOffReceiver shares with HandOffToRunningInstance; not
// installed.

#include <windows.h>

#include "support/shared_memory.h"
#include "support/single_instance.h"

// Empties the text at the start of the block.
void ClearBlock(CMemMapFile<char> &block);

// The block's lock for a scope. Its holders keep it only for moments and wait for nobody
// meanwhile, so it is waited for without a limit, like CMemMapFile's. A holder that ended
// while it held the lock may have left a text half written: the block is emptied then, so
// that nobody takes it.
class EmptyingBlockLock {
public:
    explicit EmptyingBlockLock(CMemMapFile<char> &block);
    ~EmptyingBlockLock() { block_.Unlock(); }
    EmptyingBlockLock(const EmptyingBlockLock &) = delete;
    EmptyingBlockLock &operator=(const EmptyingBlockLock &) = delete;

private:
    CMemMapFile<char> &block_;
};

// The class of CHandOffReceiver's window when only a window name is given.
extern const char kHandOffReceiverClass[];

// Called under the block's lock once this thread owns the instance mutex (InstanceMutex),
// with the block's view (null when it cannot be mapped).
using BecomeFirstInstance = void (*)(void *context, char *view);

// The check of HandOffToRunningInstance, with the block given (held open by the caller)
// and its lock taken before the instance mutex: `becomeFirst` then runs under the same
// lock as the decision, so a later instance never sees an owner without its window.
HandOffOutcome HandOffWithBlock(const char *windowName, const char *className, const char *data, DWORD timeoutMs,
                                CMemMapFile<char> &block, BecomeFirstInstance becomeFirst, void *context);
