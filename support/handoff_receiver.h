#pragma once

// The receiving end of the single-instance hand-off (single_instance.h): makes the check,
// owns the window that later instances find, and keeps each text handed to it until the
// caller takes it.

#include <cstddef>

namespace orvane {

// The shapes a hand-off may take, checked before any byte becomes a text; they use no
// Windows API. Both read only the bytes they are given.
//
// The data of a WM_COPYDATA is a hand-off when `data` is not null, `size` is 1 to 1024
// and its only NUL is its last byte; the text is then its first size - 1 bytes (empty for
// a single NUL).
bool IsHandOffMessage(const void *data, size_t size);
// The data of a WM_COPYDATA is a request (TryHandOffRequestToRunningInstance) when it is the
// 4 bytes of kHandOffRequestTag, the number of arguments (32 bits, little-endian), and then
// UTF-16LE units: the working directory and each argument, each ended by a 0 unit, with
// nothing after the last; the arguments at most kMaxRequestUnits units, terminators
// included, the directory at most kMaxRequestUnits - 1. The tag's first byte is a NUL, so a
// receiver that takes texts (also one of an earlier release) sees no text in it.
constexpr char kHandOffRequestTag[4] = {'\0', 'R', 'Q', '\1'};
constexpr size_t kMaxRequestUnits = 32768;
bool IsHandOffRequest(const void *data, size_t size);
// The length of the text at the start of a shared block of `size` bytes, of which the
// first 1024 are looked at: the bytes before the first NUL. 0 when there is no NUL among
// them or none before it, or when `block` is null: the block then holds no text.
size_t HandOffBlockTextLength(const char *block, size_t size);

}  // namespace orvane

#ifdef _WIN32
#include <windows.h>

#include <atomic>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "support/single_instance.h"

namespace orvane {

// The receiver's inner parts, not installed.
namespace handoff_detail {
class HandOffAnswerWaiter;
class HandOffBlock;
class HandOffWayBack;
struct HandOffPayload;
}  // namespace handoff_detail

// How a later instance's wait for the answer to its request ended (WaitForAnswer).
enum class HandOffAnswerOutcome {
    Answered,            // the running program answered: Status and Message
    FinishedUnanswered,  // the program let the request go without answering it
    NotOpened,           // dropped at the running program's end (WhenDropped, or no instance took it)
    InstanceEnded,       // the instance that held the request (the running one, or the one it passed it
                         // on to) ended or died without answering; learned when it happened
    NoAnswerWillCome,    // not handed over, or handed to a receiver that gives no answers (of 1.2.0 or
                         // earlier, or of another kind); learned at once
    TimedOut,            // the bound ran out first; an answer that comes later finds nobody waiting
};
struct HandOffAnswer {
    HandOffAnswerOutcome Outcome = HandOffAnswerOutcome::NoAnswerWillCome;
    DWORD Status = 0;      // the program's status, when Answered
    std::wstring Message;  // the program's message, every UTF-16 unit, when Answered
};

// A later instance's request, as CHandOffReceiver::TakeRequest gives it: every UTF-16 unit
// as the later instance had it. A text handed over (by TryHandOffToRunningInstance, or by a
// program of an earlier release) comes as one argument, converted from the ANSI code page,
// with an empty working directory.
//
// A request whose later instance waits for an answer (AnswerAwaited) carries its way back:
// Answer it once, from any thread, at once or much later (when the user closes the
// document). Copies share it. When the last copy goes unanswered, the later instance is
// told FinishedUnanswered.
struct CHandOffRequest {
    static const size_t kMaxAnswerUnits = 4096;

    std::wstring WorkingDirectory;
    std::vector<std::wstring> Arguments;

    // Whether a later instance asked for an answer and has not given up waiting yet.
    bool AnswerAwaited() const;
    // Gives the later instance `status` and `message`: its first kMaxAnswerUnits UTF-16 units
    // (one fewer where a surrogate pair would be split), so a message built from what another
    // program sent is safe to give. Never throws, never waits. True when the later instance
    // still waited; false when it had ended or given up (its bound ran out), when the
    // request was answered already, or when nobody asked for an answer.
    bool Answer(DWORD status, const std::wstring &message);

private:
    friend class CHandOffReceiver;
    std::shared_ptr<handoff_detail::HandOffWayBack> wayBack_;
};

// Whether a later instance that hands over a request will wait for its answer.
enum class HandOffReply { NotAwaited, Awaited };

// The receiving end lives on a thread of its own, from the constructor until Close or the
// destructor: its check, its window and the instance mutex it owns. So it answers later
// instances at once whatever the program's threads do (busy, blocked, dispatching nothing),
// and a later instance is told NotResponding only when that thread cannot run (the process
// is suspended or dying).
//
// The constructor makes the check with `data` on that thread, as TryHandOffToRunningInstance
// does, waiting at most `timeoutMs` for the block's lock and a running instance's answer,
// and throws what it throws (Exception: both names empty, before anything is created; the
// block cannot be had; in a later instance, `data` longer than 1023 bytes; in any instance,
// before the check, a request longer than TryHandOffRequestToRunningInstance takes).
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
// Each WM_COPYDATA that is a hand-off (IsHandOffMessage), or, for a receiver made with a
// request, a request (IsHandOffRequest), is kept, in order of arrival, and answered TRUE: the
// sender is told it was taken. Before it keeps one it marks the message's ticket taken
// (handoff_ticket.h); a message whose sender voided its ticket, its bound run out, is answered
// FALSE and gives nothing, as does any other message, one that comes while kMaxWaitingTexts
// wait or that would take the bytes waiting past kMaxWaitingBytes (the newest are dropped),
// and one that cannot be copied for want of memory.
//
// When the object goes it first gives up the window and the instance (Close), so that later
// instances decide again, and then passes what still waits on, in order, to the instance
// that runs next (waiting at most kCloseTimeoutMs in all): what no instance takes is given to
// the handler of WhenDropped, if one is set, and dropped. A program that must lose nothing
// calls Close and takes what waits before it ends.
//
// TakeText, TakeRequest, PostWhenTextWaits, TextWaitsEvent, Close and the destructor may be
// called from any thread.
class CHandOffReceiver {
public:
    static const size_t kMaxWaitingTexts = 1024;
    // The most bytes of messages that wait (a text's with its NUL, a request's whole); the
    // product fits an int. NOLINTNEXTLINE(bugprone-implicit-widening-of-multiplication-result)
    static const size_t kMaxWaitingBytes = 8 * 1024 * 1024;
    static const DWORD kDefaultTimeoutMs = 10000;
    // The longest Close waits for the block's lock, which another process may hold.
    static const DWORD kCloseTimeoutMs = 2000;

    CHandOffReceiver(const char *windowName, const char *className, const char *data,
                     DWORD timeoutMs = kDefaultTimeoutMs);
    // The same with a request (TryHandOffRequestToRunningInstance) as a later instance's data;
    // in the first instance it takes requests as well as texts (TakeRequest).
    CHandOffReceiver(const char *windowName, const char *className, int argumentCount, const wchar_t *const *arguments,
                     const wchar_t *workingDirectory = nullptr, DWORD timeoutMs = kDefaultTimeoutMs,
                     HandOffReply reply = HandOffReply::NotAwaited);
    // Close, then what waits is passed on, or dropped (see above).
    ~CHandOffReceiver();
    CHandOffReceiver(const CHandOffReceiver &) = delete;
    CHandOffReceiver &operator=(const CHandOffReceiver &) = delete;

    // false: this is a later instance; Outcome says what became of `data`.
    bool IsFirstInstance() const { return outcome_ == HandOffOutcome::FirstInstance; }
    // What the check came to (TryHandOffToRunningInstance).
    HandOffOutcome Outcome() const { return outcome_; }
    // In a later instance made with HandOffReply::Awaited: waits at most `timeoutMs`
    // (INFINITE: until one of the other outcomes) for the answer to its request, and for the
    // end of the instance that holds it. Every other case is NoAnswerWillCome, at once. Once
    // the wait has ended, each call gives the same; from TimedOut on nobody waits any more.
    HandOffAnswer WaitForAnswer(DWORD timeoutMs);
    // Gives up the window and the instance, under the block's lock (waited for at most
    // kCloseTimeoutMs): from now on the next program to check is the first instance, and
    // texts handed to this one so far wait for TakeText. Call it before taking the last texts
    // when the program ends, so that none handed over meanwhile is lost.
    void Close();
    // The oldest text not yet taken, as a new text the caller releases with delete[];
    // null when none waits, or when the oldest is a request.
    char *TakeText();
    // The oldest text or request not yet taken, as a request; null when none waits.
    std::unique_ptr<CHandOffRequest> TakeRequest();
    // What the destructor can pass on to no instance goes to `handler` on the destroying
    // thread, one call each, in order: `text` for a text, else `request`. Null: dropped.
    using DroppedHandler = void (*)(void *context, const char *text, const CHandOffRequest *request);
    void WhenDropped(DroppedHandler handler, void *context);
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

    // A text (its bytes without the NUL) or a request (its message), as it came.
    struct Item {
        std::unique_ptr<char[]> bytes;  // a text's with a NUL after them
        size_t size;
        bool request;
        std::shared_ptr<handoff_detail::HandOffWayBack> wayBack;  // a request whose later instance waits
    };

    struct Start;
    void Begin(handoff_detail::HandOffPayload &payload, DWORD timeoutMs);
    static DWORD WINAPI Run(void *start);
    static void BecomeFirst(void *start, handoff_detail::HandOffBlock &block, HANDLE instanceMutex);
    void Serve(handoff_detail::HandOffBlock &block);
    static LRESULT CALLBACK WindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    bool Keep(const void *bytes, size_t size, bool request, ULONG_PTR ticket) noexcept;
    void NotifyLocked();
    void PassOnWaiting();

    OwnedHandle instanceMutex_;
    OwnedHandle textsWait_;
    OwnedHandle closing_;
    OwnedHandle thread_;
    const std::string windowName_;
    const std::string className_;
    HandOffOutcome outcome_ = HandOffOutcome::FirstInstance;
    bool takesRequests_ = false;
    std::atomic<HWND> window_{nullptr};
    const DWORD ownerThread_;
    SRWLOCK closeLock_ = SRWLOCK_INIT;
    // Guards the texts and the notice.
    SRWLOCK textsLock_ = SRWLOCK_INIT;
    std::list<Item> items_;
    size_t waitingBytes_ = 0;  // of the messages in items_, as kMaxWaitingBytes counts them
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
using orvane::HandOffBlockTextLength;
using orvane::IsHandOffMessage;
using orvane::IsHandOffRequest;
using orvane::kHandOffRequestTag;
using orvane::kMaxRequestUnits;
#ifdef _WIN32
using orvane::CHandOffReceiver;
using orvane::CHandOffRequest;
using orvane::HandOffAnswer;
using orvane::HandOffAnswerOutcome;
using orvane::HandOffReply;
#endif
#endif
