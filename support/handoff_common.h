#pragma once

// The helpers every part of the hand-off uses: its error texts, the owner of a mapped view
// (UniqueHandle, the owner of a handle, is in handoff_types.h, for the receiver's members), a
// lock for a scope and the time left of a bound; not installed.

#include <windows.h>

#include <memory>

#include "support/handoff_types.h"

namespace orvane::handoff_detail {

// The texts of the Exception the hand-off throws (Shift-JIS).
extern const char kMappingFailedText[];  // CMemMapFile's: a block or a ticket cannot be had
extern const char kDataTooLongText[];    // a text or a request too long to go
extern const char kNoNamesText[];        // both names empty
extern const char kNoWindowText[];       // a receiver's window cannot be made

// A mapped view, unmapped when its owner goes.
struct ViewUnmapper {
    void operator()(const volatile void *view) const { UnmapViewOfFile(const_cast<void *>(view)); }
};

// An SRWLOCK held exclusively for a scope; it neither throws nor needs to be made or destroyed.
class ExclusiveGuard {
public:
    explicit ExclusiveGuard(SRWLOCK &lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~ExclusiveGuard() { ReleaseSRWLockExclusive(&lock_); }
    ExclusiveGuard(const ExclusiveGuard &) = delete;
    ExclusiveGuard &operator=(const ExclusiveGuard &) = delete;

private:
    SRWLOCK &lock_;
};

// The end of a bound that starts now; INFINITE has none.
class Deadline {
public:
    explicit Deadline(DWORD timeoutMs) : infinite_(timeoutMs == INFINITE), end_(GetTickCount64() + timeoutMs) {}
    bool Infinite() const { return infinite_; }
    // The time left, 0 once it has run out; INFINITE for an infinite bound.
    DWORD RemainingMs() const {
        if (infinite_) return INFINITE;
        const ULONGLONG now = GetTickCount64();
        return now >= end_ ? 0 : static_cast<DWORD>(end_ - now);
    }

private:
    bool infinite_;
    ULONGLONG end_;
};

}  // namespace orvane::handoff_detail
