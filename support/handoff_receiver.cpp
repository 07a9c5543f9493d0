#include "support/handoff_receiver.h"

#include <cstring>

namespace {
const size_t kBlockSize = 1024;
}  // namespace

bool IsHandOffMessage(const void *data, size_t size) {
    if (!data || size < 1 || size > kBlockSize) return false;
    return std::memchr(data, '\0', size) == static_cast<const char *>(data) + size - 1;
}

size_t HandOffBlockTextLength(const char *block, size_t size) {
    if (!block) return 0;
    const void *end = std::memchr(block, '\0', size < kBlockSize ? size : kBlockSize);
    return end ? static_cast<size_t>(static_cast<const char *>(end) - block) : 0;
}

#ifdef _WIN32
#include <exception>
#include <new>
#include <optional>

#include "framework/exception.h"
#include "support/handoff_steps.h"
#include "support/single_instance.h"

namespace {

// "引き渡しを受けるウィンドウを作成できません"
const char kNoWindowText[] =
    "\x88\xf8\x82\xab\x93\x6e\x82\xb5\x82\xf0\x8e\xf3\x82\xaf\x82\xe9\x83\x45\x83\x42\x83\x93\x83\x68\x83\x45\x82\xf0"
    "\x8d\xec\x90\xac\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1";

}  // namespace

void CHandOffReceiver::OwnedHandle::Close() {
    if (handle) CloseHandle(handle);
    handle = nullptr;
}

class CHandOffReceiver::ExclusiveGuard {
public:
    explicit ExclusiveGuard(SRWLOCK &lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~ExclusiveGuard() { ReleaseSRWLockExclusive(&lock_); }
    ExclusiveGuard(const ExclusiveGuard &) = delete;
    ExclusiveGuard &operator=(const ExclusiveGuard &) = delete;

private:
    SRWLOCK &lock_;
};

// What the receiving thread is given, and what its check came to; lives until `checked` is set.
struct CHandOffReceiver::Start {
    CHandOffReceiver *self;
    const char *windowName;
    const char *className;
    const char *data;
    DWORD timeoutMs;
    HANDLE checked;
    std::exception_ptr error;
};

CHandOffReceiver::CHandOffReceiver(const char *windowName, const char *className, const char *data, DWORD timeoutMs)
    : ownerThread_(GetCurrentThreadId()) {
    if (!windowName) windowName = "";
    if (!className) className = "";
    // Refused by the check before it creates anything; the block must not come first.
    // GCOVR_EXCL_BR_START: for two empty names the check throws, so its call never returns here
    if (!*windowName && !*className) HandOffToRunningInstance(windowName, className, data);
    // GCOVR_EXCL_BR_STOP

    // A null notice window posts to this thread, which needs a message queue for it: the
    // system makes one at a thread's first call of a window function, and this thread may
    // have made none (the window is made on the receiving thread).
    MSG none;
    PeekMessageA(&none, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    textsWait_.handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    closing_.handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OwnedHandle checked;
    checked.handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Start start = {this, windowName, className, data, timeoutMs, checked.handle, nullptr};
    if (textsWait_.handle && closing_.handle && checked.handle)  // GCOVR_EXCL_BR_LINE: no seam makes events fail
        thread_.handle = CreateThread(nullptr, 0, Run, &start, 0, nullptr);
    // Out of the system's resources, as for memory.
    if (!thread_.handle) throw std::bad_alloc();  // GCOVR_EXCL_BR_LINE: no seam makes CreateThread fail
    // The thread's waits are bounded by timeoutMs, or by nothing when the caller asked so.
    WaitForSingleObject(checked.handle, INFINITE);
    if (start.error || outcome_ != HandOffOutcome::FirstInstance) {
        // A later instance's thread, or a failed one, ends now.
        WaitForSingleObject(thread_.handle, INFINITE);
        thread_.Close();
        if (start.error) std::rethrow_exception(start.error);
    }
}

DWORD WINAPI CHandOffReceiver::Run(void *parameter) {
    Start &start = *static_cast<Start *>(parameter);
    CHandOffReceiver *self = start.self;
    // Opened before the check: its lock is taken before the instance mutex.
    char blockName[sizeof SharedDataName];
    ComposeSharedDataName(start.windowName, start.className, blockName);
    std::optional<HandOffBlock> block;
    try {
        block.emplace(blockName);
        self->outcome_ = HandOffWithBlock(start.windowName, start.className, start.data, start.timeoutMs, *block,
                                          BecomeFirst, &start, &self->instanceMutex_.handle);
    } catch (...) {
        start.error = std::current_exception();
    }
    const bool serve = !start.error && self->outcome_ == HandOffOutcome::FirstInstance;
    SetEvent(start.checked);  // `start` is gone from here on
    if (serve) self->Serve(*block);
    return 0;
}

// Runs under the block's lock, as the check decided: a sender that finds the instance's
// owner alive also finds this window.
void CHandOffReceiver::BecomeFirst(void *parameter, HandOffBlock &block) {
    const Start &start = *static_cast<const Start *>(parameter);
    CHandOffReceiver *self = start.self;
    const char *windowClass = *start.className ? start.className : kHandOffReceiverClass;
    WNDCLASSA registration = {};
    registration.lpfnWndProc = WindowProcedure;
    registration.hInstance = GetModuleHandleA(nullptr);
    registration.lpszClassName = windowClass;
    RegisterClassA(&registration);  // fails when registered already; the window shows whose it is

    const HWND window = CreateWindowExA(0, windowClass, start.windowName, WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                        registration.hInstance, self);
    if (GetWindowLongPtrA(window, GWLP_USERDATA) != reinterpret_cast<LONG_PTR>(self)) {
        // No window, or one of a class that the caller registered with its own procedure.
        // The mutex is given up under the lock and the block left as it is.
        DestroyWindow(window);
        ReleaseMutex(self->instanceMutex_.handle);
        throw Exception(kNoWindowText);
    }
    // When this runs elevated, senders at a lower integrity level may still hand off.
    ChangeWindowMessageFilterEx(window, WM_COPYDATA, MSGFLT_ALLOW, nullptr);
    block.Clear();
    self->window_ = window;
}

// The receiving thread's loop: it answers every message at once, until Close.
void CHandOffReceiver::Serve(HandOffBlock &block) {
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
        const HANDLE closing = closing_.handle;
        if (MsgWaitForMultipleObjects(1, &closing, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0) break;
    }
    // Window and mutex go together under the lock, and the block is emptied: a sender then
    // either finds both (and its text comes by message) or neither (and it is the first
    // instance, or hands off to the one that is). A sender that holds the lock past the bound
    // finds the window gone when it sends, and decides again.
    BlockLock lock(block, kCloseTimeoutMs);
    DestroyWindow(window_);
    window_ = nullptr;
    if (lock.Held()) block.Clear();
    ReleaseMutex(instanceMutex_.handle);
}

CHandOffReceiver::~CHandOffReceiver() { Close(); }

void CHandOffReceiver::Close() {
    ExclusiveGuard once(closeLock_);
    if (thread_.handle) {
        SetEvent(closing_.handle);
        WaitForSingleObject(thread_.handle, INFINITE);  // its waits are bounded
        thread_.Close();
    }
    // The check's handle goes too; a check made since keeps its own.
    if (instanceMutex_.handle && InstanceMutex == instanceMutex_.handle) InstanceMutex = nullptr;
    instanceMutex_.Close();
}

char *CHandOffReceiver::TakeText() {
    ExclusiveGuard guard(textsLock_);
    if (texts_.empty()) return nullptr;
    char *text = texts_.front().release();
    texts_.pop_front();
    if (texts_.empty()) ResetEvent(textsWait_.handle);
    return text;
}

void CHandOffReceiver::PostWhenTextWaits(HWND window, UINT message) {
    ExclusiveGuard guard(textsLock_);
    noticeWindow_ = window;
    noticeMessage_ = message;
    if (!texts_.empty()) NotifyLocked();
}

// With textsLock_ held.
void CHandOffReceiver::NotifyLocked() {
    if (!noticeMessage_) return;
    if (noticeWindow_)
        PostMessageA(noticeWindow_, noticeMessage_, 0, 0);
    else
        PostThreadMessageA(ownerThread_, noticeMessage_, 0, 0);
}

bool CHandOffReceiver::Keep(const char *text, size_t length) noexcept {
    ExclusiveGuard guard(textsLock_);
    if (texts_.size() >= kMaxWaitingTexts) return false;
    try {
        std::unique_ptr<char[]> copy(new char[length + 1]);
        std::memcpy(copy.get(), text, length);
        copy[length] = '\0';
        texts_.push_back(std::move(copy));
    } catch (...) {
        return false;  // out of memory: this text is dropped, the receiver goes on
    }
    if (texts_.size() == 1) {
        SetEvent(textsWait_.handle);
        NotifyLocked();
    }
    return true;
}

// Runs inside the system's message dispatch: nothing may throw out of it.
LRESULT CALLBACK CHandOffReceiver::WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto *creation = reinterpret_cast<const CREATESTRUCTA *>(lParam);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
    } else if (message == WM_COPYDATA) {
        // Null for a window that someone else made with this class.
        auto *self = reinterpret_cast<CHandOffReceiver *>(GetWindowLongPtrA(window, GWLP_USERDATA));
        const auto *copied = reinterpret_cast<const COPYDATASTRUCT *>(lParam);
        if (!self || !copied || !IsHandOffMessage(copied->lpData, copied->cbData)) return FALSE;
        return self->Keep(static_cast<const char *>(copied->lpData), copied->cbData - 1) ? TRUE : FALSE;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}
#endif
