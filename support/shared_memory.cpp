#include "support/shared_memory.h"

#include <cstring>
#include <memory>

#include "framework/exception.h"

namespace orvane {

namespace handoff_detail {
// "ファイルマッピングオブジェクトのハンドル取得に失敗"; the hand-off's own block gives it too.
extern const char kMappingFailedText[];
const char kMappingFailedText[] =
    "\x83\x74\x83\x40\x83\x43\x83\x8b\x83\x7d\x83\x62\x83\x73\x83\x93\x83\x4f\x83\x49\x83\x75\x83\x57\x83\x46"
    "\x83\x4e\x83\x67\x82\xcc\x83\x6e\x83\x93\x83\x68\x83\x8b\x8e\xe6\x93\xbe\x82\xc9\x8e\xb8\x94\x73";
}  // namespace handoff_detail

template <typename T>
CMemMapFile<T>::CMemMapFile(const char *name, DWORD sizeHigh, DWORD sizeLow, bool *createdNew)
    : Mapping(nullptr), View(nullptr), Mutex(nullptr), MutexName(nullptr) {
    const size_t nameLength = std::strlen(name);
    std::unique_ptr<char[]> mutexName(new char[nameLength + 4]);
    std::memcpy(mutexName.get(), "mtx", 3);
    std::memcpy(mutexName.get() + 3, name, nameLength + 1);

    // The mapping is created under the mutex when the mutex is new. A mutex that
    // exists already grants no initial ownership, and the constructor does not wait.
    Mutex = CreateMutexA(nullptr, TRUE, mutexName.get());
    const bool ownsMutex = Mutex != nullptr && GetLastError() != ERROR_ALREADY_EXISTS;

    Mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | SEC_COMMIT, sizeHigh, sizeLow, name);
    const DWORD mappingError = GetLastError();
    if (!Mapping) {
        // No destructor runs for this object: give the mutex back before leaving.
        if (ownsMutex) ReleaseMutex(Mutex);
        if (Mutex) CloseHandle(Mutex);
        Mutex = nullptr;
        throw Exception(handoff_detail::kMappingFailedText);
    }
    if (createdNew) *createdNew = mappingError != ERROR_ALREADY_EXISTS;
    MutexName = mutexName.release();
    // Only the ownership taken above is given back: if this thread already holds the
    // lock through another object for the same name, that hold must stay.
    if (ownsMutex) Unlock();
}

template <typename T>
CMemMapFile<T>::~CMemMapFile() {
    Lock();
    if (View) UnmapViewOfFile(View);
    CloseHandle(Mapping);
    delete[] MutexName;  // GCOVR_EXCL_BR_LINE: delete[]'s own null check; never null here
    Unlock();
    if (Mutex) CloseHandle(Mutex);
}

template <typename T>
DWORD CMemMapFile<T>::Lock() {
    return WaitForSingleObject(Mutex, INFINITE);
}

template <typename T>
BOOL CMemMapFile<T>::Unlock() {
    return ReleaseMutex(Mutex);
}

template <typename T>
T *CMemMapFile<T>::GetView() {
    // Length 0 maps the whole block.
    if (!View) View = static_cast<T *>(MapViewOfFile(Mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    return View;
}

template class CMemMapFile<char>;

}  // namespace orvane
