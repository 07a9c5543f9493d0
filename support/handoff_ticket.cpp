#include "support/handoff_ticket.h"

#include <sddl.h>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "framework/exception.h"

namespace orvane::handoff_detail {

static_assert(offsetof(HandOffAnswerArea, holder) == 16 && offsetof(HandOffAnswerArea, message) == 32,
              "the answer area has one layout in 32-bit and 64-bit programs");

namespace {
const LONG kTicketPending = 0, kTicketTaken = 1, kTicketVoid = 2;
const ULONG_PTR kTicketNumberMask = 0x7FFFFFF;  // 27 bits, so that dwData fits 32 bits
// Numbers already in use by another sender are passed over; this many in a row is no chance.
const int kTicketAttempts = 64;

std::string NameOf(const char *kind, ULONG_PTR number) {
    char name[48];
    (void)std::snprintf(name, sizeof name, "OrvaneHandOff%s_%07lx", kind, static_cast<unsigned long>(number));
    return name;
}
std::string TicketName(ULONG_PTR number) { return NameOf("Ticket", number); }
std::string AnswerAreaName(ULONG_PTR number) { return NameOf("Answer", number); }
std::string AnswerEventName(ULONG_PTR number) { return NameOf("Answered", number); }

// Whether a message's dwData carries a ticket. Only the low 32 bits cross between 32-bit and
// 64-bit programs.
bool Ticketed(ULONG_PTR messageData) { return (messageData & 0x1F) == HandOffTicket::kTicketTag; }

// The ticket's number in a message's dwData; 0 for a message without a ticket, and for one
// tagged with number 0, which no sender makes.
ULONG_PTR TicketNumber(ULONG_PTR messageData) { return Ticketed(messageData) ? (messageData & 0xFFFFFFFF) >> 5 : 0; }

// Maps the ticket's word, or null.
volatile LONG *MapTicket(HANDLE mapping) {
    return static_cast<volatile LONG *>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(LONG)));
}

HandOffAnswerArea *MapAnswerArea(HANDLE mapping) {
    return static_cast<HandOffAnswerArea *>(
        MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, sizeof(HandOffAnswerArea)));
}

// The low half of a process's creation time: with its id, it tells a reused id apart.
DWORD CreationTimeLow(HANDLE process) {
    FILETIME created = {}, exited, kernel, user;
    GetProcessTimes(process, &created, &exited, &kernel, &user);
    return created.dwLowDateTime;
}

LONGLONG HolderOf(DWORD processId, HANDLE process) {
    return static_cast<LONGLONG>(static_cast<ULONGLONG>(processId) << 32 | CreationTimeLow(process));
}

LONGLONG ReadHolder(HandOffAnswerArea &area) { return InterlockedCompareExchange64(&area.holder, 0, 0); }

// The process of this id and creation time, to wait on; null when it has ended (or its id is
// another's now).
UniqueHandle OpenProcessCreated(DWORD processId, DWORD createdLow) {
    UniqueHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
    if (process && CreationTimeLow(process.get()) != createdLow) process.reset();
    return process;
}

bool Ended(HANDLE process) { return WaitForSingleObject(process, 0) == WAIT_OBJECT_0; }

// A mapping of the sender's that a receiver opens, with HandOffSenderSecurity: a program below
// medium integrity may not label its objects medium, and gets the default then.
UniqueHandle CreateSenderMapping(const std::string &name, DWORD size, DWORD &error) {
    UniqueHandle mapping(CreateFileMappingA(INVALID_HANDLE_VALUE, HandOffSenderSecurity(), PAGE_READWRITE | SEC_COMMIT,
                                            0, size, name.c_str()));
    error = GetLastError();
    // GCOVR_EXCL_START: a program below medium integrity, which the tests cannot start
    if (!mapping) {
        mapping.reset(
            CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | SEC_COMMIT, 0, size, name.c_str()));
        error = GetLastError();
    }
    // GCOVR_EXCL_STOP
    return mapping;
}

}  // namespace

// ---- the ticket ----

HandOffTicket::HandOffTicket(HandOffReply reply, ULONG_PTR passedOn) {
    if (const ULONG_PTR number = TicketNumber(passedOn)) {
        UniqueHandle mapping(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, TicketName(number).c_str()));
        if (mapping) state_.reset(MapTicket(mapping.get()));
        if (state_) {
            mapping_ = std::move(mapping);
            number_ = static_cast<DWORD>(number);
            InterlockedExchange(state_.get(), kTicketPending);
            return;
        }
        // Its sender has gone: nobody waits for an answer, and a new ticket does.
    }
    static volatile LONG calls = 0;
    Made made = Made::TryAnother;
    // GCOVR_EXCL_BR_START: a number in use by another sender, or no mapping to be had, which no seam reaches
    for (int attempt = 0; attempt < kTicketAttempts && made == Made::TryAnother; ++attempt) {
        // Spread by the process and the call, so that senders rarely try each other's numbers.
        const DWORD spread =
            GetCurrentProcessId() * 0x9E3779B1UL + static_cast<DWORD>(InterlockedIncrement(&calls)) * 0x85EBCA77UL;
        const ULONG_PTR number = spread & kTicketNumberMask;
        if (number != 0) made = MakeNew(number, reply == HandOffReply::Awaited);
    }
    if (made != Made::Yes) throw Exception(kMappingFailedText);  // GCOVR_EXCL_LINE: no mapping or view to be had
    // GCOVR_EXCL_BR_STOP
}

HandOffTicket::Made HandOffTicket::MakeNew(ULONG_PTR number, bool wayBack) {
    // GCOVR_EXCL_BR_START: another sender's number, or no object to be had, which no seam reaches
    // A name that another user's sender holds is denied to this one: that number is taken too.
    const auto notMade = [](DWORD why) { return why == ERROR_ACCESS_DENIED ? Made::TryAnother : Made::Failed; };
    DWORD error = 0;
    UniqueHandle mapping = CreateSenderMapping(TicketName(number), sizeof(LONG), error);
    if (!mapping) return notMade(error);
    if (error == ERROR_ALREADY_EXISTS) return Made::TryAnother;
    std::unique_ptr<HandOffAnswerWaiter> waiter;
    if (wayBack) {
        // A holder of an earlier sender of this number may keep its area open: the number is taken.
        UniqueHandle area = CreateSenderMapping(AnswerAreaName(number), sizeof(HandOffAnswerArea), error);
        if (!area) return notMade(error);
        if (error == ERROR_ALREADY_EXISTS) return Made::TryAnother;
        UniqueHandle event(CreateEventA(HandOffSenderSecurity(), FALSE, FALSE, AnswerEventName(number).c_str()));
        if (!event) event.reset(CreateEventA(nullptr, FALSE, FALSE, AnswerEventName(number).c_str()));
        if (!event) return notMade(GetLastError());
        if (GetLastError() == ERROR_ALREADY_EXISTS) return Made::TryAnother;
        HandOffAnswerArea *view = MapAnswerArea(area.get());
        if (!view) return Made::Failed;
        waiter.reset(new HandOffAnswerWaiter(std::move(area), view, std::move(event)));
    }
    state_.reset(MapTicket(mapping.get()));
    if (!state_) return Made::TryAnother;  // this mapping closes
    // GCOVR_EXCL_BR_STOP
    mapping_ = std::move(mapping);
    number_ = static_cast<DWORD>(number);
    waiter_ = std::move(waiter);
    return Made::Yes;
}

std::unique_ptr<HandOffAnswerWaiter> HandOffTicket::TakeWaiter() {
    HANDLE ticket = nullptr;
    if (waiter_ && DuplicateHandle(GetCurrentProcess(), mapping_.get(), GetCurrentProcess(), &ticket, 0, FALSE,
                                   DUPLICATE_SAME_ACCESS))
        waiter_->KeepTicket(UniqueHandle(ticket));
    return std::move(waiter_);
}

namespace {
// The descriptor of HandOffSenderSecurity, made from its text with this process's user in it; null
// when it cannot be made.
PSECURITY_DESCRIPTOR MakeSenderDescriptor() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    HANDLE token = nullptr;
    // GCOVR_EXCL_BR_START: a token without its user, or a text the platform does not take, which no seam reaches
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        const UniqueHandle ownedToken(token);
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        std::vector<char> user(size ? size : 1);
        wchar_t *sid = nullptr;
        if (GetTokenInformation(token, TokenUser, user.data(), size, &size) &&
            ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(user.data())->User.Sid, &sid)) {
            // Generic all to the user alone; a mandatory label of medium integrity, no write up.
            const std::wstring text = std::wstring(L"D:(A;;GA;;;") + sid + L")S:(ML;;NW;;;ME)";
            LocalFree(sid);
            ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1, &descriptor, nullptr);
        }
    }
    // GCOVR_EXCL_BR_STOP
    return descriptor;
}
}  // namespace

SECURITY_ATTRIBUTES *HandOffSenderSecurity() {
    // Made by the first call, which the others wait for; never freed.
    static SECURITY_ATTRIBUTES security = {sizeof security, MakeSenderDescriptor(), FALSE};
    return security.lpSecurityDescriptor ? &security : nullptr;
}

bool HandOffTicket::TakenElseVoid() {
    return InterlockedCompareExchange(state_.get(), kTicketVoid, kTicketPending) == kTicketTaken;
}

bool TakeTicket(ULONG_PTR messageData) {
    if (!Ticketed(messageData)) return true;
    const ULONG_PTR number = TicketNumber(messageData);
    if (!number) return false;  // tagged, but no ticket of any sender
    const UniqueHandle mapping(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, TicketName(number).c_str()));
    if (!mapping) return false;  // its sender has gone, after voiding it
    volatile LONG *state = MapTicket(mapping.get());
    bool taken = false;
    // GCOVR_EXCL_BR_START: the view is null only when MapViewOfFile fails, which no seam reaches
    if (state) {
        taken = InterlockedCompareExchange(state, kTicketTaken, kTicketPending) == kTicketPending;
        UnmapViewOfFile(const_cast<LONG *>(state));
    }
    // GCOVR_EXCL_BR_STOP
    return taken;
}

// ---- the later instance's wait ----

HandOffAnswerWaiter::HandOffAnswerWaiter(UniqueHandle mapping, HandOffAnswerArea *area, UniqueHandle event)
    : mapping_(std::move(mapping)), area_(area), event_(std::move(event)) {
    area_->waiterProcessId = GetCurrentProcessId();
    area_->waiterCreatedLow = CreationTimeLow(GetCurrentProcess());
}

HandOffAnswerWaiter::~HandOffAnswerWaiter() { StopWaiting(); }

bool HandOffAnswerWaiter::StopWaiting() {
    return InterlockedCompareExchange(&area_->state, kAnswerAbandoned, kAnswerOwed) == kAnswerOwed;
}

HandOffAnswer HandOffAnswerWaiter::End(HandOffAnswerOutcome outcome) {
    ended_ = true;
    answer_.Outcome = outcome;
    if (outcome == HandOffAnswerOutcome::Answered) {
        answer_.Status = area_->status;
        const DWORD units = area_->messageUnits;
        answer_.Message.assign(area_->message,
                               units < HandOffAnswer::kMaxMessageUnits ? units : HandOffAnswer::kMaxMessageUnits);
    }
    return answer_;
}

HandOffAnswer HandOffAnswerWaiter::Wait(DWORD timeoutMs) {
    if (ended_) return answer_;
    // Unclaimed once the message was taken: the receiver gives no answers.
    if (area_->state == kAnswerUnclaimed) return End(HandOffAnswerOutcome::NoAnswerWillCome);
    const Deadline deadline(timeoutMs);
    UniqueHandle holderProcess;
    LONGLONG holderSeen = 0;
    for (;;) {
        switch (area_->state) {
            case kAnswerOwed:
                break;
            case kAnswerGiven:
                return End(HandOffAnswerOutcome::Answered);
            case kAnswerFinishedUnanswered:
                return End(HandOffAnswerOutcome::FinishedUnanswered);
            case kAnswerNotOpened:
                return End(HandOffAnswerOutcome::NotOpened);
            default:  // none will come, or a state that no receiver of this library writes
                return End(HandOffAnswerOutcome::NoAnswerWillCome);
        }
        // The holder changes when the request is passed on: the next instance owes it then.
        const LONGLONG holder = ReadHolder(*area_);
        if (holder != holderSeen) {
            holderSeen = holder;
            holderProcess = OpenProcessCreated(static_cast<DWORD>(static_cast<ULONGLONG>(holder) >> 32),
                                               static_cast<DWORD>(holder));
        }
        DWORD wait = WAIT_OBJECT_0 + 1;  // a holder already gone counts as one that has just ended
        if (holderProcess) {
            const HANDLE handles[2] = {event_.get(), holderProcess.get()};
            wait = WaitForMultipleObjects(2, handles, FALSE, deadline.RemainingMs());
        }
        if (wait == WAIT_TIMEOUT) {
            if (StopWaiting()) return End(HandOffAnswerOutcome::TimedOut);
        } else if (wait == WAIT_OBJECT_0 + 1) {
            // Ended: unless it handed the request on, or answered, just before.
            if (ReadHolder(*area_) == holderSeen && StopWaiting()) return End(HandOffAnswerOutcome::InstanceEnded);
        }
    }
}

// ---- the running instance's way back ----

std::shared_ptr<HandOffWayBack> HandOffWayBack::Claim(ULONG_PTR messageData) noexcept {
    const ULONG_PTR number = TicketNumber(messageData);
    if (!number) return nullptr;
    try {
        UniqueHandle mapping(OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, AnswerAreaName(number).c_str()));
        if (!mapping) return nullptr;  // no way back: nobody asked for an answer
        std::shared_ptr<HandOffWayBack> wayBack(new HandOffWayBack);
        wayBack->area_.reset(MapAnswerArea(mapping.get()));
        wayBack->event_.reset(OpenEventA(EVENT_MODIFY_STATE, FALSE, AnswerEventName(number).c_str()));
        if (!wayBack->area_ || !wayBack->event_) return nullptr;
        wayBack->mapping_ = std::move(mapping);
        wayBack->messageData_ = messageData & 0xFFFFFFFF;
        HandOffAnswerArea &area = *wayBack->area_;
        wayBack->waiter_ = OpenProcessCreated(area.waiterProcessId, area.waiterCreatedLow);
        wayBack->thisHolder_ = HolderOf(GetCurrentProcessId(), GetCurrentProcess());
        // The holder first, then the state, which the waiter reads first.
        InterlockedExchange64(&area.holder, wayBack->thisHolder_);
        const LONG state = InterlockedCompareExchange(&area.state, kAnswerOwed, kAnswerUnclaimed);
        wayBack->claimedFromWaiter_ = state == kAnswerUnclaimed;
        if (!wayBack->claimedFromWaiter_ && state != kAnswerOwed) return nullptr;  // its waiter gave up
        SetEvent(wayBack->event_.get());
        return wayBack;
    } catch (...) {  // GCOVR_EXCL_START: out of memory: kept without a way back
        return nullptr;
    }  // GCOVR_EXCL_STOP
}

HandOffWayBack::~HandOffWayBack() {
    if (HeldHere()) Settle(kAnswerFinishedUnanswered);
}

bool HandOffWayBack::HeldHere() const { return ReadHolder(*area_) == thisHolder_; }

void HandOffWayBack::Unclaim() {
    if (claimedFromWaiter_) {
        settled_ = true;
        InterlockedCompareExchange(&area_->state, kAnswerUnclaimed, kAnswerOwed);
    } else {
        // Its ticket was given up by the instance that passed it on, which drops it: had that
        // instance looked while the claim was this side's, it would have left the waiter untold.
        Settle(kAnswerNotOpened);
    }
}

void HandOffWayBack::PassedOn() {
    if (HeldHere()) {
        Settle(kAnswerNoneWillCome);  // GCOVR_EXCL_LINE: a receiver of no answers next, not built for coverage
    } else {
        settled_ = true;  // the next instance's now
    }
}

bool HandOffWayBack::Settle(LONG state, DWORD status, const wchar_t *message, size_t units) {
    if (settled_.exchange(true) || !HeldHere()) return false;
    if (state == kAnswerGiven) {
        area_->status = status;
        area_->messageUnits = static_cast<DWORD>(units);
        for (size_t i = 0; i < units; ++i) area_->message[i] = message[i];
    }
    // Asked before the waiter is told: told, it may end at once, having had the answer.
    const bool waited = !(waiter_ && Ended(waiter_.get()));
    const bool owed = InterlockedCompareExchange(&area_->state, state, kAnswerOwed) == kAnswerOwed;
    SetEvent(event_.get());
    return owed && waited;
}

bool HandOffWayBack::Awaited() const {
    return !settled_ && area_->state == kAnswerOwed && HeldHere() && !(waiter_ && Ended(waiter_.get()));
}

}  // namespace orvane::handoff_detail
