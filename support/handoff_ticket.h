#pragma once

// The ticket of one hand-off message, and the way back of a request whose later instance
// waits for its answer; not installed.

#include <windows.h>

#include <atomic>
#include <memory>

#include "support/handoff_common.h"
#include "support/handoff_types.h"

namespace orvane::handoff_detail {

// The answer area of a way back, named by its ticket's number: the same layout in 32-bit
// and 64-bit programs. Another process writes it: every field is checked before use.
struct HandOffAnswerArea {
    volatile LONG state;       // kAnswer... below
    DWORD waiterProcessId;     // the later instance that waits
    DWORD waiterCreatedLow;    // low half of its creation time: a reused process id is told apart
    DWORD status;              // the answer's status
    volatile LONGLONG holder;  // process id << 32 | low half of the creation time of the holder
    DWORD messageUnits;        // the answer's message, at most kMaxAnswerUnits units
    DWORD reserved;
    WCHAR message[HandOffAnswer::kMaxMessageUnits];
};
// The states: the waiter makes it Unclaimed; a receiver that will answer makes it Owed (before
// it takes the ticket, so that a sender told HandedOff never finds it Unclaimed); every other
// state is final, set once from Owed with one atomic exchange.
const LONG kAnswerUnclaimed = 0, kAnswerOwed = 1, kAnswerGiven = 2, kAnswerFinishedUnanswered = 3, kAnswerNotOpened = 4,
           kAnswerNoneWillCome = 5, kAnswerAbandoned = 6;

// The later instance's side of a way back: made with its ticket, before the message goes.
class HandOffAnswerWaiter {
public:
    // Takes over the area and its event, Unclaimed.
    HandOffAnswerWaiter(UniqueHandle mapping, HandOffAnswerArea *area, UniqueHandle event);
    // Nobody waits from now on, if the answer is still owed.
    ~HandOffAnswerWaiter();
    HandOffAnswerWaiter(const HandOffAnswerWaiter &) = delete;
    HandOffAnswerWaiter &operator=(const HandOffAnswerWaiter &) = delete;

    // CHandOffReceiver::WaitForAnswer.
    HandOffAnswer Wait(DWORD timeoutMs);
    void KeepTicket(UniqueHandle ticket) { ticket_ = std::move(ticket); }

private:
    // Abandoned, from Owed: true when the answer was still owed, so nobody answers it now.
    bool StopWaiting();
    HandOffAnswer End(HandOffAnswerOutcome outcome);

    UniqueHandle mapping_;
    std::unique_ptr<HandOffAnswerArea, ViewUnmapper> area_;
    UniqueHandle event_;
    UniqueHandle ticket_;
    bool ended_ = false;
    HandOffAnswer answer_;  // once ended_
};

// The running instance's side of a way back: claimed by the receiver that keeps the request,
// held while the request waits or the program holds it, handed on with it at the receiver's
// end. When it goes still owed, the later instance is told FinishedUnanswered.
class HandOffWayBack {
public:
    // The way back of the message whose dwData is given, claimed for this process (Owed, this
    // process its holder, the waiter told); null when there is none, or nobody waits. Never
    // throws.
    static std::shared_ptr<HandOffWayBack> Claim(ULONG_PTR messageData) noexcept;
    ~HandOffWayBack();
    HandOffWayBack(const HandOffWayBack &) = delete;
    HandOffWayBack &operator=(const HandOffWayBack &) = delete;

    // The claim undone: the receiver did not take the message after all, its sender having
    // given it up. A later instance was told so and waits for nothing; an instance that passed
    // it on drops it, and the waiter is told NotOpened.
    void Unclaim();
    // The ticket to pass the request on with (a message of another instance is answered through it).
    ULONG_PTR MessageData() const { return messageData_; }
    // After the request was passed on and taken: the next instance holds it now; one that
    // did not claim it gives no answers, and the waiter is told so.
    void PassedOn();
    // Sets a final state once, from Owed, and tells the waiter; true when it was still owed
    // and the waiter still waits (its process has not ended).
    bool Settle(LONG state, DWORD status = 0, const wchar_t *message = nullptr, size_t units = 0);
    bool Awaited() const;

private:
    HandOffWayBack() = default;
    bool HeldHere() const;

    UniqueHandle mapping_;
    std::unique_ptr<HandOffAnswerArea, ViewUnmapper> area_;
    UniqueHandle event_;
    UniqueHandle waiter_;  // the waiting process; null when it could not be opened
    ULONG_PTR messageData_ = 0;
    LONGLONG thisHolder_ = 0;         // this process, as the holder field names it
    bool claimedFromWaiter_ = false;  // claimed from Unclaimed, not handed on by another instance
    std::atomic<bool> settled_{false};
};

// The acknowledgement of one WM_COPYDATA, which tells a sender whose bound ran out whether
// its message was taken: a word in a small mapping of the sender's, named by a number that
// the message's dwData carries. The receiver turns it from pending to taken before it keeps
// what came; a sender that got no answer in time turns it from pending to void. Each is one
// atomic exchange on the shared word, so exactly one of them wins and neither waits.
//
// dwData of a ticketed message: the number (27 bits, not 0) shifted left by 5, with
// kTicketTag in the low 5 bits; a dwData without that tag carries no ticket.
class HandOffTicket {
public:
    static const ULONG_PTR kTicketTag = 0x15;

    // A new ticket, with a way back when the answer is awaited. With `passedOn` (the dwData
    // of a message this process took), that message's ticket again, pending, when its sender
    // still has it: whoever takes the request then answers that sender. Throws Exception (the
    // mapping-failure text) when no ticket can be made.
    explicit HandOffTicket(HandOffReply reply = HandOffReply::NotAwaited, ULONG_PTR passedOn = 0);
    HandOffTicket(const HandOffTicket &) = delete;
    HandOffTicket &operator=(const HandOffTicket &) = delete;

    ULONG_PTR MessageData() const { return (static_cast<ULONG_PTR>(number_) << 5) | kTicketTag; }
    // For a sender whose message got no answer in time: true when the receiver took it
    // first; otherwise the ticket is void from now on, and no receiver of this library takes
    // the message.
    bool TakenElseVoid();
    // The waiter of a ticket made with HandOffReply::Awaited, once; null otherwise. It keeps
    // the ticket too: a request passed on goes with it.
    std::unique_ptr<HandOffAnswerWaiter> TakeWaiter();

private:
    enum class Made { Yes, TryAnother, Failed };
    Made MakeNew(ULONG_PTR number, bool wayBack);

    UniqueHandle mapping_;
    std::unique_ptr<volatile LONG, ViewUnmapper> state_;
    DWORD number_ = 0;
    std::unique_ptr<HandOffAnswerWaiter> waiter_;
};

// Security for the kernel objects a sender makes that a receiver opens: full access for the
// user of this process's token alone, and a medium integrity label (no write up), set
// explicitly so that a sender that runs elevated does not give its objects its high label
// and its elevated default DACL, which would close them to that user's ordinary receiver;
// a program of lower integrity cannot open them for writing. Made at the first call,
// thread-safe, and kept for the process's life; null when it cannot be made (the objects
// then get the default).
SECURITY_ATTRIBUTES *HandOffSenderSecurity();

// For a receiver about to keep what a message brought, its dwData given: true for a message
// without a ticket (a sender that makes none) and for a ticket that it marks taken
// now; false for a ticket its sender voided, or that is gone or unknown.
bool TakeTicket(ULONG_PTR messageData);

}  // namespace orvane::handoff_detail

// The tests use these names unqualified. The header is never installed; the library itself
// is built with ORVANE_NO_GLOBAL_NAMES.
#ifndef ORVANE_NO_GLOBAL_NAMES
using namespace orvane::handoff_detail;
#endif
