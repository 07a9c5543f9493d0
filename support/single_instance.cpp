#include "support/single_instance.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "framework/exception.h"
#include "support/handoff_block.h"
#include "support/handoff_check.h"
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
}  // namespace

void handoff_detail::PublishCheck(HANDLE instanceMutex, const char *blockName) {
    AcquireSRWLockExclusive(&publishedLock);
    InstanceMutex = instanceMutex;
    std::memcpy(SharedDataName, blockName, std::strlen(blockName) + 1);
    ReleaseSRWLockExclusive(&publishedLock);
}

void handoff_detail::ForgetInstanceMutex(HANDLE instanceMutex) {
    AcquireSRWLockExclusive(&publishedLock);
    if (InstanceMutex == instanceMutex) InstanceMutex = nullptr;
    ReleaseSRWLockExclusive(&publishedLock);
}

// "引き渡すテキストが長すぎます"
const char handoff_detail::kDataTooLongText[] =
    "\x88\xf8\x82\xab\x93\x6e\x82\xb7\x83\x65\x83\x4c\x83\x58\x83\x67\x82\xaa\x92\xb7\x82\xb7\x82\xac\x82\xdc\x82\xb7";

namespace {
const size_t kNameArea = sizeof SharedDataName;  // 1023 bytes and the terminator
const char kBlockSuffix[] = "_multiple_data";

// "ウィンドウ名とクラス名がどちらも空です"
const char kNoNamesText[] =
    "\x83\x45\x83\x42\x83\x93\x83\x68\x83\x45\x96\xbc\x82\xc6\x83\x4e\x83\x89\x83\x58\x96\xbc\x82\xaa\x82\xc7"
    "\x82\xbf\x82\xe7\x82\xe0\x8b\xf3\x82\xc5\x82\xb7";

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

namespace {
const DWORD kNoWindowPollMs = 10;

// The end of a call's waits; none for INFINITE.
class Deadline {
public:
    explicit Deadline(DWORD timeoutMs) : infinite_(timeoutMs == INFINITE), end_(GetTickCount64() + timeoutMs) {}
    bool Infinite() const { return infinite_; }
    // INFINITE for an infinite deadline.
    DWORD RemainingMs() const {
        if (infinite_) return INFINITE;
        const ULONGLONG now = GetTickCount64();
        return now >= end_ ? 0 : static_cast<DWORD>(end_ - now);
    }

private:
    bool infinite_;
    ULONGLONG end_;
};

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

// With a window name alone, the program's own main window may carry the same title: a
// CHandOffReceiver's window, of the library's class, is the better guess.
// FindWindowA matches any class or title for null, but "" only an empty one.
HWND FindReceiverWindow(const char *windowName, const char *className) {
    if (!*className) {  // then the window name is not empty
        if (HWND receiver = FindWindowA(kHandOffReceiverClass, windowName)) return receiver;
    }
    return FindWindowA(*className ? className : nullptr, *windowName ? windowName : nullptr);
}

// The system lets the program that the user started last take the foreground, not the
// running instance that gets the text: this program hands that right on.
void LetTargetComeForward(HWND target) {
    DWORD process = 0;
    GetWindowThreadProcessId(target, &process);
    AllowSetForegroundWindow(process);
}

// What became of one message.
enum class Sent { Taken, Answered, NotAnswered };

// Sends the message with its ticket. A window that gives no answer in time may still have
// taken it: the ticket tells.
Sent SendMessageWithTicket(HWND target, const void *bytes, size_t size, const Deadline &deadline,
                           HandOffTicket &ticket) {
    COPYDATASTRUCT copied = {};
    copied.dwData = ticket.MessageData();
    copied.cbData = static_cast<DWORD>(size);
    copied.lpData = const_cast<void *>(bytes);
    const LPARAM message = reinterpret_cast<LPARAM>(&copied);
    DWORD_PTR answer = 0;
    bool answered = true;
    if (deadline.Infinite()) {
        answer = static_cast<DWORD_PTR>(SendMessageA(target, WM_COPYDATA, 0, message));
    } else {
        // A bound that has run out is not passed on: Wine waits without a limit for 0.
        const DWORD remainingMs = deadline.RemainingMs();
        answered = remainingMs != 0 &&
                   SendMessageTimeoutA(target, WM_COPYDATA, 0, message, SMTO_NORMAL, remainingMs, &answer) != 0;
    }
    if (answered) return answer == TRUE ? Sent::Taken : Sent::Answered;
    return ticket.TakenElseVoid() ? Sent::Taken : Sent::NotAnswered;
}

// Our text from a round whose window went away, if the block still holds exactly it
// (terminator included), is nobody's: someone else's text stays, whatever it shares with ours.
void RemoveOwnText(HandOffBlock &block, const char *data, size_t dataLength) {
    const char *view = block.View();
    // GCOVR_EXCL_BR_START: the view is null only when MapViewOfFile fails, which no seam reaches
    if (view && std::memcmp(view, data, dataLength + 1) == 0) block.Clear();
    // GCOVR_EXCL_BR_STOP
}

// The check. With `heldBlock`, the caller holds the block open and its lock is taken
// before the instance mutex, so that `becomeFirst` runs under the lock of the decision.
HandOffOutcome HandOff(const char *windowName, const char *className, const HandOffPayload &payload, DWORD timeoutMs,
                       HandOffBlock *heldBlock, BecomeFirstInstance becomeFirst, void *context, HANDLE *instanceMutex,
                       bool publish) {
    if (!windowName) windowName = "";
    if (!className) className = "";
    const char *data = payload.request ? nullptr : payload.text ? payload.text : "";
    // The name "" would make an unnamed mutex: every caller would be the first instance.
    if (!*windowName && !*className) throw Exception(kNoNamesText);

    const Deadline deadline(timeoutMs);
    std::optional<BlockLock> lock;
    if (heldBlock) {
        lock.emplace(*heldBlock, deadline.RemainingMs());
        if (!lock->Held()) return HandOffOutcome::BlockBusy;
    }

    char name[kNameArea];
    ComposeInstanceName(windowName, className, name);
    // Creation is atomic between processes: exactly one caller sees no error.
    SetLastError(ERROR_SUCCESS);
    const HANDLE mutex = CreateMutexA(nullptr, TRUE, name);
    const DWORD mutexError = GetLastError();
    if (instanceMutex) *instanceMutex = mutex;
    char blockName[kNameArea];
    ComposeSharedDataName(windowName, className, blockName);
    if (publish) PublishCheck(mutex, blockName);
    if (mutexError == ERROR_SUCCESS) {
        if (becomeFirst) becomeFirst(context, *heldBlock, mutex);
        return HandOffOutcome::FirstInstance;
    }

    const size_t dataLength = data ? std::strlen(data) : 0;
    std::optional<HandOffBlock> ownBlock;
    HandOffBlock &block = heldBlock ? *heldBlock : ownBlock.emplace(blockName);
    bool written = false;
    ULONGLONG noWindowUntil = 0;
    for (;;) {
        if (!lock) {
            lock.emplace(block, deadline.RemainingMs());
            if (!lock->Held()) return HandOffOutcome::BlockBusy;
        }
        if (written) RemoveOwnText(block, data, dataLength);
        // Decided under the lock, under which a CHandOffReceiver makes its window, and gives
        // it up with the mutex: an owner found alive has its window.
        if (TakeOverInstanceMutex(mutex)) {
            if (becomeFirst) becomeFirst(context, block, mutex);
            return HandOffOutcome::FirstInstance;
        }
        if (data) {
            // Refused before the block is touched: the text and its terminator must fit.
            if (dataLength > HandOffBlock::kSize - 1) throw Exception(kDataTooLongText);
            // GCOVR_EXCL_BR_START: the view is null only when MapViewOfFile fails, which no seam reaches
            if (char *view = block.View()) std::memcpy(view, data, dataLength + 1);
            // GCOVR_EXCL_BR_STOP
            written = true;
        }
        // Found under the lock, without sending messages, so the lock is never held while
        // waiting on the receiver.
        const HWND target = FindReceiverWindow(windowName, className);
        lock.reset();
        if (!target) {
            // The owner lived a moment ago, without a window of these names: it may be making
            // its window, or have died since (then it is taken over); else nobody takes the text.
            const ULONGLONG now = GetTickCount64();
            if (!noWindowUntil) noWindowUntil = now + std::min(kNoWindowWaitMs, deadline.RemainingMs());
            if (now >= noWindowUntil) return HandOffOutcome::NoWindow;
            Sleep(kNoWindowPollMs);
            continue;
        }
        LetTargetComeForward(target);
        // Kept until the round is decided: a receiver still inside the message finds it void.
        HandOffTicket ticket(payload.waiter ? HandOffReply::Awaited : HandOffReply::NotAwaited, payload.passedOn);
        const Sent sent = data ? SendMessageWithTicket(target, data, dataLength + 1, deadline, ticket)
                               : SendMessageWithTicket(target, payload.request, payload.requestSize, deadline, ticket);
        if (sent == Sent::Taken) {
            if (payload.waiter) *payload.waiter = ticket.TakeWaiter();
            return HandOffOutcome::HandedOff;
        }
        // Gone while the message waited: its instance closed or died, and did not take it.
        // Decide again.
        if (!IsWindow(target)) continue;
        return sent == Sent::Answered ? HandOffOutcome::Refused : HandOffOutcome::NotResponding;
    }
}
}  // namespace

HandOffOutcome handoff_detail::HandOffWithBlock(const char *windowName, const char *className,
                                                const HandOffPayload &payload, DWORD timeoutMs, HandOffBlock &block,
                                                BecomeFirstInstance becomeFirst, void *context, HANDLE *instanceMutex,
                                                bool publish) {
    return HandOff(windowName, className, payload, timeoutMs, &block, becomeFirst, context, instanceMutex, publish);
}

HandOffOutcome TryHandOffToRunningInstance(const char *windowName, const char *className, const char *data,
                                           DWORD timeoutMs) {
    HandOffPayload payload;
    payload.text = data;
    return HandOff(windowName, className, payload, timeoutMs, nullptr, nullptr, nullptr, nullptr, true);
}

HandOffOutcome TryHandOffRequestToRunningInstance(const char *windowName, const char *className, int argumentCount,
                                                  const wchar_t *const *arguments, const wchar_t *workingDirectory,
                                                  DWORD timeoutMs) {
    const std::string request = MakeHandOffRequest(argumentCount, arguments, workingDirectory);
    HandOffPayload payload;
    payload.request = request.data();
    payload.requestSize = request.size();
    return HandOff(windowName, className, payload, timeoutMs, nullptr, nullptr, nullptr, nullptr, true);
}

bool HandOffToRunningInstance(const char *windowName, const char *className, const char *data) {
    return TryHandOffToRunningInstance(windowName, className, data, INFINITE) != HandOffOutcome::FirstInstance;
}

bool HandOffToRunningInstance(const char *windowName, const char *className) {
    return HandOffToRunningInstance(windowName, className, "");
}

}  // namespace orvane
