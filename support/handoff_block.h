#pragma once

// The shared block of the hand-off and its bounded lock; not installed.

#include <windows.h>

namespace orvane::handoff_detail {

// The shared block of the hand-off: the same kernel objects as CMemMapFile<char> (the
// mapping `name` and the mutex "mtx" + `name`, created under that mutex when it is new),
// but every wait for its lock has a bound, and nothing waits when the object goes:
// CMemMapFile's lock, also in its destructor, waits without a limit.
class HandOffBlock {
public:
    static const DWORD kSize = 1024;

    // Throws Exception (the mapping-failure text of CMemMapFile) when the block cannot be had.
    explicit HandOffBlock(const char *name);
    ~HandOffBlock();
    HandOffBlock(const HandOffBlock &) = delete;
    HandOffBlock &operator=(const HandOffBlock &) = delete;

    // Waits at most `timeoutMs` (INFINITE: without a limit); false when the lock was not had.
    // A holder that ended while it held the lock may have left a text half written: the
    // block is emptied then, so that nobody takes it.
    bool Lock(DWORD timeoutMs);
    void Unlock() { ReleaseMutex(mutex_); }
    // Mapped once, when the object is made; null when that failed.
    char *View() const { return view_; }
    // Empties the text at the start of the block.
    void Clear() {
        if (view_) view_[0] = '\0';  // GCOVR_EXCL_BR_LINE: null only when MapViewOfFile fails, which no seam reaches
    }

private:
    HANDLE mutex_ = nullptr;
    HANDLE mapping_ = nullptr;
    char *view_ = nullptr;
};

// The block's lock for a scope, waited for at most `timeoutMs`; Held() says whether it was had.
class BlockLock {
public:
    BlockLock(HandOffBlock &block, DWORD timeoutMs) : block_(block), held_(block.Lock(timeoutMs)) {}
    ~BlockLock() { Release(); }
    BlockLock(const BlockLock &) = delete;
    BlockLock &operator=(const BlockLock &) = delete;
    bool Held() const { return held_; }
    void Release() {
        if (held_) block_.Unlock();
        held_ = false;
    }

private:
    HandOffBlock &block_;
    bool held_;
};

}  // namespace orvane::handoff_detail
