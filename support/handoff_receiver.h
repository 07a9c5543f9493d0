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

// The constructor opens (or creates) the shared block of these names and holds it, then
// makes the check with `data` as HandOffToRunningInstance does, and throws what either
// throws (Exception: both names empty, before anything is created; the block cannot be
// had; in a later instance, `data` longer than 1023 characters).
//
// In the first instance it then at once creates a hidden top-level window with these
// names (no class name: a class of this library's own; no window name: an empty title)
// and takes a text left in the block before the window existed as the first text (the
// block holds one: the last one left there), and clears the block. It throws Exception
// when the window cannot be made, also when this process registered a class of that name
// with a procedure of its own: the caller's own windows must carry other names. The
// window, the block and the instance mutex are held until the object goes, which clears
// the block again; the next program to check is then the first instance.
//
// Each WM_COPYDATA that is a hand-off (IsHandOffMessage) becomes one text, in order of
// arrival, and is answered TRUE. Any other is answered FALSE and gives nothing, as does
// a hand-off that comes while kMaxWaitingTexts texts wait (the newest are dropped) or
// that cannot be copied for want of memory. Texts not taken when the object goes are lost.
//
// No text is taken twice from senders of this library: they find the window while they
// hold the block's lock, under which the window appears and the block is read. A sender
// of an earlier release finds the window after the lock: when it wrote the block just
// before the window appeared, its text comes twice.
//
// Messages reach the window only while the thread that made the object dispatches them.
// Use the object on that thread alone, and let it go there.
class CHandOffReceiver {
public:
    static const size_t kMaxWaitingTexts = 256;

    CHandOffReceiver(const char *windowName, const char *className, const char *data);
    ~CHandOffReceiver();
    CHandOffReceiver(const CHandOffReceiver &) = delete;
    CHandOffReceiver &operator=(const CHandOffReceiver &) = delete;

    // false: this is a later instance, and `data` was handed to the running one.
    bool IsFirstInstance() const { return window_ != nullptr; }
    // The oldest text not yet taken, as a new text the caller releases with delete[];
    // null when none waits.
    char *TakeText();
    // From now on posts `message` (wParam and lParam 0) to `window` whenever a text arrives
    // while none waits, and at once when texts wait already; take texts until TakeText
    // gives null. A null window gets it as a thread message of the object's thread.
    // Message 0 stops the notices.
    void PostWhenTextWaits(HWND window, UINT message);
    // The receiving window; null in a later instance.
    HWND Window() const { return window_; }

private:
    // The instance mutex of the check, closed when the object goes.
    class InstanceMutexHold {
    public:
        InstanceMutexHold() = default;
        ~InstanceMutexHold();
        InstanceMutexHold(const InstanceMutexHold &) = delete;
        InstanceMutexHold &operator=(const InstanceMutexHold &) = delete;
        HANDLE handle = nullptr;
    };

    static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    bool Keep(const char *text, size_t length) noexcept;

    InstanceMutexHold instanceMutex_;
    std::optional<CMemMapFile<char>> block_;
    HWND window_ = nullptr;
    std::deque<std::unique_ptr<char[]>> texts_;
    HWND noticeWindow_ = nullptr;
    UINT noticeMessage_ = 0;
};
#endif
