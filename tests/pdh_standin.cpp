#include "tests/pdh_standin.h"

#include <pdhmsg.h>
#include <winperf.h>

#include <cstring>
#include <utility>

namespace {

// The status constants are DWORD in some SDKs and PDH_STATUS in others.
template <typename Code>
PDH_STATUS Status(Code code) {
    return static_cast<PDH_STATUS>(code);
}

const char kObjectList[] = "Process\0Processor\0Memory\0";  // with the closing empty name
const char kCounterList[] = "% Processor Time\0ID Process\0Thread Count\0Working Set\0";

// Copies `list` (its size counted with every NUL) when it fits; the sizing rules of
// the PDH enumeration calls.
bool FitsAndCopy(const std::string &list, LPSTR buffer, DWORD size) {
    if (buffer == nullptr || size < list.size()) return false;
    std::memcpy(buffer, list.data(), list.size());
    return true;
}

// "\name#3" style: a trailing "#digits" is the duplicate index; none means 0.
void SplitInstance(const std::string &text, std::string &name, DWORD &index) {
    name = text;
    index = 0;
    const std::size_t hash = text.rfind('#');
    if (hash == std::string::npos || hash + 1 == text.size()) return;
    DWORD value = 0;
    for (std::size_t i = hash + 1; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return;
        value = value * 10 + static_cast<DWORD>(text[i] - '0');
    }
    name = text.substr(0, hash);
    index = value;
}

}  // namespace

PdhStandIn *PdhStandIn::current_ = nullptr;

PdhStandIn::PdhStandIn()
    : enumObjects_(seams::PdhEnumObjectsA, &PdhStandIn::EnumObjects),
      enumObjectItems_(seams::PdhEnumObjectItemsA, &PdhStandIn::EnumObjectItems),
      openQuery_(seams::PdhOpenQueryA, &PdhStandIn::OpenQuery),
      addCounter_(seams::PdhAddCounterA, &PdhStandIn::AddCounter),
      collectQueryData_(seams::PdhCollectQueryData, &PdhStandIn::CollectQueryData),
      getFormattedCounterValue_(seams::PdhGetFormattedCounterValue, &PdhStandIn::GetFormattedCounterValue),
      closeQuery_(seams::PdhCloseQuery, &PdhStandIn::CloseQuery),
      makeCounterPath_(seams::PdhMakeCounterPathA, &PdhStandIn::MakeCounterPath) {
    current_ = this;
}

PdhStandIn::~PdhStandIn() { current_ = nullptr; }

void PdhStandIn::Start(const std::string &name, DWORD id) { processes_.push_back({name, id, false, 0}); }

void PdhStandIn::End(DWORD id) {
    for (auto it = processes_.begin(); it != processes_.end(); ++it) {
        if (it->id == id) {
            processes_.erase(it);
            return;
        }
    }
}

void PdhStandIn::SetDataStatus(DWORD id, DWORD cstatus) {
    for (Process &process : processes_) {
        if (process.id == id) {
            process.hasDataStatus = true;
            process.dataStatus = cstatus;
        }
    }
}

void PdhStandIn::AtItemsCall(int n, std::function<void()> action) { atItems_[n] = std::move(action); }
void PdhStandIn::AtAddCounter(int n, std::function<void()> action) { atAdd_[n] = std::move(action); }
void PdhStandIn::AtCollect(int n, std::function<void()> action) { atCollect_[n] = std::move(action); }

void PdhStandIn::AnswerItemsFrom(int fromCall, PDH_STATUS status, DWORD counterSize, DWORD instanceSize) {
    itemsAnswerFrom_ = fromCall;
    itemsAnswerStatus_ = status;
    itemsAnswerCounterSize_ = counterSize;
    itemsAnswerInstanceSize_ = instanceSize;
}

void PdhStandIn::RunScripted(std::map<int, std::function<void()>> &actions, int call) {
    auto it = actions.find(call);
    if (it != actions.end()) it->second();
}

std::string PdhStandIn::InstanceList() const {
    std::string list;
    for (const Process &process : processes_) {
        list += process.name;
        list += '\0';
    }
    list += '\0';
    // An object with instances but none running lists as an empty multi-string of 2.
    if (list.size() < 2) list += '\0';
    return list;
}

const PdhStandIn::Process *PdhStandIn::Resolve(const std::string &instance, DWORD index) const {
    DWORD seen = 0;
    for (const Process &process : processes_) {
        if (process.name == instance) {
            if (seen == index) return &process;
            ++seen;
        }
    }
    return nullptr;
}

PDH_STATUS WINAPI PdhStandIn::EnumObjects(LPCSTR dataSource, LPCSTR machine, LPSTR objectList, LPDWORD size,
                                          DWORD detailLevel, BOOL refresh) {
    PdhStandIn &self = *current_;
    if (dataSource != nullptr || machine != nullptr) self.misuse.push_back("PdhEnumObjectsA: not the local machine");
    if (detailLevel != PERF_DETAIL_WIZARD)
        self.misuse.push_back("PdhEnumObjectsA: detail level " + std::to_string(detailLevel));
    if (size == nullptr) return Status(PDH_INVALID_ARGUMENT);
    if (refresh) ++self.refreshCalls;
    const std::string list(kObjectList, sizeof kObjectList);
    if (*size == 0) {
        *size = static_cast<DWORD>(list.size());
        return Status(PDH_MORE_DATA);
    }
    if (!FitsAndCopy(list, objectList, *size)) return Status(PDH_MORE_DATA);
    *size = static_cast<DWORD>(list.size());
    return ERROR_SUCCESS;
}

PDH_STATUS WINAPI PdhStandIn::EnumObjectItems(LPCSTR dataSource, LPCSTR machine, LPCSTR object, LPSTR counterList,
                                              LPDWORD counterSize, LPSTR instanceList, LPDWORD instanceSize,
                                              DWORD detailLevel, DWORD flags) {
    PdhStandIn &self = *current_;
    ++self.itemsCalls;
    RunScripted(self.atItems_, self.itemsCalls);
    if (dataSource != nullptr || machine != nullptr)
        self.misuse.push_back("PdhEnumObjectItemsA: not the local machine");
    if (detailLevel != PERF_DETAIL_WIZARD || flags != 0)
        self.misuse.push_back("PdhEnumObjectItemsA: detail level or flags");
    if (object == nullptr || counterSize == nullptr || instanceSize == nullptr) return Status(PDH_INVALID_ARGUMENT);
    if (std::strcmp(object, "Process") != 0) return Status(PDH_CSTATUS_NO_OBJECT);
    if (self.itemsAnswerFrom_ != 0 && self.itemsCalls >= self.itemsAnswerFrom_) {
        *counterSize = self.itemsAnswerCounterSize_;
        *instanceSize = self.itemsAnswerInstanceSize_;
        return self.itemsAnswerStatus_;
    }

    const std::string counters(kCounterList, sizeof kCounterList);
    const std::string instances = self.InstanceList();
    if (*counterSize == 0 || *instanceSize == 0) {
        *counterSize = static_cast<DWORD>(counters.size());
        *instanceSize = static_cast<DWORD>(instances.size());
        return Status(PDH_MORE_DATA);
    }
    if (*counterSize < counters.size() || *instanceSize < instances.size() || counterList == nullptr ||
        instanceList == nullptr)
        return Status(PDH_MORE_DATA);
    FitsAndCopy(counters, counterList, *counterSize);
    FitsAndCopy(instances, instanceList, *instanceSize);
    *counterSize = static_cast<DWORD>(counters.size());
    *instanceSize = static_cast<DWORD>(instances.size());
    return ERROR_SUCCESS;
}

PDH_STATUS WINAPI PdhStandIn::OpenQuery(LPCSTR dataSource, DWORD_PTR, PDH_HQUERY *query) {
    PdhStandIn &self = *current_;
    if (dataSource != nullptr) self.misuse.push_back("PdhOpenQueryA: a data source");
    if (query == nullptr) return Status(PDH_INVALID_ARGUMENT);
    if (self.openQueryFailure != 0) return self.openQueryFailure;
    *query = reinterpret_cast<PDH_HQUERY>(self.nextHandle_++);
    self.queries_[*query] = true;
    ++self.queriesOpened;
    return ERROR_SUCCESS;
}

PDH_STATUS WINAPI PdhStandIn::AddCounter(PDH_HQUERY query, LPCSTR path, DWORD_PTR, PDH_HCOUNTER *counter) {
    PdhStandIn &self = *current_;
    ++self.addCalls_;
    RunScripted(self.atAdd_, self.addCalls_);
    if (path != nullptr) self.probes.push_back(path);
    auto open = self.queries_.find(query);
    if (open == self.queries_.end() || !open->second) return Status(PDH_INVALID_HANDLE);
    if (path == nullptr || counter == nullptr) return Status(PDH_INVALID_ARGUMENT);

    // "\Process(instance)\ID Process"; the instance runs up to the last ")\".
    const std::string text(path);
    const std::string prefix = "\\Process(";
    const std::size_t close = text.rfind(")\\");
    if (text.empty() || text[0] != '\\' || close == std::string::npos) return Status(PDH_CSTATUS_BAD_COUNTERNAME);
    if (text.compare(0, prefix.size(), prefix) != 0 || close < prefix.size()) return Status(PDH_CSTATUS_NO_OBJECT);
    if (text.substr(close + 2) != "ID Process") return Status(PDH_CSTATUS_NO_COUNTER);

    Counter added = {};
    added.query = query;
    SplitInstance(text.substr(prefix.size(), close - prefix.size()), added.instance, added.index);
    *counter = reinterpret_cast<PDH_HCOUNTER>(self.nextHandle_++);
    self.counters_[*counter] = added;
    // The counter is in the query, but an instance that is not running has no data.
    if (self.Resolve(added.instance, added.index) == nullptr) return Status(PDH_CSTATUS_NO_INSTANCE);
    return ERROR_SUCCESS;
}

PDH_STATUS WINAPI PdhStandIn::CollectQueryData(PDH_HQUERY query) {
    PdhStandIn &self = *current_;
    ++self.collects;
    RunScripted(self.atCollect_, self.collects);
    auto open = self.queries_.find(query);
    if (open == self.queries_.end() || !open->second) return Status(PDH_INVALID_HANDLE);
    if (self.collectFailure != 0) return self.collectFailure;
    bool any = false;
    for (auto &entry : self.counters_) {
        Counter &counter = entry.second;
        if (counter.query != query) continue;
        any = true;
        const Process *process = self.Resolve(counter.instance, counter.index);
        counter.sampled = true;
        counter.found = process != nullptr;
        if (process != nullptr) counter.sample = *process;
    }
    return any ? ERROR_SUCCESS : Status(PDH_NO_DATA);
}

PDH_STATUS WINAPI PdhStandIn::GetFormattedCounterValue(PDH_HCOUNTER handle, DWORD format, LPDWORD type,
                                                       PPDH_FMT_COUNTERVALUE value) {
    PdhStandIn &self = *current_;
    self.formats.push_back(format);
    auto it = self.counters_.find(handle);
    if (it == self.counters_.end()) return Status(PDH_INVALID_HANDLE);
    if (value == nullptr || (format & (PDH_FMT_LONG | PDH_FMT_DOUBLE | PDH_FMT_LARGE)) == 0)
        return Status(PDH_INVALID_ARGUMENT);
    if (self.formatFailure != 0) return self.formatFailure;
    const Counter &counter = it->second;
    if (type != nullptr) *type = PERF_COUNTER_LARGE_RAWCOUNT;
    value->largeValue = 0;
    if (!counter.sampled) {
        value->CStatus = PDH_CSTATUS_INVALID_DATA;
        return Status(PDH_INVALID_DATA);
    }
    if (!counter.found) {
        value->CStatus = PDH_CSTATUS_NO_INSTANCE;
        return Status(PDH_INVALID_DATA);
    }
    value->CStatus = counter.sample.hasDataStatus ? counter.sample.dataStatus : PDH_CSTATUS_NEW_DATA;
    if (format & PDH_FMT_LONG)
        value->longValue = static_cast<LONG>(counter.sample.id);
    else if (format & PDH_FMT_DOUBLE)
        value->doubleValue = static_cast<double>(counter.sample.id);
    else
        value->largeValue = static_cast<LONGLONG>(counter.sample.id);
    return ERROR_SUCCESS;
}

PDH_STATUS WINAPI PdhStandIn::CloseQuery(PDH_HQUERY query) {
    PdhStandIn &self = *current_;
    auto open = self.queries_.find(query);
    if (open == self.queries_.end() || !open->second) {
        self.misuse.push_back("PdhCloseQuery: not an open query");
        return Status(PDH_INVALID_HANDLE);
    }
    open->second = false;
    ++self.queriesClosed;
    for (auto it = self.counters_.begin(); it != self.counters_.end();) {
        if (it->second.query == query)
            it = self.counters_.erase(it);
        else
            ++it;
    }
    return ERROR_SUCCESS;
}

PDH_STATUS WINAPI PdhStandIn::MakeCounterPath(PPDH_COUNTER_PATH_ELEMENTS_A elements, LPSTR buffer, LPDWORD size,
                                              DWORD flags) {
    PdhStandIn &self = *current_;
    if (elements == nullptr || size == nullptr) return Status(PDH_INVALID_ARGUMENT);
    MakePathCall call;
    call.hasMachine = elements->szMachineName != nullptr;
    if (call.hasMachine) call.machine = elements->szMachineName;
    if (elements->szObjectName != nullptr) call.object = elements->szObjectName;
    call.hasInstance = elements->szInstanceName != nullptr;
    if (call.hasInstance) call.instance = elements->szInstanceName;
    call.hasParent = elements->szParentInstance != nullptr;
    call.instanceIndex = elements->dwInstanceIndex;
    if (elements->szCounterName != nullptr) call.counter = elements->szCounterName;
    call.sizeIn = *size;
    call.flags = flags;

    PDH_STATUS status = ERROR_SUCCESS;
    if (elements->szObjectName == nullptr || elements->szCounterName == nullptr || flags != 0) {
        status = Status(PDH_INVALID_ARGUMENT);
    } else if (self.makePathAlwaysShortSize != 0) {
        status = self.makePathCalls.size() < 1000 ? self.makePathShortStatus : Status(PDH_INVALID_ARGUMENT);
        *size = self.makePathAlwaysShortSize;
    } else if (self.makePathFailure != 0) {
        // A failing call may still have written into the buffer.
        if (buffer != nullptr && *size > 0) {
            std::memset(buffer, '?', *size - 1);
            buffer[*size - 1] = '\0';
        }
        status = self.makePathFailure;
    } else {
        std::string path;
        if (call.hasMachine) path += call.machine;
        path += '\\';
        path += call.object;
        if (call.hasInstance) {
            path += '(';
            if (call.hasParent) {
                path += elements->szParentInstance;
                path += '/';
            }
            path += call.instance;
            if (call.instanceIndex != 0xFFFFFFFF) path += '#' + std::to_string(call.instanceIndex);
            path += ')';
        }
        path += '\\';
        path += call.counter;
        const DWORD needed = static_cast<DWORD>(path.size() + 1);
        if (*size == 0) {
            status = Status(PDH_MORE_DATA);
        } else if (*size < needed || buffer == nullptr) {
            status = self.makePathShortStatus;
        } else if (self.makePathUnterminated) {
            std::memset(buffer, ' ', *size);
            std::memcpy(buffer, path.data(), path.size());
        } else {
            std::memcpy(buffer, path.c_str(), needed);
        }
        *size = needed;
    }
    call.sizeOut = *size;
    call.status = status;
    self.makePathCalls.push_back(call);
    return status;
}
