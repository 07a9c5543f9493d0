#pragma once

namespace orvane {

// A growable array of heap texts that owns what it holds.
//
// Every text handed to Add must come from the array form of new (or be null); the
// array releases it with delete[] when it is cleared or destroyed. GetAt lends the
// pointer; the array keeps owning it.
//
// The item block grows to exactly the size asked for: Add grows a full block by one
// slot, so Capacity equals the number of texts after n additions to a new array.
// Clear keeps the block. An allocation failure in Reserve throws std::bad_alloc and
// leaves the array as it was; the text passed to a failing Add stays the caller's.
//
// An index outside 0 .. Count - 1 throws a `char *` pointing at the static Shift-JIS
// text OwnedArrayIndexOutOfRangeText; catch it as `char *`.
//
// A release hook (OnRelease, with OnReleaseData) sees each text just before it is
// released. When it throws from Clear, the exception reaches Clear's caller: the
// texts released before it are gone from the array, and the text whose hook threw
// stays held with all after it, in order, for a later Clear or the destructor. The
// destructor cannot pass an exception on: it drops a hook's exception and releases
// that text all the same.

// "指定された要素のインデックスが範囲外" in Shift-JIS (code page 932), NUL-terminated.
extern char OwnedArrayIndexOutOfRangeText[];

template <typename T>
class CArray {
public:
    // Release hook: called with OnReleaseData first, then the text about to be released.
    using ReleaseHook = void (*)(void *context, T *text);

    int Capacity;
    int Count;
    T **Items;
    ReleaseHook OnRelease;
    void *OnReleaseData;

    CArray() : Capacity(0), Count(0), Items(nullptr), OnRelease(nullptr), OnReleaseData(nullptr) {}

    ~CArray() {
        for (int i = 0; i < Count; ++i) {
            try {
                ReleaseItem(i);  // GCOVR_EXCL_BR_LINE: the throw edge of the copies this program never runs
            } catch (...) {
                // The hook threw before the release, and nothing can hear of it.
                delete[] Items[i];  // GCOVR_EXCL_BR_LINE: delete[]'s own null check
            }
        }
        delete[] Items;
    }

    CArray(const CArray &) = delete;
    CArray &operator=(const CArray &) = delete;

    int GetCount() const { return Count; }

    void Reserve(int n) {
        if (Capacity >= n) return;
        // Allocated before any field changes, so a failure leaves the array untouched.
        T **block = new T *[n];  // GCOVR_EXCL_BR_LINE: new[]'s size check; n is never negative
        if (Items != nullptr) {
            for (int i = 0; i < Count; ++i) block[i] = Items[i];
            delete[] Items;  // GCOVR_EXCL_BR_LINE: delete[]'s own null check; never null here
        }
        Items = block;
        Capacity = n;
    }

    void Add(T *text) {
        Reserve(Count + 1);
        Items[Count] = text;
        ++Count;
    }

    T *GetAt(int index) {
        CheckIndex(index);
        return Items[index];
    }

    void CheckIndex(int index) const {
        // Callers catch the message as char *.
        if (index < 0 || index > Count - 1)
            throw static_cast<char *>(OwnedArrayIndexOutOfRangeText);  // NOLINT(cert-err09-cpp,cert-err61-cpp)
    }

    void ReleaseItem(int index) {
        if (OnRelease != nullptr) OnRelease(OnReleaseData, Items[index]);
        delete[] Items[index];
    }

    void Clear() {
        if (Items == nullptr) return;
        int released = 0;
        try {
            // GCOVR_EXCL_BR_START: beside the loop, the throw edge of the copies this program never runs
            for (; released < Count; ++released) ReleaseItem(released);
            // GCOVR_EXCL_BR_STOP
        } catch (...) {
            // The hook threw before its text was released: keep that text and the
            // rest at the front, so that no text is released twice or lost.
            for (int i = released; i < Count; ++i) Items[i - released] = Items[i];
            Count -= released;
            throw;
        }
        Count = 0;
    }
};

template <typename T>
class CCustomArray : public CArray<T> {
public:
    void Add(T *text) { CArray<T>::Add(text); }
    T *GetAt(int index) { return CArray<T>::GetAt(index); }
};

}  // namespace orvane

// Global as well, unless the caller defines ORVANE_NO_GLOBAL_NAMES.
#ifndef ORVANE_NO_GLOBAL_NAMES
using orvane::CArray;
using orvane::CCustomArray;
using orvane::OwnedArrayIndexOutOfRangeText;
#endif
