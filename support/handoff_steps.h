#pragma once

// The check's steps that CHandOffReceiver shares with HandOffToRunningInstance; not
// installed.

#include <windows.h>

#include <string>

#include "support/single_instance.h"

// The shared block of the hand-off: the same kernel objects as CMemMapFile<char> (the
// mapping `name` and the mutex "mtx" + `name`, created under that mutex when it is new),
// but every wait for its lock has a bound, and nothing waits when the object goes:
// CMemMapFile's lock, also in its destructor, waits without a limit.
class HandOffBlock {
public:
    static const DWORD kSize = 1024;

    // Throws Exception (the mapping-failure text of CMemMapFile) when the block cannot be had.
    explicit HandOffBlock(const char *name);
    ~HandOffBlock();
    HandOffBlock(const HandOffBlock &) = delete;
    HandOffBlock &operator=(const HandOffBlock &) = delete;

    // Waits at most `timeoutMs` (INFINITE: without a limit); false when the lock was not had.
    // A holder that ended while it held the lock may have left a text half written: the
    // block is emptied then, so that nobody takes it.
    bool Lock(DWORD timeoutMs);
    void Unlock() { ReleaseMutex(mutex_); }
    // Mapped once, when the object is made; null when that failed.
    char *View() const { return view_; }
    // Empties the text at the start of the block.
    void Clear() {
        if (view_) view_[0] = '\0';  // GCOVR_EXCL_BR_LINE: null only when MapViewOfFile fails, which no seam reaches
    }

private:
    HANDLE mutex_ = nullptr;
    HANDLE mapping_ = nullptr;
    char *view_ = nullptr;
};

// The block's lock for a scope, waited for at most `timeoutMs`; Held() says whether it was had.
class BlockLock {
public:
    BlockLock(HandOffBlock &block, DWORD timeoutMs) : block_(block), held_(block.Lock(timeoutMs)) {}
    ~BlockLock() { Release(); }
    BlockLock(const BlockLock &) = delete;
    BlockLock &operator=(const BlockLock &) = delete;
    bool Held() const { return held_; }
    void Release() {
        if (held_) block_.Unlock();
        held_ = false;
    }

private:
    HandOffBlock &block_;
    bool held_;
};

// The acknowledgement of one WM_COPYDATA, which tells a sender whose bound ran out whether
// its message was taken: a word in a small mapping of the sender's, named by a number that
// the message's dwData carries. The receiver turns it from pending to taken before it keeps
// what came; a sender that got no answer in time turns it from pending to void. Each is one
// atomic exchange on the shared word, so exactly one of them wins and neither waits.
//
// dwData of a ticketed message: the number (27 bits, not 0) shifted left by 5, with
// kTicketTag in the low 5 bits. Senders of earlier releases put the address of their
// SharedDataName there, which their builds place at a multiple of 32: never such a tag.
class HandOffTicket {
public:
    static const ULONG_PTR kTicketTag = 0x15;

    // Throws Exception (the mapping-failure text) when no ticket can be made.
    HandOffTicket();
    ~HandOffTicket();
    HandOffTicket(const HandOffTicket &) = delete;
    HandOffTicket &operator=(const HandOffTicket &) = delete;

    ULONG_PTR MessageData() const { return (static_cast<ULONG_PTR>(number_) << 5) | kTicketTag; }
    // For a sender whose message got no answer in time: true when the receiver took it
    // first; otherwise the ticket is void from now on, and no receiver of this library takes
    // the message.
    bool TakenElseVoid();

private:
    HANDLE mapping_ = nullptr;
    volatile LONG *state_ = nullptr;
    DWORD number_ = 0;
};

// For a receiver about to keep what a message brought, its dwData given: true for a message
// without a ticket (a sender of an earlier release) and for a ticket that it marks taken
// now; false for a ticket its sender voided, or that is gone or unknown.
bool TakeTicket(ULONG_PTR messageData);

// The class of CHandOffReceiver's window when only a window name is given.
extern const char kHandOffReceiverClass[];
// CMemMapFile's text for a block that cannot be had.
extern const char kMappingFailedText[];

// Writes a check's values to the process-wide InstanceMutex and SharedDataName.
void PublishCheck(HANDLE instanceMutex, const char *blockName);
// Sets InstanceMutex null if it is still `instanceMutex`, which its owner closes now.
void ForgetInstanceMutex(HANDLE instanceMutex);

// What a hand-off carries: a text (its bytes with the NUL go as the message's data and
// into the block), or a request (the message's data as made by MakeHandOffRequest; the
// block is not written).
struct HandOffPayload {
    const char *text = nullptr;
    const void *request = nullptr;
    size_t requestSize = 0;
};

// The message of a request (handoff_receiver.h: IsHandOffRequest); the arguments as
// TryHandOffRequestToRunningInstance takes them. Throws Exception when it is too long.
std::string MakeHandOffRequest(int argumentCount, const wchar_t *const *arguments, const wchar_t *workingDirectory);

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
