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
#include "framework/exception.h"
#include "support/handoff_steps.h"
#include "support/single_instance.h"

namespace {

// "引き渡しを受けるウィンドウを作成できません"
const char kNoWindowText[] =
    "\x88\xf8\x82\xab\x93\x6e\x82\xb5\x82\xf0\x8e\xf3\x82\xaf\x82\xe9\x83\x45\x83\x42\x83\x93\x83\x68\x83\x45\x82\xf0"
    "\x8d\xec\x90\xac\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1";
}  // namespace

void CHandOffReceiver::InstanceMutexHold::Close() {
    if (!handle) return;
    ReleaseMutex(handle);  // refused in a later instance, which never owned it
    CloseHandle(handle);
    if (InstanceMutex == handle) InstanceMutex = nullptr;
    handle = nullptr;
}

// What the window is made of, handed through the check.
struct CHandOffReceiver::Names {
    CHandOffReceiver *self;
    const char *windowName;
    const char *className;
};

CHandOffReceiver::CHandOffReceiver(const char *windowName, const char *className, const char *data,
                                   DWORD timeoutMs) {
    if (!windowName) windowName = "";
    if (!className) className = "";
    // Refused by the check before it creates anything; the block must not come first.
    // GCOVR_EXCL_BR_START: for two empty names the check throws, so its call never returns here
    if (!*windowName && !*className) HandOffToRunningInstance(windowName, className, data);
    // GCOVR_EXCL_BR_STOP

    // Open before the check: a later instance may write it at any moment after the check,
    // and the block lives only while someone holds it.
    char blockName[sizeof SharedDataName];
    ComposeSharedDataName(windowName, className, blockName);
    block_.emplace(blockName, 0, kBlockSize, nullptr);
    Names names = {this, windowName, className};
    outcome_ = HandOffWithBlock(windowName, className, data, timeoutMs, *block_, BecomeFirst, &names);
    if (outcome_ != HandOffOutcome::FirstInstance) {
        instanceMutex_.handle = InstanceMutex;
        block_.reset();
    }
}

// Runs under the block's lock, as the check decided: a sender that finds the instance's
// owner alive also finds this window, and one that came before left its text in the block.
void CHandOffReceiver::BecomeFirst(void *names, char *view) {
    const auto &made = *static_cast<const Names *>(names);
    CHandOffReceiver *self = made.self;
    self->instanceMutex_.handle = InstanceMutex;
    const char *windowClass = *made.className ? made.className : kHandOffReceiverClass;
    WNDCLASSA registration = {};
    registration.lpfnWndProc = WindowProcedure;
    registration.hInstance = GetModuleHandleA(nullptr);
    registration.lpszClassName = windowClass;
    RegisterClassA(&registration);  // fails when registered already; the window shows whose it is

    self->window_ = CreateWindowExA(0, windowClass, made.windowName, WS_OVERLAPPED, 0, 0, 0, 0, nullptr, nullptr,
                                    registration.hInstance, self);
    if (GetWindowLongPtrA(self->window_, GWLP_USERDATA) != reinterpret_cast<LONG_PTR>(self)) {
        // No window, or one of a class that the caller registered with its own procedure.
        // The mutex is given up under the lock and the block left as it is, so the text
        // waiting there is the next first instance's.
        DestroyWindow(self->window_);
        self->window_ = nullptr;
        ReleaseMutex(self->instanceMutex_.handle);
        throw Exception(kNoWindowText);
    }
    // When this runs elevated, senders at a lower integrity level may still hand off.
    ChangeWindowMessageFilterEx(self->window_, WM_COPYDATA, MSGFLT_ALLOW, nullptr);
    if (view) {  // GCOVR_EXCL_BR_LINE: null only when MapViewOfFile fails, which no seam reaches
        if (const size_t length = HandOffBlockTextLength(view, kBlockSize)) self->Keep(view, length);
        view[0] = '\0';
    }
}

CHandOffReceiver::~CHandOffReceiver() { Close(); }

void CHandOffReceiver::Close() {
    if (!window_) return;
    {
        // Window and mutex go together under the lock, and the block is emptied: a sender
        // then either finds both (and its text comes by message) or neither (and it is the
        // first instance, or hands off to the one that is).
        EmptyingBlockLock lock(*block_);
        DestroyWindow(window_);
        window_ = nullptr;
        ClearBlock(*block_);
        ReleaseMutex(instanceMutex_.handle);
    }
    instanceMutex_.Close();
    block_.reset();
}

char *CHandOffReceiver::TakeText() {
    if (texts_.empty()) return nullptr;
    char *text = texts_.front().release();
    texts_.pop_front();
    return text;
}

void CHandOffReceiver::PostWhenTextWaits(HWND window, UINT message) {
    noticeWindow_ = window;
    noticeMessage_ = message;
    if (noticeMessage_ && !texts_.empty()) PostMessageA(noticeWindow_, noticeMessage_, 0, 0);
}

bool CHandOffReceiver::Keep(const char *text, size_t length) noexcept {
    if (texts_.size() >= kMaxWaitingTexts) return false;
    try {
        std::unique_ptr<char[]> copy(new char[length + 1]);
        std::memcpy(copy.get(), text, length);
        copy[length] = '\0';
        texts_.push_back(std::move(copy));
    } catch (...) {
        return false;  // out of memory: this text is dropped, the receiver goes on
    }
    if (noticeMessage_ && texts_.size() == 1) PostMessageA(noticeWindow_, noticeMessage_, 0, 0);
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
