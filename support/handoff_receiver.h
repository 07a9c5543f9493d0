#pragma once

// The receiving end of the single-instance hand-off (single_instance.h): makes the check,
// owns the window that later instances find, and keeps each text handed to it until the
// caller takes it.

#include <cstddef>

// The shapes a hand-off may take, checked before any byte becomes a text; they use no
// Windows API. Both read only the bytes they are given.
//
// The data of a WM_COPYDATA is a hand-off when `data` is not null, `size` is 1 to 1024
// and its only NUL is its last byte; the text is then its first size - 1 bytes (empty for
// a single NUL).
bool IsHandOffMessage(const void *data, size_t size);
// The length of the text at the start of a shared block of `size` bytes, of which the
// first 1024 are looked at: the bytes before the first NUL. 0 when there is no NUL among
// them or none before it, or when `block` is null: the block then holds no text.
size_t HandOffBlockTextLength(const char *block, size_t size);

#ifdef _WIN32
#include <windows.h>

#include <atomic>
#include <deque>
#include <memory>

#include "support/single_instance.h"

class HandOffBlock;

// The receiving end lives on a thread of its own, from the constructor until Close or the
// destructor: its check, its window and the instance mutex it owns. So it answers later
// instances at once whatever the program's threads do (busy, blocked, dispatching nothing),
// and a later instance is told NotResponding only when that thread cannot run (the process
// is suspended or dying).
//
// The constructor makes the check with `data` on that thread, as TryHandOffToRunningInstance
// does, waiting at most `timeoutMs` for the block's lock and a running instance's answer,
// and throws what it throws (Exception: both names empty, before anything is created; the
// block cannot be had; in a later instance, `data` longer than 1023 characters).
//
// In the first instance (also one that takes over from an instance that closed or died) it
// then, under the block's lock, creates a hidden top-level window with these names (no
// class name: a class of this library's own; no window name: an empty title) and empties
// the block: a text found there is not taken, since no receiver of this library leaves one
// for a later receiver, and whoever left it was not told it was taken. When the window
// cannot be made, also when this process registered a class of that name with a procedure
// of its own, it throws Exception and leaves the block as it was: the caller's own windows
// must carry other names. The window, the block and the instance mutex are held until Close
// or the object goes; then the next program to check is the first instance.
//
// Each WM_COPYDATA that is a hand-off (IsHandOffMessage) becomes one text, in order of
// arrival, and is answered TRUE: the sender is told it was taken. Any other is answered
// FALSE and gives nothing, as does a hand-off that comes while kMaxWaitingTexts texts wait
// (the newest are dropped) or that cannot be copied for want of memory.
//
// TakeText, PostWhenTextWaits, TextWaitsEvent, Close and the destructor may be called from
// any thread.
class CHandOffReceiver {
public:
    static const size_t kMaxWaitingTexts = 1024;
    static const DWORD kDefaultTimeoutMs = 10000;
    // The longest Close waits for the block's lock, which another process may hold.
    static const DWORD kCloseTimeoutMs = 2000;

    CHandOffReceiver(const char *windowName, const char *className, const char *data,
                     DWORD timeoutMs = kDefaultTimeoutMs);
    // Close, and the texts not taken are lost.
    ~CHandOffReceiver();
    CHandOffReceiver(const CHandOffReceiver &) = delete;
    CHandOffReceiver &operator=(const CHandOffReceiver &) = delete;

    // false: this is a later instance; Outcome says what became of `data`.
    bool IsFirstInstance() const { return outcome_ == HandOffOutcome::FirstInstance; }
    // What the check came to (TryHandOffToRunningInstance).
    HandOffOutcome Outcome() const { return outcome_; }
    // Gives up the window and the instance, under the block's lock (waited for at most
    // kCloseTimeoutMs): from now on the next program to check is the first instance, and
    // texts handed to this one so far wait for TakeText. Call it before taking the last texts
    // when the program ends, so that none handed over meanwhile is lost.
    void Close();
    // The oldest text not yet taken, as a new text the caller releases with delete[];
    // null when none waits.
    char *TakeText();
    // From now on posts `message` (wParam and lParam 0) to `window` whenever a text arrives
    // while none waits, and at once when texts wait already; take texts until TakeText
    // gives null. A null window gets it as a thread message of the thread that made the
    // object. Message 0 stops the notices.
    void PostWhenTextWaits(HWND window, UINT message);
    // A manual-reset event, signalled while texts wait, for a program without a message loop
    // (WaitForSingleObject, MsgWaitForMultipleObjects). The object owns it.
    HANDLE TextWaitsEvent() const { return textsWait_.handle; }
    // The receiving window; null in a later instance and after Close.
    HWND Window() const { return window_; }

private:
    // A handle closed when the object goes.
    struct OwnedHandle {
        OwnedHandle() = default;
        ~OwnedHandle() { Close(); }
        void Close();
        OwnedHandle(const OwnedHandle &) = delete;
        OwnedHandle &operator=(const OwnedHandle &) = delete;
        HANDLE handle = nullptr;
    };
    // An SRWLOCK held for a scope: it neither throws nor needs to be made or destroyed.
    class ExclusiveGuard;

    struct Start;
    static DWORD WINAPI Run(void *start);
    static void BecomeFirst(void *start, HandOffBlock &block);
    void Serve(HandOffBlock &block);
    static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    bool Keep(const char *text, size_t length) noexcept;
    void NotifyLocked();

    OwnedHandle instanceMutex_;
    OwnedHandle textsWait_;
    OwnedHandle closing_;
    OwnedHandle thread_;
    HandOffOutcome outcome_ = HandOffOutcome::FirstInstance;
    std::atomic<HWND> window_{nullptr};
    const DWORD ownerThread_;
    SRWLOCK closeLock_ = SRWLOCK_INIT;
    // Guards the texts and the notice.
    SRWLOCK textsLock_ = SRWLOCK_INIT;
    std::deque<std::unique_ptr<char[]>> texts_;
    HWND noticeWindow_ = nullptr;
    UINT noticeMessage_ = 0;
};
#endif
