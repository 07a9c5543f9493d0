#pragma once

#include <windows.h>
#include <pdh.h>
#include <pdhmsg.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "seams/pdh.h"

// A scripted stand-in for PDH's "Process" object, swapped into every slot of
// seams/pdh.h for its lifetime (one stand-in at a time). It answers as the PDH
// documentation describes, not as a caller would like:
// - PdhEnumObjectItemsA fills the lists only when both buffers are large enough.
//   A zero size gets PDH_MORE_DATA with the sizes needed; a short non-zero size gets
//   PDH_MORE_DATA, nothing written, and the sizes left as they were (the documentation
//   says not to rely on them). An object without instances needs 2 characters.
// - Each query and counter is a handle of its own; closing a query ends its counters;
//   a stale handle gets PDH_INVALID_HANDLE.
// - PdhAddCounterA for an instance that is not running answers PDH_CSTATUS_NO_INSTANCE
//   (the counter exists but has no data). Instances "name#n" are resolved at each
//   PdhCollectQueryData against the processes running then, so a process that ends
//   between the add and the sample has no data.
// - PdhGetFormattedCounterValue before a sample, or for a missing instance, answers
//   PDH_INVALID_DATA with CStatus PDH_CSTATUS_NO_INSTANCE or PDH_CSTATUS_INVALID_DATA;
//   a good sample has CStatus PDH_CSTATUS_NEW_DATA. A process can be scripted to give
//   its ID with ERROR_SUCCESS and a failing CStatus (the call and the data have
//   separate statuses).
// - PdhMakeCounterPathA composes "\\machine\object(parent/instance#index)\counter";
//   dwInstanceIndex 0xFFFFFFFF means no index. A zero size gets PDH_MORE_DATA, a short
//   one PDH_INSUFFICIENT_BUFFER, both with the size needed (path and its NUL).
class PdhStandIn {
public:
    struct MakePathCall {
        bool hasMachine = false;
        std::string machine;
        std::string object;
        bool hasInstance = false;
        std::string instance;
        bool hasParent = false;
        DWORD instanceIndex = 0;
        std::string counter;
        DWORD sizeIn = 0;
        DWORD sizeOut = 0;
        DWORD flags = 0;
        PDH_STATUS status = 0;
    };

    PdhStandIn();
    ~PdhStandIn();
    PdhStandIn(const PdhStandIn &) = delete;
    PdhStandIn &operator=(const PdhStandIn &) = delete;

    // The running processes, in the order PDH lists them.
    void Start(const std::string &name, DWORD id);
    void End(DWORD id);
    // Formatted values of this process come back with ERROR_SUCCESS, its ID in
    // longValue, and this CStatus.
    void SetDataStatus(DWORD id, DWORD cstatus);

    // Runs `action` at the start of the n-th call (from 1) of a PDH function.
    void AtItemsCall(int n, std::function<void()> action);
    void AtAddCounter(int n, std::function<void()> action);
    void AtCollect(int n, std::function<void()> action);

    // From call `fromCall` on, PdhEnumObjectItemsA writes no list and answers `status`
    // with these sizes: a PDH that misreports the sizes or fails.
    void AnswerItemsFrom(int fromCall, PDH_STATUS status, DWORD counterSize, DWORD instanceSize);
    // Non-zero: the call answers this status and changes nothing (no query, no
    // sample, the value left as the caller set it).
    PDH_STATUS openQueryFailure = 0;
    PDH_STATUS collectFailure = 0;
    PDH_STATUS formatFailure = 0;
    // Non-zero: PdhMakeCounterPathA scribbles into the buffer and answers this status.
    PDH_STATUS makePathFailure = 0;
    // True: a PdhMakeCounterPathA call that succeeds fills the whole buffer, the path
    // and then blanks, with no NUL (a PDH that does not end its text).
    bool makePathUnterminated = false;
    // How PdhMakeCounterPathA answers a short non-zero size.
    PDH_STATUS makePathShortStatus = static_cast<PDH_STATUS>(PDH_INSUFFICIENT_BUFFER);
    // Non-zero: every PdhMakeCounterPathA call is short and reports this size (a PDH
    // that shrinks its size); after 1000 calls it answers PDH_INVALID_ARGUMENT.
    DWORD makePathAlwaysShortSize = 0;

    // What the caller did.
    int refreshCalls = 0;
    int itemsCalls = 0;
    int queriesOpened = 0;
    int queriesClosed = 0;
    int collects = 0;
    std::vector<std::string> probes;  // every path given to PdhAddCounterA
    std::vector<DWORD> formats;       // every dwFormat given to PdhGetFormattedCounterValue
    std::vector<MakePathCall> makePathCalls;
    std::vector<std::string> misuse;  // arguments PDH would reject, described

    int LiveQueries() const { return queriesOpened - queriesClosed; }

    // The instance list as PdhEnumObjectItemsA gives it now.
    std::string InstanceList() const;

private:
    struct Process {
        std::string name;
        DWORD id;
        bool hasDataStatus;
        DWORD dataStatus;
    };
    struct Counter {
        PDH_HQUERY query;
        std::string instance;
        DWORD index;
        bool sampled;
        bool found;
        Process sample;
    };

    static PdhStandIn *current_;

    static PDH_STATUS WINAPI EnumObjects(LPCSTR, LPCSTR, LPSTR, LPDWORD, DWORD, BOOL);
    static PDH_STATUS WINAPI EnumObjectItems(LPCSTR, LPCSTR, LPCSTR, LPSTR, LPDWORD, LPSTR, LPDWORD, DWORD, DWORD);
    static PDH_STATUS WINAPI OpenQuery(LPCSTR, DWORD_PTR, PDH_HQUERY *);
    static PDH_STATUS WINAPI AddCounter(PDH_HQUERY, LPCSTR, DWORD_PTR, PDH_HCOUNTER *);
    static PDH_STATUS WINAPI CollectQueryData(PDH_HQUERY);
    static PDH_STATUS WINAPI GetFormattedCounterValue(PDH_HCOUNTER, DWORD, LPDWORD, PPDH_FMT_COUNTERVALUE);
    static PDH_STATUS WINAPI CloseQuery(PDH_HQUERY);
    static PDH_STATUS WINAPI MakeCounterPath(PPDH_COUNTER_PATH_ELEMENTS_A, LPSTR, LPDWORD, DWORD);

    static void RunScripted(std::map<int, std::function<void()>> &actions, int call);
    const Process *Resolve(const std::string &instance, DWORD index) const;

    std::vector<Process> processes_;
    std::map<int, std::function<void()>> atItems_;
    std::map<int, std::function<void()>> atAdd_;
    std::map<int, std::function<void()>> atCollect_;
    int itemsAnswerFrom_ = 0;
    PDH_STATUS itemsAnswerStatus_ = 0;
    DWORD itemsAnswerCounterSize_ = 0;
    DWORD itemsAnswerInstanceSize_ = 0;
    std::map<PDH_HQUERY, bool> queries_;  // handle -> still open
    std::map<PDH_HCOUNTER, Counter> counters_;
    UINT_PTR nextHandle_ = 0x1000;
    int addCalls_ = 0;

    ScopedSeam<seams::PdhEnumObjectsAFn> enumObjects_;
    ScopedSeam<seams::PdhEnumObjectItemsAFn> enumObjectItems_;
    ScopedSeam<seams::PdhOpenQueryAFn> openQuery_;
    ScopedSeam<seams::PdhAddCounterAFn> addCounter_;
    ScopedSeam<seams::PdhCollectQueryDataFn> collectQueryData_;
    ScopedSeam<seams::PdhGetFormattedCounterValueFn> getFormattedCounterValue_;
    ScopedSeam<seams::PdhCloseQueryFn> closeQuery_;
    ScopedSeam<seams::PdhMakeCounterPathAFn> makeCounterPath_;
};
