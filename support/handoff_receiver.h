#pragma once

// The receiving end of the single-instance hand-off: it makes the check, owns the window that
// later instances find, and keeps each text or request handed to it until the program takes
// it. docs/handoff.md tells the rules in full.

#include "support/handoff_types.h"

#ifdef _WIN32
#include <windows.h>

#include <atomic>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "support/single_instance.h"

namespace orvane {

namespace handoff_detail {
class HandOffAnswerWaiter;
class HandOffBlock;
class HandOffWayBack;
struct HandOffPayload;
struct InstanceNames;
}  // namespace handoff_detail

// A later instance's request as TakeRequest gives it, every UTF-16 unit as it was sent. A text
// comes as one argument, converted from the ANSI code page, with an empty working directory.
// Copies share the way back to a later instance that waits for the answer.
struct CHandOffRequest {
    // The most UTF-16 units of an answer's message.
    static const size_t kMaxAnswerUnits = HandOffAnswer::kMaxMessageUnits;

    std::wstring WorkingDirectory;
    std::vector<std::wstring> Arguments;

    // Whether a later instance asked for an answer and still waits for it.
    bool AnswerAwaited() const;
    // Gives the waiting later instance `status` and the first kMaxAnswerUnits units of
    // `message` (one fewer where a surrogate pair would be split), once, from any thread.
    // Never throws or waits. True when it still waited; false otherwise. A request whose
    // last copy goes unanswered tells it FinishedUnanswered.
    bool Answer(DWORD status, const std::wstring &message);

private:
    friend class CHandOffReceiver;  // gives a taken request its way back
    std::shared_ptr<handoff_detail::HandOffWayBack> wayBack_;
};

// The receiving end, on a thread of its own from the constructor until Close or the destructor.
// Every member may be called from any thread.
class CHandOffReceiver {
public:
    // The most messages that wait, requests as well as texts.
    static const size_t kMaxWaitingTexts = 1024;
    // The most bytes of messages that wait: a text's with its NUL, a request's whole; the
    // product fits an int. NOLINTNEXTLINE(bugprone-implicit-widening-of-multiplication-result)
    static const size_t kMaxWaitingBytes = 8 * 1024 * 1024;
    static const DWORD kDefaultTimeoutMs = 10000;
    // The longest Close waits for the block's lock, and the destructor passes on in all.
    static const DWORD kCloseTimeoutMs = 2000;

    // Makes the check with `data` as TryHandOffToRunningInstance does, with its bound and its
    // exceptions; in the first instance it then makes its window and empties the block, and
    // throws Exception when the window cannot be made.
    CHandOffReceiver(const char *windowName, const char *className, const char *data,
                     DWORD timeoutMs = kDefaultTimeoutMs);
    // The same with a request (TryHandOffRequestToRunningInstance) as a later instance's data,
    // awaiting its answer when `reply` says so. A first instance takes requests as well as texts.
    CHandOffReceiver(const char *windowName, const char *className, int argumentCount, const wchar_t *const *arguments,
                     const wchar_t *workingDirectory = nullptr, DWORD timeoutMs = kDefaultTimeoutMs,
                     HandOffReply reply = HandOffReply::NotAwaited);
    // Close, then what still waits is passed on to the instance that runs next, or dropped.
    ~CHandOffReceiver();
    CHandOffReceiver(const CHandOffReceiver &) = delete;
    CHandOffReceiver &operator=(const CHandOffReceiver &) = delete;

    // False in a later instance; Outcome says what became of its data.
    bool IsFirstInstance() const { return outcome_ == HandOffOutcome::FirstInstance; }
    HandOffOutcome Outcome() const { return outcome_; }
    // In a later instance made with HandOffReply::Awaited, waits at most `timeoutMs` for the
    // answer; NoAnswerWillCome at once otherwise. Once ended, each call gives the same.
    HandOffAnswer WaitForAnswer(DWORD timeoutMs);
    // Gives up the window and the instance under the block's lock: the next program to check
    // is the first instance. What was handed over so far still waits to be taken.
    void Close();
    // The oldest text, for the caller to delete[]; null when none waits or the oldest is a request.
    char *TakeText();
    // The oldest text or request, as a request; null when none waits.
    std::unique_ptr<CHandOffRequest> TakeRequest();
    // What the destructor passes on to no instance goes to `handler`, one call each, in order:
    // `text` for a text, else `request`. Null: dropped.
    using DroppedHandler = void (*)(void *context, const char *text, const CHandOffRequest *request);
    void WhenDropped(DroppedHandler handler, void *context);
    // Posts `message` to `window` (null: to the thread that made the object) when a text comes
    // while none waits, and at once when some wait. Message 0 stops the notices.
    void PostWhenTextWaits(HWND window, UINT message);
    // A manual-reset event, signalled while texts or requests wait; the object owns it.
    HANDLE TextWaitsEvent() const { return textsWait_.get(); }
    // The receiving window; null in a later instance and after Close.
    HWND Window() const { return window_; }

private:
    // A message as it came: a text's bytes with its NUL, or a request's.
    struct Item {
        std::unique_ptr<char[]> bytes;
        size_t size;
        bool isRequest;
        std::shared_ptr<handoff_detail::HandOffWayBack> wayBack;  // a request whose later instance waits
    };
    struct ThreadStart;

    void StartReceiving(const handoff_detail::HandOffPayload &payload, DWORD timeoutMs);
    static DWORD WINAPI ReceivingThread(void *start);
    void MakeWindow(handoff_detail::HandOffBlock &block);
    void ReceiveUntilClosed(handoff_detail::HandOffBlock &block);
    static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    bool Keep(const void *bytes, size_t size, bool isRequest, ULONG_PTR ticket) noexcept;
    Item PopOldestLocked();
    void NotifyLocked();
    void PassOnWaiting();
    bool PassOn(const Item &item, const handoff_detail::InstanceNames &names, handoff_detail::HandOffBlock &block,
                DWORD timeoutMs);

    handoff_detail::UniqueHandle instanceMutex_;
    handoff_detail::UniqueHandle textsWait_;
    handoff_detail::UniqueHandle closing_;
    handoff_detail::UniqueHandle thread_;
    const std::string windowName_;
    const std::string className_;
    HandOffOutcome outcome_ = HandOffOutcome::FirstInstance;
    bool takesRequests_ = false;
    std::atomic<HWND> window_{nullptr};
    const DWORD ownerThread_;
    SRWLOCK closeLock_ = SRWLOCK_INIT;
    // Guards the items and the notice.
    SRWLOCK itemsLock_ = SRWLOCK_INIT;
    std::list<Item> items_;
    size_t waitingBytes_ = 0;  // of the items, as kMaxWaitingBytes counts them
    HWND noticeWindow_ = nullptr;
    UINT noticeMessage_ = 0;
    DroppedHandler droppedHandler_ = nullptr;
    void *droppedContext_ = nullptr;
    // A later instance's wait for its answer.
    std::unique_ptr<handoff_detail::HandOffAnswerWaiter> waiter_;
};

}  // namespace orvane
#endif

// Global as well, unless the caller defines ORVANE_NO_GLOBAL_NAMES.
#ifndef ORVANE_NO_GLOBAL_NAMES
#ifdef _WIN32
using orvane::CHandOffReceiver;
using orvane::CHandOffRequest;
#endif
#endif
