#include "support/single_instance.h"

#include <cstring>
#include <optional>

#include "framework/exception.h"
#include "support/handoff_steps.h"
#include "support/shared_memory.h"

HANDLE InstanceMutex = nullptr;
char SharedDataName[1024] = "";
const char kHandOffReceiverClass[] = "OrvaneHandOffReceiver";

namespace {
const size_t kNameArea = sizeof SharedDataName;  // 1023 characters and the terminator
const DWORD kBlockSize = 1024;
const char kBlockSuffix[] = "_multiple_data";
// "引き渡すテキストが長すぎます"
const char kDataTooLongText[] =
    "\x88\xf8\x82\xab\x93\x6e\x82\xb7\x83\x65\x83\x4c\x83\x58\x83\x67\x82\xaa\x92\xb7\x82\xb7\x82\xac\x82\xdc\x82\xb7";

// "ウィンドウ名とクラス名がどちらも空です"
const char kNoNamesText[] =
    "\x83\x45\x83\x42\x83\x93\x83\x68\x83\x45\x96\xbc\x82\xc6\x83\x4e\x83\x89\x83\x58\x96\xbc\x82\xaa\x82\xc7"
    "\x82\xbf\x82\xe7\x82\xe0\x8b\xf3\x82\xc5\x82\xb7";

// Appends `text` to the `length` characters in `area`, cut to kNameArea - 1 in all.
void AppendCut(char *area, size_t &length, const char *text) {
    while (length < kNameArea - 1 && *text) area[length++] = *text++;
    area[length] = '\0';
}

// Window name + class name, cut to 1023 characters; returns the length.
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

void ClearBlock(CMemMapFile<char> &block) {
    char *view = block.GetView();
    if (view) view[0] = '\0';  // GCOVR_EXCL_BR_LINE: null only when MapViewOfFile fails, which no seam reaches
}

EmptyingBlockLock::EmptyingBlockLock(CMemMapFile<char> &block) : block_(block) {
    if (block.Lock() == WAIT_ABANDONED) ClearBlock(block);
}

namespace {
// The end of a call's waits; none for INFINITE.
class Deadline {
public:
    explicit Deadline(DWORD timeoutMs) : infinite_(timeoutMs == INFINITE), end_(GetTickCount64() + timeoutMs) {}
    bool Infinite() const { return infinite_; }
    // Of a deadline that is not infinite.
    DWORD RemainingMs() const {
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

// Sends the text and says whether the window answered in time; *answer is its answer.
bool SendText(HWND target, const char *data, size_t dataLength, const Deadline &deadline, DWORD_PTR *answer) {
    COPYDATASTRUCT copied = {};
    copied.dwData = reinterpret_cast<ULONG_PTR>(SharedDataName);
    copied.cbData = static_cast<DWORD>(dataLength + 1);
    copied.lpData = const_cast<char *>(data);
    const LPARAM message = reinterpret_cast<LPARAM>(&copied);
    if (deadline.Infinite()) {
        *answer = static_cast<DWORD_PTR>(SendMessageA(target, WM_COPYDATA, 0, message));
        return true;
    }
    return SendMessageTimeoutA(target, WM_COPYDATA, 0, message, SMTO_NORMAL, deadline.RemainingMs(), answer) != 0;
}

// The check. With `heldBlock`, the caller holds the block open and its lock is taken
// before the instance mutex, so that `becomeFirst` runs under the lock of the decision.
HandOffOutcome HandOff(const char *windowName, const char *className, const char *data, DWORD timeoutMs,
                       CMemMapFile<char> *heldBlock, BecomeFirstInstance becomeFirst, void *context) {
    if (!windowName) windowName = "";
    if (!className) className = "";
    if (!data) data = "";
    // The name "" would make an unnamed mutex: every caller would be the first instance.
    if (!*windowName && !*className) throw Exception(kNoNamesText);

    const Deadline deadline(timeoutMs);
    std::optional<EmptyingBlockLock> lock;
    if (heldBlock) lock.emplace(*heldBlock);

    char name[kNameArea];
    ComposeInstanceName(windowName, className, name);
    // Creation is atomic between processes: exactly one caller sees no error.
    SetLastError(ERROR_SUCCESS);
    InstanceMutex = CreateMutexA(nullptr, TRUE, name);
    const DWORD mutexError = GetLastError();
    ComposeSharedDataName(windowName, className, SharedDataName);
    if (mutexError == ERROR_SUCCESS) {
        if (becomeFirst) becomeFirst(context, heldBlock->GetView());
        return HandOffOutcome::FirstInstance;
    }

    const size_t dataLength = std::strlen(data);
    std::optional<CMemMapFile<char>> ownBlock;
    CMemMapFile<char> &block = heldBlock ? *heldBlock : ownBlock.emplace(SharedDataName, 0, kBlockSize, nullptr);
    bool written = false;
    for (;;) {
        if (!lock) lock.emplace(block);
        char *view = block.GetView();
        // Our text from a round whose window went away, if still there, is nobody's.
        // GCOVR_EXCL_BR_START: the view is null only when MapViewOfFile fails, as below
        if (written && view && std::strncmp(view, data, kBlockSize) == 0) view[0] = '\0';
        // GCOVR_EXCL_BR_STOP
        // Decided under the lock, under which a CHandOffReceiver makes its window and reads
        // the block, and gives both up with the mutex: an owner found alive has its window.
        if (TakeOverInstanceMutex(InstanceMutex)) {
            if (becomeFirst) becomeFirst(context, view);
            return HandOffOutcome::FirstInstance;
        }
        // Refused before the block is touched: the text and its terminator must fit.
        if (dataLength > kBlockSize - 1) throw Exception(kDataTooLongText);
        // GCOVR_EXCL_BR_START: the view is null only when MapViewOfFile fails, which no seam reaches
        if (view) std::memcpy(view, data, dataLength + 1);
        // GCOVR_EXCL_BR_STOP
        written = true;
        // Found under the lock, without sending messages, so the lock is never held while
        // waiting on the receiver.
        const HWND target = FindReceiverWindow(windowName, className);
        lock.reset();
        // The running instance's window may not exist yet: the text waits in the block for
        // as long as the instance holds the block open.
        if (!target) return HandOffOutcome::HandedOff;
        DWORD_PTR answer = 0;
        const bool answered = SendText(target, data, dataLength, deadline, &answer);
        if (answered && answer == TRUE) return HandOffOutcome::HandedOff;
        // Gone while the message waited: its instance closed or died. Decide again.
        if (!IsWindow(target)) continue;
        return answered ? HandOffOutcome::Refused : HandOffOutcome::NotResponding;
    }
}
}  // namespace

HandOffOutcome HandOffWithBlock(const char *windowName, const char *className, const char *data, DWORD timeoutMs,
                                CMemMapFile<char> &block, BecomeFirstInstance becomeFirst, void *context) {
    return HandOff(windowName, className, data, timeoutMs, &block, becomeFirst, context);
}

HandOffOutcome TryHandOffToRunningInstance(const char *windowName, const char *className, const char *data,
                                           DWORD timeoutMs) {
    return HandOff(windowName, className, data, timeoutMs, nullptr, nullptr, nullptr);
}

bool HandOffToRunningInstance(const char *windowName, const char *className, const char *data) {
    return TryHandOffToRunningInstance(windowName, className, data, INFINITE) != HandOffOutcome::FirstInstance;
}

bool HandOffToRunningInstance(const char *windowName, const char *className) {
    return HandOffToRunningInstance(windowName, className, "");
}
