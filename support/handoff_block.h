#pragma once

// The shared block of the hand-off and its bounded lock; not installed.

#include <windows.h>

#include <memory>

#include "support/handoff_common.h"

namespace orvane::handoff_detail {

// The same kernel objects as CMemMapFile<char> (the mapping `name` and the mutex "mtx" +
// `name`), but every wait for the lock has a bound, and nothing waits when the object goes.
class HandOffBlock {
public:
    static const DWORD kSize = 1024;

    // Throws Exception (kMappingFailedText) when the block or its mutex cannot be had.
    explicit HandOffBlock(const char *name);
    HandOffBlock(const HandOffBlock &) = delete;  // a BlockLock refers to it where it is
    HandOffBlock &operator=(const HandOffBlock &) = delete;

    // Waits at most `timeoutMs` (INFINITE: without a limit); false when the lock was not had.
    // A holder that ended while it held the lock may have left a text half written: the
    // block is emptied then, so that nobody takes it.
    bool Lock(DWORD timeoutMs);
    void Unlock() { ReleaseMutex(mutex_.get()); }
    // Null only when the view could not be mapped.
    char *View() const { return view_.get(); }
    // Empties the text at the start of the block.
    void Clear() {
        // GCOVR_EXCL_BR_START: null only when MapViewOfFile fails, which no seam reaches
        if (view_) view_.get()[0] = '\0';
        // GCOVR_EXCL_BR_STOP
    }

private:
    UniqueHandle mutex_;
    UniqueHandle mapping_;
    std::unique_ptr<char, ViewUnmapper> view_;
};

// The block's lock for a scope, waited for at most `timeoutMs`; Held() says whether it was had.
class BlockLock {
public:
    BlockLock(HandOffBlock &block, DWORD timeoutMs) : block_(block), held_(block.Lock(timeoutMs)) {}
    BlockLock(BlockLock &&other) noexcept : block_(other.block_), held_(other.held_) { other.held_ = false; }
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
