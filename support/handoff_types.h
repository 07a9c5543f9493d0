#pragma once

// What the hand-off's parts share with its callers: the shapes of a message, the request's
// tag and limits, the outcome of a check, and the types of a later instance's reply and answer. docs/handoff.md
// tells the whole hand-off.

#include <cstddef>

namespace orvane {

// The shape checks read only the `size` bytes at `data` and use no Windows API.
// A text: 1 to 1024 bytes whose only NUL is the last.
bool IsHandOffMessage(const void *data, size_t size);
// A request: kHandOffRequestTag, the number of arguments (32 bits, little-endian), then the
// working directory and each argument in UTF-16LE, each ended by a 0 unit, nothing after.
constexpr char kHandOffRequestTag[4] = {'\0', 'R', 'Q', '\1'};
// The most UTF-16 units of a request's arguments, one terminator each counted; the working
// directory may have one fewer.
constexpr size_t kMaxRequestUnits = 32768;
bool IsHandOffRequest(const void *data, size_t size);
// The length of the text at the start of a shared block of `size` bytes (the first 1024 are
// looked at); 0 when no NUL ends it there, or `block` is null.
size_t HandOffBlockTextLength(const char *block, size_t size);

}  // namespace orvane

#ifdef _WIN32
#include <windows.h>

#include <memory>
#include <string>

namespace orvane {

namespace handoff_detail {
struct HandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
// A kernel handle, closed when its owner goes: the one owner of the hand-off's handles,
// CHandOffReceiver's among them.
using UniqueHandle = std::unique_ptr<void, HandleCloser>;
}  // namespace handoff_detail

// What became of a check's data. "Taken" means kept by the running instance's CHandOffReceiver.
enum class HandOffOutcome {
    FirstInstance,  // this thread owns the instance mutex; nothing was handed over
    HandedOff,      // taken: the document opens there
    Refused,        // answered, not taken (the receiver's limits, or a form it does not take)
    NotResponding,  // no answer within the bound, and not taken
    NoWindow,       // the running instance has no window of these names, also after kNoWindowWaitMs
    BlockBusy,      // the block's lock was not had within the bound; nothing was handed over
};

// Whether a later instance that hands over a request waits for its answer.
enum class HandOffReply { NotAwaited, Awaited };

// How a later instance's wait for its answer ended.
enum class HandOffAnswerOutcome {
    Answered,            // Status and Message hold the answer
    FinishedUnanswered,  // the running program let the request go without answering it
    NotOpened,           // dropped when the running program ended
    InstanceEnded,       // the instance that held the request ended without answering
    NoAnswerWillCome,    // not handed over, or to a receiver that gives no answers
    TimedOut,            // the bound ran out first
};
struct HandOffAnswer {
    static const size_t kMaxMessageUnits = 4096;

    HandOffAnswerOutcome Outcome = HandOffAnswerOutcome::NoAnswerWillCome;
    DWORD Status = 0;      // when Answered
    std::wstring Message;  // when Answered: every UTF-16 unit, at most kMaxMessageUnits
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
using orvane::HandOffAnswer;
using orvane::HandOffAnswerOutcome;
using orvane::HandOffOutcome;
using orvane::HandOffReply;
#endif
#endif
