#include "support/handoff_receiver.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <optional>

#include "framework/exception.h"
#include "support/handoff_block.h"
#include "support/handoff_check.h"
#include "support/handoff_request.h"
#include "support/handoff_ticket.h"
#include "support/single_instance.h"

namespace orvane {
using namespace handoff_detail;  // the hand-off's inner parts (handoff_*.h)

namespace {

// "引き渡しを受けるウィンドウを作成できません"
const char kNoWindowText[] =
    "\x88\xf8\x82\xab\x93\x6e\x82\xb5\x82\xf0\x8e\xf3\x82\xaf\x82\xe9\x83\x45\x83\x42\x83\x93\x83\x68\x83\x45\x82\xf0"
    "\x8d\xec\x90\xac\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1";

std::string NameOrEmpty(const char *name) { return name ? name : ""; }

// Under the block's lock, for a destructor that passes on what waits: nobody runs, and this
// thread must not stay the instance.
void GiveUpInstance(void *, HandOffBlock &, HANDLE instanceMutex) { ReleaseMutex(instanceMutex); }

// What a kept message counts against kMaxWaitingBytes: its bytes as they came (a text's with its NUL).
size_t MessageBytes(size_t size, bool request) { return request ? size : size + 1; }

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
    const HandOffPayload &payload;
    DWORD timeoutMs;
    HANDLE checked;
    std::exception_ptr error;
};

CHandOffReceiver::CHandOffReceiver(const char *windowName, const char *className, const char *data, DWORD timeoutMs)
    : windowName_(NameOrEmpty(windowName)), className_(NameOrEmpty(className)), ownerThread_(GetCurrentThreadId()) {
    HandOffPayload payload;
    payload.text = data;
    Begin(payload, timeoutMs);
}

CHandOffReceiver::CHandOffReceiver(const char *windowName, const char *className, int argumentCount,
                                   const wchar_t *const *arguments, const wchar_t *workingDirectory, DWORD timeoutMs,
                                   HandOffReply reply)
    : windowName_(NameOrEmpty(windowName)),
      className_(NameOrEmpty(className)),
      takesRequests_(true),
      ownerThread_(GetCurrentThreadId()) {
    const std::string request = MakeHandOffRequest(argumentCount, arguments, workingDirectory);
    HandOffPayload payload;
    payload.request = request.data();
    payload.requestSize = request.size();
    if (reply == HandOffReply::Awaited) payload.waiter = &waiter_;
    Begin(payload, timeoutMs);
}

void CHandOffReceiver::Begin(HandOffPayload &payload, DWORD timeoutMs) {
    // Refused by the check before it creates anything; the block must not come first.
    // GCOVR_EXCL_BR_START: for two empty names the check throws, so its call never returns here
    if (windowName_.empty() && className_.empty()) HandOffToRunningInstance("", "", "");
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
    Start start = {this, payload, timeoutMs, checked.handle, nullptr};
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
    ComposeSharedDataName(self->windowName_.c_str(), self->className_.c_str(), blockName);
    std::optional<HandOffBlock> block;
    try {
        block.emplace(blockName);
        self->outcome_ =
            HandOffWithBlock(self->windowName_.c_str(), self->className_.c_str(), start.payload, start.timeoutMs,
                             *block, BecomeFirst, &start, &self->instanceMutex_.handle, true);
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
void CHandOffReceiver::BecomeFirst(void *parameter, HandOffBlock &block, HANDLE instanceMutex) {
    const Start &start = *static_cast<const Start *>(parameter);
    CHandOffReceiver *self = start.self;
    const char *windowClass = self->className_.empty() ? kHandOffReceiverClass : self->className_.c_str();
    WNDCLASSA registration = {};
    registration.lpfnWndProc = WindowProcedure;
    registration.hInstance = GetModuleHandleA(nullptr);
    registration.lpszClassName = windowClass;
    RegisterClassA(&registration);  // fails when registered already; the window shows whose it is

    const HWND window = CreateWindowExA(0, windowClass, self->windowName_.c_str(), WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                        nullptr, registration.hInstance, self);
    if (GetWindowLongPtrA(window, GWLP_USERDATA) != reinterpret_cast<LONG_PTR>(self)) {
        // No window, or one of a class that the caller registered with its own procedure.
        // The mutex is given up under the lock and the block left as it is.
        DestroyWindow(window);
        ReleaseMutex(instanceMutex);
        throw Exception(kNoWindowText);
    }
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

CHandOffReceiver::~CHandOffReceiver() {
    Close();
    PassOnWaiting();
}

void CHandOffReceiver::Close() {
    ExclusiveGuard once(closeLock_);
    if (thread_.handle) {
        SetEvent(closing_.handle);
        WaitForSingleObject(thread_.handle, INFINITE);  // its waits are bounded
        thread_.Close();
    }
    // The check's handle goes too; a check made since keeps its own.
    if (instanceMutex_.handle) ForgetInstanceMutex(instanceMutex_.handle);
    instanceMutex_.Close();
}

// What waits when the object goes, to the instance that runs next: one that a later
// program became when Close gave the instance up.
void CHandOffReceiver::PassOnWaiting() {
    if (items_.empty()) return;
    const ULONGLONG end = GetTickCount64() + kCloseTimeoutMs;
    try {
        char blockName[sizeof SharedDataName];
        ComposeSharedDataName(windowName_.c_str(), className_.c_str(), blockName);
        HandOffBlock block(blockName);
        while (!items_.empty()) {
            const Item &item = items_.front();
            HandOffPayload payload;
            if (item.request) {
                payload.request = item.bytes.get();
                payload.requestSize = item.size;
            } else {
                payload.text = item.bytes.get();
            }
            if (item.wayBack) payload.passedOn = item.wayBack->MessageData();
            OwnedHandle mutex;
            const DWORD remainingMs = static_cast<DWORD>(end - std::min(end, GetTickCount64()));
            const HandOffOutcome outcome =
                HandOffWithBlock(windowName_.c_str(), className_.c_str(), payload, remainingMs, block, GiveUpInstance,
                                 nullptr, &mutex.handle, false);
            // Any other outcome: no instance runs, or none takes it in time.
            if (outcome != HandOffOutcome::HandedOff) break;
            if (item.wayBack) item.wayBack->PassedOn();
            items_.pop_front();
        }
    } catch (...) {  // GCOVR_EXCL_LINE: the block cannot be had, or memory: what waits is dropped
    }
    for (const Item &item : items_) {
        if (droppedHandler_) {
            if (item.request)
                droppedHandler_(droppedContext_, nullptr, RequestOf(item.bytes.get(), item.size, true).get());
            else
                droppedHandler_(droppedContext_, item.bytes.get(), nullptr);
        }
        if (item.wayBack) item.wayBack->Settle(kAnswerNotOpened);
    }
    items_.clear();
}

char *CHandOffReceiver::TakeText() {
    ExclusiveGuard guard(textsLock_);
    if (items_.empty() || items_.front().request) return nullptr;
    char *text = items_.front().bytes.release();
    waitingBytes_ -= MessageBytes(items_.front().size, false);
    items_.pop_front();
    if (items_.empty()) ResetEvent(textsWait_.handle);
    return text;
}

std::unique_ptr<CHandOffRequest> CHandOffReceiver::TakeRequest() {
    ExclusiveGuard guard(textsLock_);
    if (items_.empty()) return nullptr;
    const Item &item = items_.front();
    std::unique_ptr<CHandOffRequest> request = RequestOf(item.bytes.get(), item.size, item.request);
    request->wayBack_ = item.wayBack;
    waitingBytes_ -= MessageBytes(item.size, item.request);
    items_.pop_front();
    if (items_.empty()) ResetEvent(textsWait_.handle);
    return request;
}

HandOffAnswer CHandOffReceiver::WaitForAnswer(DWORD timeoutMs) {
    return waiter_ ? waiter_->Wait(timeoutMs) : HandOffAnswer();
}

void CHandOffReceiver::WhenDropped(DroppedHandler handler, void *context) {
    ExclusiveGuard guard(textsLock_);
    droppedHandler_ = handler;
    droppedContext_ = context;
}

void CHandOffReceiver::PostWhenTextWaits(HWND window, UINT message) {
    ExclusiveGuard guard(textsLock_);
    noticeWindow_ = window;
    noticeMessage_ = message;
    if (!items_.empty()) NotifyLocked();
}

// With textsLock_ held.
void CHandOffReceiver::NotifyLocked() {
    if (!noticeMessage_) return;
    if (noticeWindow_)
        PostMessageA(noticeWindow_, noticeMessage_, 0, 0);
    else
        PostThreadMessageA(ownerThread_, noticeMessage_, 0, 0);
}

bool CHandOffReceiver::Keep(const void *bytes, size_t size, bool request, ULONG_PTR ticket) noexcept {
    ExclusiveGuard guard(textsLock_);
    const size_t counted = MessageBytes(size, request);
    if (items_.size() >= kMaxWaitingTexts || counted > kMaxWaitingBytes - waitingBytes_) return false;
    // Copied first: once the ticket is marked taken, keeping it cannot fail.
    std::list<Item> item;
    try {
        std::unique_ptr<char[]> copy(new char[size + 1]);
        std::memcpy(copy.get(), bytes, size);
        copy[size] = '\0';
        item.push_back(Item{std::move(copy), size, request, nullptr});
    } catch (...) {
        return false;  // out of memory: this one is dropped, the receiver goes on
    }
    // Claimed before the ticket is taken: a sender told HandedOff then finds it owed.
    if (request) item.front().wayBack = HandOffWayBack::Claim(ticket);
    if (!TakeTicket(ticket)) {
        if (item.front().wayBack) item.front().wayBack->Unclaim();
        return false;
    }
    items_.splice(items_.end(), item);
    waitingBytes_ += counted;
    if (items_.size() == 1) {
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
        if (!self || !copied) return FALSE;
        if (IsHandOffMessage(copied->lpData, copied->cbData))
            return self->Keep(copied->lpData, copied->cbData - 1, false, copied->dwData) ? TRUE : FALSE;
        if (self->takesRequests_ && IsHandOffRequest(copied->lpData, copied->cbData))
            return self->Keep(copied->lpData, copied->cbData, true, copied->dwData) ? TRUE : FALSE;
        return FALSE;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace orvane
