#include "support/process_counter.h"

#include <gtest/gtest.h>
#include <pdhmsg.h>

#include <memory>
#include <new>
#include <string>
#include <vector>

#include "tests/array_alloc_probe.h"
#include "tests/pdh_standin.h"

namespace {

std::string Probe(const std::string &instance) { return "\\Process(" + instance + ")\\ID Process"; }

// Runs the lookup and checks what every lookup must leave behind: only the returned
// array allocated, every query closed, no argument PDH would reject.
class ProcessCounterLookup : public ::testing::Test {
protected:
    std::unique_ptr<char[]> Find(DWORD processId, const char *object = "Process",
                                 const char *counter = "% Processor Time") {
        const long live = LiveArrayCount();
        std::unique_ptr<char[]> path(FindProcessCounterPath(object, counter, processId));
        EXPECT_EQ(LiveArrayCount(), live + (path ? 1 : 0)) << "arrays left allocated";
        EXPECT_EQ(pdh.LiveQueries(), 0) << "queries left open";
        EXPECT_TRUE(pdh.misuse.empty()) << pdh.misuse.front();
        for (DWORD format : pdh.formats) EXPECT_EQ(format, PDH_FMT_LONG);
        return path;
    }

    // a (10), b (20), a (30), in list order.
    void StartAba() {
        pdh.Start("a", 10);
        pdh.Start("b", 20);
        pdh.Start("a", 30);
    }

    PdhStandIn pdh;
};

}  // namespace

TEST_F(ProcessCounterLookup, DuplicateNamesAreProbedByIndexAndComposedWithIt) {
    StartAba();

    std::unique_ptr<char[]> path = Find(30, "Process", "% Processor Time");
    ASSERT_NE(path, nullptr);
    EXPECT_STREQ(path.get(), "\\Process(a#1)\\% Processor Time");
    EXPECT_EQ(pdh.probes, (std::vector<std::string>{Probe("a#0"), Probe("b#0"), Probe("a#1")}));
    EXPECT_EQ(pdh.queriesOpened, 3);
    EXPECT_EQ(pdh.refreshCalls, 1);
    ASSERT_FALSE(pdh.makePathCalls.empty());
    const PdhStandIn::MakePathCall &call = pdh.makePathCalls.back();
    EXPECT_FALSE(call.hasMachine);
    EXPECT_FALSE(call.hasParent);
    EXPECT_EQ(call.object, "Process");
    EXPECT_EQ(call.instance, "a");
    EXPECT_EQ(call.instanceIndex, 1u);
    EXPECT_EQ(call.counter, "% Processor Time");
    EXPECT_EQ(call.flags, 0u);
    EXPECT_EQ(call.sizeIn, 64u);
}

TEST_F(ProcessCounterLookup, FirstOfItsNameIsComposedWithoutIndex) {
    StartAba();

    std::unique_ptr<char[]> path = Find(10, "Thread", "Context Switches/sec");
    ASSERT_NE(path, nullptr);
    EXPECT_STREQ(path.get(), "\\Thread(a)\\Context Switches/sec");
    EXPECT_EQ(pdh.probes, (std::vector<std::string>{Probe("a#0")}));
    ASSERT_EQ(pdh.makePathCalls.size(), 1u);
    EXPECT_EQ(pdh.makePathCalls[0].instanceIndex, 0xFFFFFFFFu);

    pdh.probes.clear();
    path = Find(20);
    ASSERT_NE(path, nullptr);
    EXPECT_STREQ(path.get(), "\\Process(b)\\% Processor Time");
    EXPECT_EQ(pdh.probes, (std::vector<std::string>{Probe("a#0"), Probe("b#0")}));
}

TEST_F(ProcessCounterLookup, LetterCaseMakesNamesDifferent) {
    pdh.Start("App", 1);
    pdh.Start("app", 2);
    pdh.Start("APP", 3);
    pdh.Start("app", 4);

    std::unique_ptr<char[]> path = Find(4);
    ASSERT_NE(path, nullptr);
    EXPECT_STREQ(path.get(), "\\Process(app#1)\\% Processor Time");
    EXPECT_EQ(pdh.probes, (std::vector<std::string>{Probe("App#0"), Probe("app#0"), Probe("APP#0"), Probe("app#1")}));
}

// Code-page-932 names as PDH's ANSI list gives them: compared and passed on as bytes,
// a trail byte 0x5C kept inside its name.
TEST_F(ProcessCounterLookup, ShiftJisNamesAreComparedAndPassedOnAsBytes) {
    pdh.Start("\x95\x5C.exe", 1);  // 表.exe
    pdh.Start("\x95\x5F.exe", 2);  // 廟.exe: only the trail byte differs
    pdh.Start("\x95\x5C.exe", 3);  // 表.exe again

    std::unique_ptr<char[]> path = Find(3);
    ASSERT_NE(path, nullptr);
    EXPECT_STREQ(path.get(), "\\Process(\x95\x5C.exe#1)\\% Processor Time");
    EXPECT_EQ(pdh.probes,
              (std::vector<std::string>{Probe("\x95\x5C.exe#0"), Probe("\x95\x5F.exe#0"), Probe("\x95\x5C.exe#1")}));
    ASSERT_FALSE(pdh.makePathCalls.empty());
    EXPECT_EQ(pdh.makePathCalls.back().instance, "\x95\x5C.exe");
}

TEST_F(ProcessCounterLookup, LongPathGrowsTheArrayAndOnlyTheResultSurvives) {
    const std::string name(70, 'n');
    pdh.Start("short", 1);
    pdh.Start(name, 2);

    std::unique_ptr<char[]> path = Find(2);
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(std::string(path.get()), "\\Process(" + name + ")\\% Processor Time");
    ASSERT_EQ(pdh.makePathCalls.size(), 2u);
    EXPECT_EQ(pdh.makePathCalls[0].sizeIn, 64u);
    EXPECT_EQ(pdh.makePathCalls[0].status, static_cast<PDH_STATUS>(PDH_INSUFFICIENT_BUFFER));
    EXPECT_GE(pdh.makePathCalls[1].sizeIn, 128u);
    EXPECT_EQ(pdh.makePathCalls[1].status, ERROR_SUCCESS);
}

TEST_F(ProcessCounterLookup, NameLongerThanAnyFixedAreaIsProbedAndComposedWhole) {
    const std::string name(1500, 'L');
    pdh.Start("x", 1);
    pdh.Start(name, 2);
    pdh.Start(name, 3);

    std::unique_ptr<char[]> path = Find(3);
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(std::string(path.get()), "\\Process(" + name + "#1)\\% Processor Time");
    EXPECT_EQ(pdh.probes, (std::vector<std::string>{Probe("x#0"), Probe(name + "#0"), Probe(name + "#1")}));
}

TEST_F(ProcessCounterLookup, ShortBufferAnsweredWithMoreDataStillGrows) {
    pdh.makePathShortStatus = static_cast<PDH_STATUS>(PDH_MORE_DATA);
    const std::string name(100, 'm');
    pdh.Start(name, 7);

    std::unique_ptr<char[]> path = Find(7);
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(std::string(path.get()), "\\Process(" + name + ")\\% Processor Time");
}

TEST_F(ProcessCounterLookup, UnknownIdProbesEveryInstanceOnceAndGivesNull) {
    pdh.Start("a", 1);
    pdh.Start("b", 2);
    pdh.Start("a", 3);
    pdh.Start("c", 4);

    EXPECT_EQ(Find(99), nullptr);
    EXPECT_EQ(pdh.probes, (std::vector<std::string>{Probe("a#0"), Probe("b#0"), Probe("a#1"), Probe("c#0")}));
    EXPECT_EQ(pdh.queriesOpened, 4);
    EXPECT_EQ(pdh.collects, 4);
    EXPECT_TRUE(pdh.makePathCalls.empty());
}

TEST_F(ProcessCounterLookup, EmptyListGivesNullWithoutProbing) {
    EXPECT_EQ(Find(1), nullptr);
    EXPECT_TRUE(pdh.probes.empty());
    EXPECT_EQ(pdh.queriesOpened, 0);
    EXPECT_TRUE(pdh.makePathCalls.empty());
}

TEST_F(ProcessCounterLookup, ProcessesEndingDuringTheWalkAreNoMatch) {
    pdh.Start("x", 1);
    pdh.Start("y", 2);
    pdh.Start("w", 3);
    pdh.Start("z", 4);
    // y ends before its counter is added; w ends between its add and its sample.
    pdh.AtAddCounter(2, [this] { pdh.End(2); });
    pdh.AtCollect(3, [this] { pdh.End(3); });

    std::unique_ptr<char[]> path = Find(4);
    ASSERT_NE(path, nullptr);
    EXPECT_STREQ(path.get(), "\\Process(z)\\% Processor Time");
    EXPECT_EQ(pdh.probes, (std::vector<std::string>{Probe("x#0"), Probe("y#0"), Probe("w#0"), Probe("z#0")}));
}

TEST_F(ProcessCounterLookup, EndedProcessIsNoMatchEvenForItsOwnId) {
    pdh.Start("gone", 5);
    pdh.Start("late", 6);
    pdh.AtAddCounter(1, [this] { pdh.End(5); });
    EXPECT_EQ(Find(5), nullptr);
    EXPECT_EQ(pdh.probes.size(), 2u);
}

TEST_F(ProcessCounterLookup, DataWithFailingCStatusIsNoMatch) {
    pdh.Start("stale", 8);
    pdh.Start("other", 9);
    pdh.SetDataStatus(8, PDH_CSTATUS_INVALID_DATA);
    EXPECT_EQ(Find(8), nullptr);
    EXPECT_EQ(pdh.probes.size(), 2u);
}

TEST_F(ProcessCounterLookup, DataThatIsValidButNotNewMatches) {
    pdh.Start("steady", 8);
    pdh.SetDataStatus(8, PDH_CSTATUS_VALID_DATA);
    EXPECT_NE(Find(8), nullptr);
}

// A value PDH never delivered is zero, and zero with CStatus 0 (valid data) reads as
// the idle process's ID: every failing call must end the probe.
TEST_F(ProcessCounterLookup, NoMatchForIdZeroWhenAQueryCallFails) {
    pdh.Start("Idle", 0);
    ASSERT_NE(Find(0), nullptr);

    pdh.openQueryFailure = static_cast<PDH_STATUS>(PDH_MEMORY_ALLOCATION_FAILURE);
    pdh.probes.clear();
    EXPECT_EQ(Find(0), nullptr);
    EXPECT_TRUE(pdh.probes.empty()) << "a counter added to a query that was never opened";

    pdh.openQueryFailure = 0;
    pdh.collectFailure = static_cast<PDH_STATUS>(PDH_NO_DATA);
    pdh.formats.clear();
    EXPECT_EQ(Find(0), nullptr);
    EXPECT_TRUE(pdh.formats.empty()) << "a value read after a failed sample";

    pdh.collectFailure = 0;
    pdh.formatFailure = static_cast<PDH_STATUS>(PDH_CALC_NEGATIVE_VALUE);
    EXPECT_EQ(Find(0), nullptr);
}

// Answers of PdhEnumObjectItemsA that the list cannot be built from end the lookup
// with null after the calls shown, without a probe.
TEST_F(ProcessCounterLookup, UnusableListAnswersGiveNull) {
    StartAba();
    const PDH_STATUS moreData = static_cast<PDH_STATUS>(PDH_MORE_DATA);
    const struct {
        int from;
        PDH_STATUS status;
        DWORD counterSize, instanceSize;
        int calls;
    } answers[] = {
        {1, moreData, 60, 0xFFFFFFFF, 1},  // two NULs more would wrap the size to 1
        {1, moreData, 0xFFFFFFFF, 10, 1},
        {1, moreData, 60, 0, 1},                                         // not even the closing NUL
        {2, static_cast<PDH_STATUS>(PDH_CSTATUS_NO_OBJECT), 60, 10, 2},  // no second try after another failure
    };
    for (const auto &answer : answers) {
        pdh.itemsCalls = 0;
        pdh.AnswerItemsFrom(answer.from, answer.status, answer.counterSize, answer.instanceSize);
        EXPECT_EQ(Find(10), nullptr);
        EXPECT_EQ(pdh.itemsCalls, answer.calls) << answer.counterSize << " " << answer.instanceSize;
        EXPECT_TRUE(pdh.probes.empty());
    }
}

// A PDH that reports a smaller size after every short buffer: the array still
// doubles, and the composition gives up with null instead of looping.
TEST_F(ProcessCounterLookup, PathSizeThatShrinksEveryTimeGivesNull) {
    pdh.makePathAlwaysShortSize = 1;
    const long live = LiveArrayCount();
    EXPECT_EQ(MakeCounterPath(nullptr, "Process", "a", nullptr, "ID Process", 0), nullptr);
    EXPECT_EQ(LiveArrayCount(), live);
    ASSERT_GE(pdh.makePathCalls.size(), 2u);
    EXPECT_LT(pdh.makePathCalls.size(), 20u) << "not given up";
    for (size_t i = 1; i < pdh.makePathCalls.size(); ++i)
        EXPECT_EQ(pdh.makePathCalls[i].sizeIn, 2 * pdh.makePathCalls[i - 1].sizeIn);
}

TEST_F(ProcessCounterLookup, InstanceListLongerThan1024CharactersIsWalkedWhole) {
    std::string expected;
    for (int i = 0; i < 120; ++i) {
        const std::string name = "a-rather-long-process-name-" + std::to_string(i);
        pdh.Start(name, 1000 + i);
        expected += name;
        expected += '\0';
    }
    expected += '\0';
    ASSERT_GT(expected.size(), 3000u);

    std::unique_ptr<char[]> list(EnumObjectInstances("Process"));
    EXPECT_EQ(std::string(list.get(), expected.size()), expected);

    std::unique_ptr<char[]> path = Find(1119);
    ASSERT_NE(path, nullptr);
    EXPECT_STREQ(path.get(), "\\Process(a-rather-long-process-name-119)\\% Processor Time");
    EXPECT_EQ(pdh.probes.size(), 120u);
}

TEST_F(ProcessCounterLookup, ProcessStartingBetweenSizingAndFillingIsListed) {
    pdh.Start("first", 1);
    pdh.Start("second", 2);
    // The second PdhEnumObjectItemsA call (the one meant to fill) sees a longer list.
    pdh.AtItemsCall(2, [this] { pdh.Start("newcomer", 3); });

    std::unique_ptr<char[]> path = Find(3);
    ASSERT_NE(path, nullptr);
    EXPECT_STREQ(path.get(), "\\Process(newcomer)\\% Processor Time");
    EXPECT_EQ(pdh.itemsCalls, 4);
}

TEST_F(ProcessCounterLookup, ListThatNeverSettlesEndsTheLookupWithNull) {
    pdh.Start("first", 1);
    // A new process appears before every filling call, so the sizes are always stale.
    for (int call = 2; call <= 200; call += 2)
        pdh.AtItemsCall(call, [this, call] { pdh.Start("p" + std::to_string(call), 100 + call); });
    EXPECT_EQ(Find(1), nullptr);
    EXPECT_TRUE(pdh.probes.empty());
    EXPECT_LT(pdh.itemsCalls, 200);
}

TEST_F(ProcessCounterLookup, FailedPathCompositionGivesNull) {
    pdh.Start("a", 1);
    pdh.makePathFailure = static_cast<PDH_STATUS>(PDH_INVALID_ARGUMENT);
    EXPECT_EQ(Find(1), nullptr);
    ASSERT_EQ(pdh.makePathCalls.size(), 1u);

    const long live = LiveArrayCount();
    EXPECT_EQ(MakeCounterPath(nullptr, "Process", "a", nullptr, "ID Process", 0), nullptr);
    EXPECT_EQ(LiveArrayCount(), live);

    // Success without a NUL in the array is no path either: cut to the array, it
    // would name another counter, and unended, it would be read past its end.
    pdh.makePathFailure = 0;
    pdh.makePathUnterminated = true;
    EXPECT_EQ(Find(1), nullptr);
    EXPECT_EQ(pdh.makePathCalls.back().status, ERROR_SUCCESS);
}

TEST_F(ProcessCounterLookup, OutOfMemoryLeavesTheLookupWithNothingHeld) {
    StartAba();
    // While the second probe runs, arm a failure for the next array: the copy of the
    // third name, made while the third probe's query is open.
    pdh.AtAddCounter(2, [] { FailNextArrayAllocation(); });
    const long live = LiveArrayCount();
    EXPECT_THROW(FindProcessCounterPath("Process", "% Processor Time", 30), std::bad_alloc);
    EXPECT_EQ(LiveArrayCount(), live);
    EXPECT_EQ(pdh.queriesOpened, 3);
    EXPECT_EQ(pdh.LiveQueries(), 0);
    EXPECT_EQ(pdh.probes.size(), 2u);
}

TEST_F(ProcessCounterLookup, CountEarlierInstancesCountsExactCopiesAndKeepsOne) {
    CCustomArray<char> seen;
    char name[] = "svc";
    EXPECT_EQ(CountEarlierInstances(&seen, name), 0);
    EXPECT_EQ(CountEarlierInstances(&seen, "SVC"), 0);
    EXPECT_EQ(CountEarlierInstances(&seen, "svc"), 1);
    EXPECT_EQ(CountEarlierInstances(&seen, "svc2"), 0);
    EXPECT_EQ(CountEarlierInstances(&seen, "svc"), 2);
    ASSERT_EQ(seen.GetCount(), 5);
    // The array holds its own copy, not the caller's text.
    EXPECT_NE(seen.GetAt(0), name);
    name[0] = 'X';
    EXPECT_STREQ(seen.GetAt(0), "svc");
}

// Wine's pdh.dll exports PdhEnumObjectsA as an unimplemented stub that aborts the
// process, so only that one call is answered here, as an unimplemented function
// would; every other call reaches the real pdh.dll, which does not implement the
// "Process" object.
PDH_STATUS WINAPI EnumObjectsNotImplemented(LPCSTR, LPCSTR, LPSTR, LPDWORD, DWORD, BOOL) {
    return static_cast<PDH_STATUS>(PDH_NOT_IMPLEMENTED);
}

TEST(ProcessCounterLookupRealPdh, GivesNullCleanly) {
    ScopedSeam<seams::PdhEnumObjectsAFn> noRefresh(seams::PdhEnumObjectsA, EnumObjectsNotImplemented);
    ASSERT_EQ(seams::PdhEnumObjectItemsA, &::PdhEnumObjectItemsA);
    ASSERT_EQ(seams::PdhOpenQueryA, &::PdhOpenQueryA);

    const long live = LiveArrayCount();
    char *path = FindProcessCounterPath("Process", "% Processor Time", GetCurrentProcessId());
    EXPECT_EQ(path, nullptr);
    delete[] path;
    EXPECT_EQ(LiveArrayCount(), live);

    std::unique_ptr<char[]> list(EnumObjectInstances("Process"));
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list[0], '\0');
}

// Wine's PdhMakeCounterPathA answers a short buffer with PDH_MORE_DATA, not
// PDH_INSUFFICIENT_BUFFER: the array must still grow to the whole path.
TEST(ProcessCounterLookupRealPdh, MakeCounterPathGrowsOnTheRealShortBufferStatus) {
    ASSERT_EQ(seams::PdhMakeCounterPathA, &::PdhMakeCounterPathA);
    const std::string instance(150, 'r');
    const long live = LiveArrayCount();
    std::unique_ptr<char[]> path(MakeCounterPath(nullptr, "Process", instance.c_str(), nullptr, "ID Process", 2));
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(std::string(path.get()), "\\Process(" + instance + "#2)\\ID Process");
    EXPECT_EQ(LiveArrayCount(), live + 1);
}
