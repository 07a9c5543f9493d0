#include "support/handoff_receiver.h"

#include <cstring>
#include <exception>
#include <new>
#include <optional>

#include "framework/exception.h"
#include "support/handoff_block.h"
#include "support/handoff_check.h"
#include "support/handoff_common.h"
#include "support/handoff_request.h"
#include "support/handoff_ticket.h"

namespace orvane {
using namespace handoff_detail;  // the hand-off's inner parts (handoff_*.h)

// ---- the request a program takes ----

bool CHandOffRequest::AnswerAwaited() const { return wayBack_ && wayBack_->Awaited(); }

bool CHandOffRequest::Answer(DWORD status, const std::wstring &message) {
    size_t units = message.size();
    if (units > kMaxAnswerUnits) {
        units = kMaxAnswerUnits;
        if (IS_SURROGATE_PAIR(message[units - 1], message[units])) --units;  // whole or not at all
    }
    return wayBack_ && wayBack_->Settle(kAnswerGiven, status, message.data(), units);
}

namespace {
// What a kept message gives the program: a request as it came, or a text (its bytes with the
// NUL) as a request of one argument, converted from the ANSI code page.
std::unique_ptr<CHandOffRequest> RequestOf(const char *bytes, size_t size, bool isRequest) {
    std::unique_ptr<CHandOffRequest> request(new CHandOffRequest);
    if (isRequest) {
        ReadHandOffRequest(bytes, size, request->WorkingDirectory, request->Arguments);
        return request;
    }
    const int length = static_cast<int>(size - 1);
    std::wstring text(size - 1, L'\0');  // an ANSI text has no more UTF-16 units than bytes
    text.resize(static_cast<size_t>(MultiByteToWideChar(CP_ACP, 0, bytes, length, &text[0], length)));
    request->Arguments.push_back(std::move(text));
    return request;
}
}  // namespace

// ---- the receiver's start ----

// What the receiving thread is given, and what its check came to; lives until `checked` is set.
struct CHandOffReceiver::ThreadStart {
    CHandOffReceiver *receiver;
    const HandOffPayload &payload;
    DWORD timeoutMs;
    HANDLE checked;
    std::exception_ptr error;
};

CHandOffReceiver::CHandOffReceiver(const char *windowName, const char *className, const char *data, DWORD timeoutMs)
    : windowName_(windowName ? windowName : ""),
      className_(className ? className : ""),
      ownerThread_(GetCurrentThreadId()) {
    StartReceiving(HandOffPayload::Text(data), timeoutMs);
}

CHandOffReceiver::CHandOffReceiver(const char *windowName, const char *className, int argumentCount,
                                   const wchar_t *const *arguments, const wchar_t *workingDirectory, DWORD timeoutMs,
                                   HandOffReply reply)
    : windowName_(windowName ? windowName : ""),
      className_(className ? className : ""),
      takesRequests_(true),
      ownerThread_(GetCurrentThreadId()) {
    const std::string request = MakeHandOffRequest(argumentCount, arguments, workingDirectory);
    HandOffPayload payload = HandOffPayload::Message(request.data(), request.size(), true);
    if (reply == HandOffReply::Awaited) payload.waiter = &waiter_;
    StartReceiving(payload, timeoutMs);
}

void CHandOffReceiver::StartReceiving(const HandOffPayload &payload, DWORD timeoutMs) {
    // Refused before anything is made; the block must not come first.
    InstanceNames(windowName_.c_str(), className_.c_str()).RefuseEmpty();
    // A null notice window posts to this thread, which needs a message queue for it: the
    // system makes one at a thread's first call of a window function, and this thread may
    // have made none (the window is made on the receiving thread).
    MSG none;
    PeekMessageA(&none, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    textsWait_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    closing_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    const UniqueHandle checked(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ThreadStart start = {this, payload, timeoutMs, checked.get(), nullptr};
    if (textsWait_ && closing_ && checked)  // GCOVR_EXCL_BR_LINE: no seam makes events fail
        thread_.reset(CreateThread(nullptr, 0, ReceivingThread, &start, 0, nullptr));
    // Out of the system's resources, as for memory.
    if (!thread_) throw std::bad_alloc();  // GCOVR_EXCL_BR_LINE: no seam makes CreateThread fail
    // The thread's waits are bounded by timeoutMs, or by nothing when the caller asked so.
    WaitForSingleObject(checked.get(), INFINITE);
    if (start.error || outcome_ != HandOffOutcome::FirstInstance) {
        // A later instance's thread, or a failed one, ends now.
        WaitForSingleObject(thread_.get(), INFINITE);
        thread_.reset();
        if (start.error) std::rethrow_exception(start.error);
    }
}

DWORD WINAPI CHandOffReceiver::ReceivingThread(void *parameter) {
    ThreadStart &start = *static_cast<ThreadStart *>(parameter);
    CHandOffReceiver *receiver = start.receiver;
    const InstanceNames names(receiver->windowName_.c_str(), receiver->className_.c_str());
    std::optional<HandOffBlock> block;
    try {
        // Opened before the check, which takes its lock before the instance mutex.
        block.emplace(names.BlockName().c_str());
        const CheckResult checked =
            CheckWithBlock(names, start.payload, start.timeoutMs, *block, receiver->instanceMutex_, true);
        receiver->outcome_ = checked.outcome;
        // Still under the lock of the decision: a sender that finds the owner alive finds the window.
        if (checked.outcome == HandOffOutcome::FirstInstance) receiver->MakeWindow(*block);
    } catch (...) {
        start.error = std::current_exception();
    }
    const bool receive = !start.error && receiver->outcome_ == HandOffOutcome::FirstInstance;
    SetEvent(start.checked);  // `start` is gone from here on
    if (receive) receiver->ReceiveUntilClosed(*block);
    return 0;
}

// Makes the window and empties the block, under the block's lock. A text found there is not
// taken: no receiver leaves one for a later receiver, and whoever left it was not told it was.
void CHandOffReceiver::MakeWindow(HandOffBlock &block) {
    const char *windowClass = className_.empty() ? kHandOffReceiverClass : className_.c_str();
    WNDCLASSA registration = {};
    registration.lpfnWndProc = WindowProcedure;
    registration.hInstance = GetModuleHandleA(nullptr);
    registration.lpszClassName = windowClass;
    RegisterClassA(&registration);  // fails when registered already; the window shows whose it is

    const HWND window = CreateWindowExA(0, windowClass, windowName_.c_str(), WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                        nullptr, registration.hInstance, this);
    if (GetWindowLongPtrA(window, GWLP_USERDATA) != reinterpret_cast<LONG_PTR>(this)) {
        // No window, or one of a class that the caller registered with its own procedure.
        // The mutex is given up under the lock and the block left as it is.
        DestroyWindow(window);
        ReleaseMutex(instanceMutex_.get());
        throw Exception(kNoWindowText);
    }
    block.Clear();
    window_ = window;
}

// ---- receiving ----

// The receiving thread's loop: it answers every message at once, until Close.
void CHandOffReceiver::ReceiveUntilClosed(HandOffBlock &block) {
    for (;;) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
        const HANDLE closing = closing_.get();
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
    ReleaseMutex(instanceMutex_.get());
}

// Runs inside the system's message dispatch: nothing may throw out of it.
LRESULT CALLBACK CHandOffReceiver::WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto *creation = reinterpret_cast<const CREATESTRUCTA *>(lParam);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(creation->lpCreateParams));
    } else if (message == WM_COPYDATA) {
        // Null for a window that someone else made with this class.
        auto *receiver = reinterpret_cast<CHandOffReceiver *>(GetWindowLongPtrA(window, GWLP_USERDATA));
        const auto *copied = reinterpret_cast<const COPYDATASTRUCT *>(lParam);
        if (!receiver || !copied) return FALSE;
        const bool isText = IsHandOffMessage(copied->lpData, copied->cbData);
        if (!isText && !(receiver->takesRequests_ && IsHandOffRequest(copied->lpData, copied->cbData))) return FALSE;
        return receiver->Keep(copied->lpData, copied->cbData, !isText, copied->dwData) ? TRUE : FALSE;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

bool CHandOffReceiver::Keep(const void *bytes, size_t size, bool isRequest, ULONG_PTR ticket) noexcept {
    ExclusiveGuard guard(itemsLock_);
    if (items_.size() >= kMaxWaitingTexts || size > kMaxWaitingBytes - waitingBytes_) return false;
    // Copied first: once the ticket is marked taken, keeping it cannot fail.
    std::list<Item> item;
    try {
        std::unique_ptr<char[]> copy(new char[size]);
        std::memcpy(copy.get(), bytes, size);
        item.push_back(Item{std::move(copy), size, isRequest, nullptr});
    } catch (...) {
        return false;  // out of memory: this one is dropped, the receiver goes on
    }
    // Claimed before the ticket is taken: a sender told HandedOff then finds it owed.
    if (isRequest) item.front().wayBack = HandOffWayBack::Claim(ticket);
    if (!TakeTicket(ticket)) {
        if (item.front().wayBack) item.front().wayBack->Unclaim();
        return false;
    }
    items_.splice(items_.end(), item);
    waitingBytes_ += size;
    if (items_.size() == 1) {
        SetEvent(textsWait_.get());
        NotifyLocked();
    }
    return true;
}

// ---- what the program takes ----

// With itemsLock_ held and an item waiting.
CHandOffReceiver::Item CHandOffReceiver::PopOldestLocked() {
    Item oldest = std::move(items_.front());
    items_.pop_front();
    waitingBytes_ -= oldest.size;
    if (items_.empty()) ResetEvent(textsWait_.get());
    return oldest;
}

char *CHandOffReceiver::TakeText() {
    ExclusiveGuard guard(itemsLock_);
    if (items_.empty() || items_.front().isRequest) return nullptr;
    return PopOldestLocked().bytes.release();
}

std::unique_ptr<CHandOffRequest> CHandOffReceiver::TakeRequest() {
    ExclusiveGuard guard(itemsLock_);
    if (items_.empty()) return nullptr;
    // Made before the item leaves the queue: out of memory, it stays there.
    std::unique_ptr<CHandOffRequest> request =
        RequestOf(items_.front().bytes.get(), items_.front().size, items_.front().isRequest);
    request->wayBack_ = PopOldestLocked().wayBack;
    return request;
}

HandOffAnswer CHandOffReceiver::WaitForAnswer(DWORD timeoutMs) {
    return waiter_ ? waiter_->Wait(timeoutMs) : HandOffAnswer();
}

void CHandOffReceiver::WhenDropped(DroppedHandler handler, void *context) {
    ExclusiveGuard guard(itemsLock_);
    droppedHandler_ = handler;
    droppedContext_ = context;
}

void CHandOffReceiver::PostWhenTextWaits(HWND window, UINT message) {
    ExclusiveGuard guard(itemsLock_);
    noticeWindow_ = window;
    noticeMessage_ = message;
    if (!items_.empty()) NotifyLocked();
}

// With itemsLock_ held.
void CHandOffReceiver::NotifyLocked() {
    if (!noticeMessage_) return;
    if (noticeWindow_)
        PostMessageA(noticeWindow_, noticeMessage_, 0, 0);
    else
        PostThreadMessageA(ownerThread_, noticeMessage_, 0, 0);
}

// ---- the end ----

CHandOffReceiver::~CHandOffReceiver() {
    Close();
    PassOnWaiting();
}

void CHandOffReceiver::Close() {
    ExclusiveGuard once(closeLock_);
    if (thread_) {
        SetEvent(closing_.get());
        WaitForSingleObject(thread_.get(), INFINITE);  // its waits are bounded
        thread_.reset();
    }
    // The check's handle goes too; a check made since keeps its own.
    if (instanceMutex_) ForgetInstanceMutex(instanceMutex_.get());
    instanceMutex_.reset();
}

// What waits when the object goes, to the instance that runs next: one that a later
// program became when Close gave the instance up. What none takes in time is dropped.
void CHandOffReceiver::PassOnWaiting() {
    if (items_.empty()) return;
    const Deadline deadline(kCloseTimeoutMs);
    try {
        const InstanceNames names(windowName_.c_str(), className_.c_str());
        HandOffBlock block(names.BlockName().c_str());
        while (!items_.empty() && PassOn(items_.front(), names, block, deadline.RemainingMs())) items_.pop_front();
    } catch (...) {  // GCOVR_EXCL_LINE: the block cannot be had, or memory: what waits is dropped
    }
    for (const Item &item : items_) {
        if (droppedHandler_) {
            if (item.isRequest)
                droppedHandler_(droppedContext_, nullptr, RequestOf(item.bytes.get(), item.size, true).get());
            else
                droppedHandler_(droppedContext_, item.bytes.get(), nullptr);
        }
        if (item.wayBack) item.wayBack->Settle(kAnswerNotOpened);
    }
    items_.clear();
}

// True when the instance that runs now took the item.
bool CHandOffReceiver::PassOn(const Item &item, const InstanceNames &names, HandOffBlock &block, DWORD timeoutMs) {
    HandOffPayload payload = HandOffPayload::Message(item.bytes.get(), item.size, item.isRequest);
    if (item.wayBack) payload.passedOnTicket = item.wayBack->MessageData();
    UniqueHandle instanceMutex;
    const CheckResult checked = CheckWithBlock(names, payload, timeoutMs, block, instanceMutex, false);
    // No instance runs, and this one is going: the instance is given up under the lock.
    if (checked.outcome == HandOffOutcome::FirstInstance) ReleaseMutex(instanceMutex.get());
    if (checked.outcome != HandOffOutcome::HandedOff) return false;
    if (item.wayBack) item.wayBack->PassedOn();
    return true;
}

}  // namespace orvane
