#pragma once

// A block of named shared memory backed by the paging file, guarded by a named
// mutex, so that several processes can read and write it one at a time.

#include <windows.h>

namespace orvane {

// CMemMapFile<char>: the block `name` together with the mutex "mtx" + `name`.
//
// The constructor creates the mutex with initial ownership and then creates or
// opens the file mapping under that ownership:
// - when the mapping does not exist yet, it is created with the size
//   sizeHigh:sizeLow, zero-filled, and *createdNew becomes true;
// - when it exists already, it is opened (the size given here is ignored) and
//   *createdNew becomes false;
// - when the mapping cannot be created or opened (for example because `name` is
//   taken by a kernel object of another kind, such as a mutex, or is longer than
//   the platform's limit for object names), the constructor throws Exception
//   with a Shift-JIS text; before it does, it gives up the mutex if this call
//   owns it and closes it, so no holder is left owning the mutex.
// The constructor does not wait for a mutex that exists already.
//
// Callers bracket each access to the view with Lock and Unlock. The block lives
// as long as any process keeps an object for its name. One object must not be
// used by several threads at once (GetView maps lazily without a guard).
//
// The fields are the object's own handles and texts; callers may read them but
// must not change or release them.
template <typename T>
class CMemMapFile {
public:
    // `name` must be a text (not null). `createdNew` may be null when the caller
    // does not want the report.
    CMemMapFile(const char *name, DWORD sizeHigh, DWORD sizeLow, bool *createdNew);
    // Under the lock: unmaps the view and closes the mapping; then closes the mutex.
    ~CMemMapFile();
    CMemMapFile(const CMemMapFile &) = delete;
    CMemMapFile &operator=(const CMemMapFile &) = delete;

    // Waits without a time limit. Gives WAIT_OBJECT_0, or WAIT_ABANDONED when the
    // last holder ended while it held the lock (the caller holds it all the same),
    // or WAIT_FAILED when the mutex could not be created.
    DWORD Lock();
    // ReleaseMutex: FALSE when this thread does not hold the lock.
    BOOL Unlock();
    // Maps the whole block on first use and returns the same address from then
    // on; null when mapping fails (the next call tries again). Takes no lock.
    T *GetView();

    HANDLE Mapping;   // the file mapping named `name`
    T *View;          // this process's view; null until GetView succeeds
    HANDLE Mutex;     // the mutex named MutexName
    char *MutexName;  // "mtx" + name, in an array of strlen(name) + 4 bytes
};

extern template class CMemMapFile<char>;

}  // namespace orvane

// Global as well, unless the caller defines ORVANE_NO_GLOBAL_NAMES.
#ifndef ORVANE_NO_GLOBAL_NAMES
using orvane::CMemMapFile;
#endif
