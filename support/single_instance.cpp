#include "support/single_instance.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "framework/exception.h"
#include "support/handoff_block.h"
#include "support/handoff_check.h"
#include "support/handoff_common.h"
#include "support/handoff_request.h"
#include "support/handoff_ticket.h"

namespace orvane {
using namespace handoff_detail;  // the hand-off's inner parts (handoff_*.h)

HANDLE InstanceMutex = nullptr;
char SharedDataName[1024] = "";
const char handoff_detail::kHandOffReceiverClass[] = "OrvaneHandOffReceiver";

namespace {
// Guards the globals above: each check works on values of its own and only writes them
// there, so that checks on several threads never act on each other's.
SRWLOCK publishedLock = SRWLOCK_INIT;

const size_t kNameArea = sizeof SharedDataName;  // 1023 bytes and the terminator
const char kBlockSuffix[] = "_multiple_data";
const DWORD kNoWindowPollMs = 10;

// Appends `text` to the `length` characters in `area`, cut to kNameArea - 1 in all.
void AppendCut(char *area, size_t &length, const char *text) {
    while (length < kNameArea - 1 && *text) area[length++] = *text++;
    area[length] = '\0';
}

// Window name + class name, cut to 1023 bytes; returns the length.
size_t ComposeInstanceName(const char *windowName, const char *className, char name[kNameArea]) {
    size_t length = 0;
    AppendCut(name, length, windowName ? windowName : "");
    AppendCut(name, length, className ? className : "");
    return length;
}
}  // namespace

void ComposeSharedDataName(const char *windowName, const char *className, char name[1024]) {
    size_t length = ComposeInstanceName(windowName, className, name);
    AppendCut(name, length, kBlockSuffix);
}

void handoff_detail::PublishCheck(HANDLE instanceMutex, const char *blockName) {
    ExclusiveGuard guard(publishedLock);
    InstanceMutex = instanceMutex;
    std::memcpy(SharedDataName, blockName, std::strlen(blockName) + 1);
}

void handoff_detail::ForgetInstanceMutex(HANDLE instanceMutex) {
    ExclusiveGuard guard(publishedLock);
    if (InstanceMutex == instanceMutex) InstanceMutex = nullptr;
}

void InstanceNames::RefuseEmpty() const {
    if (!*window && !*className) throw Exception(kNoNamesText);
}

std::string InstanceNames::BlockName() const {
    char name[kNameArea];
    ComposeSharedDataName(window, className, name);
    return name;
}

HandOffPayload HandOffPayload::Text(const char *text) {
    if (!text) text = "";
    return Message(text, std::strlen(text) + 1, false);
}

HandOffPayload HandOffPayload::Message(const char *bytes, size_t size, bool isRequest) {
    HandOffPayload payload;
    payload.bytes = bytes;
    payload.size = size;
    payload.isRequest = isRequest;
    return payload;
}

namespace {

// Creates the instance mutex, owned by this thread (`created`), or opens it when it exists:
// creation is atomic between processes, so exactly one caller creates it.
HANDLE CreateInstanceMutex(const InstanceNames &names, bool &created) {
    char name[kNameArea];
    ComposeInstanceName(names.window, names.className, name);
    SetLastError(ERROR_SUCCESS);
    const HANDLE mutex = CreateMutexA(nullptr, TRUE, name);
    created = GetLastError() == ERROR_SUCCESS;
    return mutex;
}

// Whether this thread now owns the instance mutex because its owner gave it up or ended
// (WAIT_ABANDONED). Only the owner can release a mutex: a thread that owns it already
// made the first check itself and keeps the later-instance path, its count unchanged.
bool TakeOverInstanceMutex(HANDLE mutex) {
    if (ReleaseMutex(mutex)) {
        WaitForSingleObject(mutex, 0);
        return false;
    }
    const DWORD wait = WaitForSingleObject(mutex, 0);
    return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

// A text goes into the block too, refused before the block is touched when it does not fit
// with its terminator. False for a request, which goes by message only.
bool WriteText(HandOffBlock &block, const HandOffPayload &payload) {
    if (payload.isRequest) return false;
    if (payload.size > HandOffBlock::kSize) throw Exception(kDataTooLongText);
    // GCOVR_EXCL_BR_START: the view is null only when MapViewOfFile fails, which no seam reaches
    if (char *view = block.View()) std::memcpy(view, payload.bytes, payload.size);
    // GCOVR_EXCL_BR_STOP
    return true;
}

// Our text from a round whose window went away, if the block still holds exactly it
// (terminator included), is nobody's: someone else's text stays, whatever it shares with ours.
void RemoveOwnText(HandOffBlock &block, const HandOffPayload &payload) {
    const char *view = block.View();
    // GCOVR_EXCL_BR_START: the view is null only when MapViewOfFile fails, which no seam reaches
    if (view && std::memcmp(view, payload.bytes, payload.size) == 0) block.Clear();
    // GCOVR_EXCL_BR_STOP
}

// With a window name alone, the program's own main window may carry the same title: a
// CHandOffReceiver's window, of the library's class, is the better guess.
// FindWindowA matches any class or title for null, but "" only an empty one.
HWND FindReceiverWindow(const InstanceNames &names) {
    if (!*names.className) {  // then the window name is not empty
        if (HWND receiver = FindWindowA(kHandOffReceiverClass, names.window)) return receiver;
    }
    return FindWindowA(*names.className ? names.className : nullptr, *names.window ? names.window : nullptr);
}

// True once the running instance has had no window for kNoWindowWaitMs (or the time left, if
// less) from the first call with `until` 0; otherwise waits a poll's time.
bool NoWindowWaitOver(ULONGLONG &until, const Deadline &deadline) {
    const ULONGLONG now = GetTickCount64();
    if (!until) until = now + std::min(kNoWindowWaitMs, deadline.RemainingMs());
    if (now >= until) return true;
    Sleep(kNoWindowPollMs);
    return false;
}

// The system lets the program that the user started last take the foreground, not the
// running instance that gets the text: this program hands that right on.
void LetTargetComeForward(HWND target) {
    DWORD process = 0;
    GetWindowThreadProcessId(target, &process);
    AllowSetForegroundWindow(process);
}

// What became of one message.
enum class Delivery { Taken, AnsweredNotTaken, NoAnswerInTime };

// Sends the message with its ticket. A window that gives no answer in time may still have
// taken it: the ticket tells.
Delivery SendWithTicket(HWND target, const HandOffPayload &payload, const Deadline &deadline, HandOffTicket &ticket) {
    COPYDATASTRUCT copied = {};
    copied.dwData = ticket.MessageData();
    copied.cbData = static_cast<DWORD>(payload.size);
    copied.lpData = const_cast<char *>(payload.bytes);
    const LPARAM message = reinterpret_cast<LPARAM>(&copied);
    DWORD_PTR answer = 0;
    bool answered = true;
    if (deadline.Infinite()) {
        answer = static_cast<DWORD_PTR>(SendMessageA(target, WM_COPYDATA, 0, message));
    } else {
        // A bound that has run out is not passed on: 0 is no bound everywhere (docs/handoff.md).
        const DWORD remainingMs = deadline.RemainingMs();
        answered = remainingMs != 0 &&
                   SendMessageTimeoutA(target, WM_COPYDATA, 0, message, SMTO_NORMAL, remainingMs, &answer) != 0;
    }
    if (answered) return answer == TRUE ? Delivery::Taken : Delivery::AnsweredNotTaken;
    return ticket.TakenElseVoid() ? Delivery::Taken : Delivery::NoAnswerInTime;
}

// A later instance's hand-off, round by round: each decided under the block's lock (which
// `lock` holds already when the caller took it) and sent without it, so the lock is never
// held while waiting on the receiver. A round whose window went away, or found none yet,
// is decided again. FirstInstance leaves the lock held.
HandOffOutcome HandOffRounds(const InstanceNames &names, const HandOffPayload &payload, const Deadline &deadline,
                             HandOffBlock &block, HANDLE instanceMutex, std::optional<BlockLock> &lock) {
    bool written = false;
    ULONGLONG noWindowUntil = 0;
    for (;;) {
        if (!lock) lock.emplace(block, deadline.RemainingMs());
        if (!lock->Held()) return HandOffOutcome::BlockBusy;
        if (written) RemoveOwnText(block, payload);
        // A CHandOffReceiver makes its window under this lock and gives it up with the mutex:
        // an owner found alive has its window.
        if (TakeOverInstanceMutex(instanceMutex)) return HandOffOutcome::FirstInstance;
        written = WriteText(block, payload);
        const HWND target = FindReceiverWindow(names);
        lock.reset();
        if (!target) {
            // The owner may be making its window, or have died since (then it is taken over).
            if (NoWindowWaitOver(noWindowUntil, deadline)) return HandOffOutcome::NoWindow;
            continue;
        }
        LetTargetComeForward(target);
        // Kept until the round is decided: a receiver still inside the message finds it void.
        HandOffTicket ticket(payload.waiter ? HandOffReply::Awaited : HandOffReply::NotAwaited, payload.passedOnTicket);
        const Delivery delivery = SendWithTicket(target, payload, deadline, ticket);
        if (delivery == Delivery::Taken) {
            if (payload.waiter) *payload.waiter = ticket.TakeWaiter();
            return HandOffOutcome::HandedOff;
        }
        // Gone while the message waited: its instance closed or died without taking it.
        if (!IsWindow(target)) continue;
        return delivery == Delivery::AnsweredNotTaken ? HandOffOutcome::Refused : HandOffOutcome::NotResponding;
    }
}

// The check of TryHandOffToRunningInstance: the block is made only in a later instance, and the
// instance mutex's handle is kept open for the process's life.
HandOffOutcome CheckAndHandOff(const InstanceNames &names, const HandOffPayload &payload, DWORD timeoutMs) {
    names.RefuseEmpty();
    const Deadline deadline(timeoutMs);
    bool created = false;
    const HANDLE instanceMutex = CreateInstanceMutex(names, created);
    const std::string blockName = names.BlockName();
    PublishCheck(instanceMutex, blockName.c_str());
    if (created) return HandOffOutcome::FirstInstance;
    HandOffBlock block(blockName.c_str());
    std::optional<BlockLock> lock;  // let go before the block closes
    return HandOffRounds(names, payload, deadline, block, instanceMutex, lock);
}

}  // namespace

CheckResult handoff_detail::CheckWithBlock(const InstanceNames &names, const HandOffPayload &payload, DWORD timeoutMs,
                                           HandOffBlock &block, UniqueHandle &instanceMutex, bool publish) {
    names.RefuseEmpty();
    const Deadline deadline(timeoutMs);
    std::optional<BlockLock> lock(std::in_place, block, deadline.RemainingMs());
    if (!lock->Held()) return {HandOffOutcome::BlockBusy, std::nullopt};
    bool created = false;
    instanceMutex.reset(CreateInstanceMutex(names, created));
    if (publish) PublishCheck(instanceMutex.get(), names.BlockName().c_str());
    const HandOffOutcome outcome = created ? HandOffOutcome::FirstInstance
                                           : HandOffRounds(names, payload, deadline, block, instanceMutex.get(), lock);
    if (outcome != HandOffOutcome::FirstInstance) return {outcome, std::nullopt};
    return {outcome, std::move(lock)};
}

HandOffOutcome TryHandOffToRunningInstance(const char *windowName, const char *className, const char *data,
                                           DWORD timeoutMs) {
    return CheckAndHandOff(InstanceNames(windowName, className), HandOffPayload::Text(data), timeoutMs);
}

HandOffOutcome TryHandOffRequestToRunningInstance(const char *windowName, const char *className, int argumentCount,
                                                  const wchar_t *const *arguments, const wchar_t *workingDirectory,
                                                  DWORD timeoutMs) {
    const std::string request = MakeHandOffRequest(argumentCount, arguments, workingDirectory);
    return CheckAndHandOff(InstanceNames(windowName, className),
                           HandOffPayload::Message(request.data(), request.size(), true), timeoutMs);
}

bool HandOffToRunningInstance(const char *windowName, const char *className, const char *data) {
    return TryHandOffToRunningInstance(windowName, className, data, INFINITE) != HandOffOutcome::FirstInstance;
}

bool HandOffToRunningInstance(const char *windowName, const char *className) {
    return HandOffToRunningInstance(windowName, className, "");
}

}  // namespace orvane
