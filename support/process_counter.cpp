#include "support/process_counter.h"

#include <pdhmsg.h>

#include <cstring>
#include <memory>
#include <string>

#include "seams/pdh.h"

namespace orvane {
namespace {

// The status constants are DWORD in some SDKs and PDH_STATUS in others.
template <typename Code>
bool IsStatus(PDH_STATUS status, Code code) {
    return static_cast<DWORD>(status) == static_cast<DWORD>(code);
}

// PDH reports a short buffer with either status, depending on the call and the version.
bool IsShortBuffer(PDH_STATUS status) {
    return IsStatus(status, PDH_MORE_DATA) || IsStatus(status, PDH_INSUFFICIENT_BUFFER);
}

// Bounds that keep sizes PDH reports from overflowing our arithmetic.
constexpr DWORD kMaxListChars = 0x7FFFFFF0;
constexpr DWORD kMaxPathChars = 0x100000;
// Processes starting between the sizing call and the filling call make PDH answer
// PDH_MORE_DATA again; a list that never settles is given up after this many rounds.
constexpr int kMaxListRounds = 32;

// One PDH query, closed when the owner goes out of scope.
class PdhQuery {
public:
    PdhQuery() {
        if (seams::PdhOpenQueryA(nullptr, 0, &query_) != ERROR_SUCCESS) query_ = nullptr;
    }
    ~PdhQuery() {
        if (query_ != nullptr) seams::PdhCloseQuery(query_);
    }
    PdhQuery(const PdhQuery &) = delete;
    PdhQuery &operator=(const PdhQuery &) = delete;

    PDH_HQUERY Get() const { return query_; }

private:
    PDH_HQUERY query_ = nullptr;
};

char *NewEmptyMultiString() { return new char[2](); }

// True only when the counter was added, sampled and formatted with success, its
// CStatus says the data is valid, and the value is the wanted ID.
bool ReadsProcessId(PDH_HQUERY query, const std::string &probePath, DWORD processId) {
    if (query == nullptr) return false;
    PDH_HCOUNTER counter = nullptr;
    if (seams::PdhAddCounterA(query, probePath.c_str(), 0, &counter) != ERROR_SUCCESS) return false;
    if (seams::PdhCollectQueryData(query) != ERROR_SUCCESS) return false;
    PDH_FMT_COUNTERVALUE value = {};
    if (seams::PdhGetFormattedCounterValue(counter, PDH_FMT_LONG, nullptr, &value) != ERROR_SUCCESS) return false;
    // The call's status and the data's status differ; both must say success.
    if (value.CStatus != PDH_CSTATUS_VALID_DATA && value.CStatus != PDH_CSTATUS_NEW_DATA) return false;
    return static_cast<DWORD>(value.longValue) == processId;
}

}  // namespace

PDH_STATUS RefreshPerformanceObjects() {
    // Only the refresh is wanted, not the object list.
    char objectList[1] = {'\0'};
    DWORD objectListLength = 1;
    return seams::PdhEnumObjectsA(nullptr, nullptr, objectList, &objectListLength, PERF_DETAIL_WIZARD, TRUE);
}

char *EnumObjectInstances(const char *objectName) {
    RefreshPerformanceObjects();
    for (int round = 0; round < kMaxListRounds; ++round) {
        // PdhEnumObjectItemsA fills nothing until both lists fit, so ask for the sizes first.
        DWORD counterLength = 0;
        DWORD instanceLength = 0;
        PDH_STATUS status = seams::PdhEnumObjectItemsA(nullptr, nullptr, objectName, nullptr, &counterLength, nullptr,
                                                       &instanceLength, PERF_DETAIL_WIZARD, 0);
        if (!IsStatus(status, PDH_MORE_DATA) || instanceLength == 0) break;
        if (counterLength > kMaxListChars || instanceLength > kMaxListChars) break;
        // Two NULs beyond what PDH may write keep the list closed whatever it leaves behind.
        std::unique_ptr<char[]> counters(new char[counterLength + 2]());
        std::unique_ptr<char[]> instances(new char[instanceLength + 2]());
        status = seams::PdhEnumObjectItemsA(nullptr, nullptr, objectName, counters.get(), &counterLength,
                                            instances.get(), &instanceLength, PERF_DETAIL_WIZARD, 0);
        if (status == ERROR_SUCCESS) return instances.release();
        // A size PDH reports after a short buffer is not reliable: start over from zero.
        if (!IsStatus(status, PDH_MORE_DATA)) break;
    }
    return NewEmptyMultiString();
}

int CountEarlierInstances(CCustomArray<char> *seenNames, const char *name) {
    const std::size_t length = std::strlen(name);
    std::unique_ptr<char[]> copy(new char[length + 1]);
    std::memcpy(copy.get(), name, length + 1);

    int earlier = 0;
    for (int i = 0; i < seenNames->GetCount(); ++i) {
        if (std::strcmp(seenNames->GetAt(i), copy.get()) == 0) ++earlier;
    }
    // Add leaves the text with us if it throws.
    seenNames->Add(copy.get());
    copy.release();
    return earlier;
}

char *MakeCounterPath(const char *machine, const char *object, const char *instance, const char *parent,
                      const char *counter, int instanceIndex) {
    PDH_COUNTER_PATH_ELEMENTS_A elements = {};
    elements.szMachineName = const_cast<LPSTR>(machine);
    elements.szObjectName = const_cast<LPSTR>(object);
    elements.szInstanceName = const_cast<LPSTR>(instance);
    elements.szParentInstance = const_cast<LPSTR>(parent);
    // 0xFFFFFFFF asks for no duplicate index: the first process of a name has none.
    elements.dwInstanceIndex = instanceIndex != 0 ? static_cast<DWORD>(instanceIndex) : 0xFFFFFFFF;
    elements.szCounterName = const_cast<LPSTR>(counter);

    DWORD size = 64;
    for (;;) {
        const DWORD allocated = size;
        std::unique_ptr<char[]> path(new char[allocated]);
        path[0] = '\0';
        PDH_STATUS status = seams::PdhMakeCounterPathA(&elements, path.get(), &size, 0);
        if (status == ERROR_SUCCESS) {
            // A path not ended within the array is no path: cut short, it would name another counter.
            if (std::memchr(path.get(), '\0', allocated) == nullptr) return nullptr;
            return path.release();
        }
        if (!IsShortBuffer(status)) return nullptr;
        // Grow from what PDH left, but never shrink: its size after a short buffer may be wrong.
        if (size < allocated) size = allocated;
        if (size > kMaxPathChars) return nullptr;
        size *= 2;
    }
}

char *FindProcessCounterPath(const char *objectName, const char *counterName, DWORD processId) {
    // The walk always reads the "Process" object; objectName only names the result.
    std::unique_ptr<char[]> instances(EnumObjectInstances("Process"));
    CCustomArray<char> seenNames;
    const char *cursor = instances.get();
    int index = 0;
    while (*cursor != '\0') {
        bool matched;
        {
            PdhQuery query;
            index = CountEarlierInstances(&seenNames, cursor);
            // Sized to the name: "\Process(" name "#" index ")\ID Process".
            std::string probePath = "\\Process(";
            probePath += cursor;
            probePath += '#';
            probePath += std::to_string(index);
            probePath += ")\\ID Process";
            matched = ReadsProcessId(query.Get(), probePath, processId);
        }
        if (matched) break;
        cursor += lstrlenA(cursor) + 1;
    }
    if (*cursor == '\0') return nullptr;
    return MakeCounterPath(nullptr, objectName, cursor, nullptr, counterName, index);
}

}  // namespace orvane
