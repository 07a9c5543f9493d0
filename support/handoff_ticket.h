#pragma once

// The ticket of one hand-off message; not installed.

#include <windows.h>

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

// Security for the kernel objects a sender makes that a receiver opens: full access for the
// user of this process's token alone, and a medium integrity label (no write up), set
// explicitly so that a sender that runs elevated does not give its objects its high label
// and its elevated default DACL, which would close them to that user's ordinary receiver;
// a program of lower integrity cannot open them for writing. Made at the first call,
// thread-safe, and kept for the process's life; null when it cannot be made (the objects
// then get the default).
SECURITY_ATTRIBUTES *HandOffSenderSecurity();

// For a receiver about to keep what a message brought, its dwData given: true for a message
// without a ticket (a sender of an earlier release) and for a ticket that it marks taken
// now; false for a ticket its sender voided, or that is gone or unknown.
bool TakeTicket(ULONG_PTR messageData);
