#include "support/handoff_block.h"

#include <string>

#include "framework/exception.h"

namespace orvane::handoff_detail {

HandOffBlock::HandOffBlock(const char *name) {
    const std::string mutexName = std::string("mtx") + name;
    // The mapping is created under the mutex when the mutex is new, as CMemMapFile does.
    mutex_.reset(CreateMutexA(nullptr, TRUE, mutexName.c_str()));
    // A block without its lock would be written unguarded: refused, before the block is made
    // (a name the platform takes for the mapping but not for its longer mutex name).
    if (!mutex_) throw Exception(kMappingFailedText);
    const bool ownsMutex = GetLastError() != ERROR_ALREADY_EXISTS;
    mapping_.reset(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | SEC_COMMIT, 0, kSize, name));
    if (ownsMutex) ReleaseMutex(mutex_.get());
    if (!mapping_) throw Exception(kMappingFailedText);
    view_.reset(static_cast<char *>(MapViewOfFile(mapping_.get(), FILE_MAP_ALL_ACCESS, 0, 0, 0)));
}

bool HandOffBlock::Lock(DWORD timeoutMs) {
    const DWORD wait = WaitForSingleObject(mutex_.get(), timeoutMs);
    if (wait == WAIT_ABANDONED) Clear();
    return wait == WAIT_OBJECT_0 || wait == WAIT_ABANDONED;
}

}  // namespace orvane::handoff_detail
