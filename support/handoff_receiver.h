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

#include <deque>
#include <memory>
#include <optional>

#include "support/shared_memory.h"
#include "support/single_instance.h"

// The constructor opens (or creates) the shared block of these names and holds it, then
// makes the check with `data` as TryHandOffToRunningInstance does, waiting at most
// `timeoutMs` for a running instance, and throws what it throws (Exception: both names
// empty, before anything is created; the block cannot be had; in a later instance, `data`
// longer than 1023 characters).
//
// In the first instance (also one that takes over from an instance that closed or died) it
// then, under the block's lock, creates a hidden top-level window with these names (no
// class name: a class of this library's own; no window name: an empty title), takes a
// text left in the block as the first text (the block holds one: the last one left there)
// and clears the block. When the window cannot be made, also when this process registered
// a class of that name with a procedure of its own, it throws Exception and leaves the
// block as it was, for the next first instance: the caller's own windows must carry other
// names. The window, the block and the instance mutex are held until Close or the object
// goes; then the next program to check is the first instance.
//
// Each WM_COPYDATA that is a hand-off (IsHandOffMessage) becomes one text, in order of
// arrival, and is answered TRUE: the sender is told it was taken. Any other is answered
// FALSE and gives nothing, as does a hand-off that comes while kMaxWaitingTexts texts wait
// (the newest are dropped) or that cannot be copied for want of memory.
//
// No text is taken twice from senders of this library: they decide and find the window
// while they hold the block's lock, under which the window appears and the block is read,
// and the window and the instance go together. A sender of an earlier release finds the
// window after the lock: when it wrote the block just before the window appeared, its text
// comes twice.
//
// Messages reach the window only while the thread that made the object dispatches them.
// Use the object on that thread alone, and let it go there.
class CHandOffReceiver {
public:
    static const size_t kMaxWaitingTexts = 256;
    static const DWORD kDefaultTimeoutMs = 10000;

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
    // Gives up the window and the instance: from now on the next program to check is the
    // first instance, and texts handed to this one so far wait for TakeText. Call it before
    // taking the last texts when the program ends, so that none handed over meanwhile is lost.
    void Close();
    // The oldest text not yet taken, as a new text the caller releases with delete[];
    // null when none waits.
    char *TakeText();
    // From now on posts `message` (wParam and lParam 0) to `window` whenever a text arrives
    // while none waits, and at once when texts wait already; take texts until TakeText
    // gives null. A null window gets it as a thread message of the object's thread.
    // Message 0 stops the notices.
    void PostWhenTextWaits(HWND window, UINT message);
    // The receiving window; null in a later instance and after Close.
    HWND Window() const { return window_; }

private:
    // The instance mutex of the check, closed when the object goes.
    class InstanceMutexHold {
    public:
        InstanceMutexHold() = default;
        ~InstanceMutexHold() { Close(); }
        void Close();
        InstanceMutexHold(const InstanceMutexHold &) = delete;
        InstanceMutexHold &operator=(const InstanceMutexHold &) = delete;
        HANDLE handle = nullptr;
    };

    struct Names;
    static void BecomeFirst(void *names, char *view);
    static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    bool Keep(const char *text, size_t length) noexcept;

    InstanceMutexHold instanceMutex_;
    std::optional<CMemMapFile<char>> block_;
    HandOffOutcome outcome_ = HandOffOutcome::FirstInstance;
    HWND window_ = nullptr;
    std::deque<std::unique_ptr<char[]>> texts_;
    HWND noticeWindow_ = nullptr;
    UINT noticeMessage_ = 0;
};
#endif
