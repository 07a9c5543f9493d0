#include "support/owned_array.h"

#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/array_alloc_probe.h"

namespace {

// iconv -f UTF-8 -t CP932 of "指定された要素のインデックスが範囲外"
const char kOutOfRangeSjis[] =
    "\x8e\x77\x92\xe8\x82\xb3\x82\xea\x82\xbd\x97\x76\x91\x66\x82\xcc\x83\x43\x83\x93"
    "\x83\x66\x83\x62\x83\x4e\x83\x58\x82\xaa\x94\xcd\x88\xcd\x8a\x4f";

char *NewText(const char *text) {
    char *copy = new char[std::strlen(text) + 1];
    std::strcpy(copy, text);
    return copy;
}

// Runs GetAt(index) and returns the bytes of the `char *` it throws; fails the test
// when nothing, or something else, is thrown.
std::string OutOfRangeText(CCustomArray<char> &array, int index) {
    try {
        array.GetAt(index);
    } catch (char *text) {
        return text;
    } catch (...) {
        ADD_FAILURE() << "GetAt(" << index << ") threw something other than char *";
        return std::string();
    }
    ADD_FAILURE() << "GetAt(" << index << ") did not throw";
    return std::string();
}

struct ReleaseCall {
    void *context;
    char *text;
    long liveArrays;
};

void RecordRelease(void *context, char *text) {
    auto *calls = static_cast<std::vector<ReleaseCall> *>(context);
    calls->push_back({context, text, LiveArrayCount()});
}

}  // namespace

TEST(OwnedArray, NewArrayIsEmptyAndRejectsEveryIndex) {
    CCustomArray<char> array;
    EXPECT_EQ(array.GetCount(), 0);
    EXPECT_EQ(array.Capacity, 0);
    EXPECT_EQ(array.Items, nullptr);
    EXPECT_EQ(array.OnRelease, nullptr);
    EXPECT_EQ(array.OnReleaseData, nullptr);

    EXPECT_EQ(OutOfRangeText(array, 0), std::string(kOutOfRangeSjis));
    const long before = ArrayAllocationCount();
    array.Clear();
    EXPECT_EQ(array.GetCount(), 0);
    EXPECT_EQ(array.Items, nullptr);
    EXPECT_EQ(ArrayAllocationCount(), before);
}

TEST(OwnedArray, OutOfRangeIndexThrowsTheShiftJisTextAndChangesNothing) {
    CCustomArray<char> array;
    char *first = NewText("first");
    char *second = NewText("second");
    char *third = NewText("third");
    array.Add(first);
    array.Add(second);
    array.Add(third);

    EXPECT_EQ(array.GetAt(2), third);
    EXPECT_EQ(array.GetAt(0), first);
    for (int index : {-1, 3, 100, -2147483647 - 1}) {
        const std::string thrown = OutOfRangeText(array, index);
        ASSERT_EQ(thrown.size(), 36u) << "index " << index;
        EXPECT_EQ(std::memcmp(thrown.data(), kOutOfRangeSjis, 36), 0) << "index " << index;
    }
    EXPECT_EQ(array.GetCount(), 3);
    EXPECT_EQ(array.Capacity, 3);
    EXPECT_STREQ(array.GetAt(1), "second");
}

TEST(OwnedArray, EachAdditionGrowsTheBlockByExactlyOneSlot) {
    CCustomArray<char> array;
    std::vector<char *> texts;
    for (int i = 0; i < 20; ++i) texts.push_back(NewText(std::to_string(i).c_str()));

    for (int i = 0; i < 20; ++i) {
        const long before = ArrayAllocationCount();
        array.Add(texts[i]);
        EXPECT_EQ(ArrayAllocationCount() - before, 1) << "addition " << i + 1;
        EXPECT_EQ(array.Capacity, i + 1);
        EXPECT_EQ(array.GetCount(), i + 1);
    }
    // The copies into each new block kept every pointer in place.
    for (int i = 0; i < 20; ++i) EXPECT_EQ(array.GetAt(i), texts[i]);
}

TEST(OwnedArray, ReserveAllocatesOnlyWhenAskedForMore) {
    CCustomArray<char> array;
    const long start = ArrayAllocationCount();
    array.Reserve(0);
    array.Reserve(-5);
    EXPECT_EQ(array.Items, nullptr);
    EXPECT_EQ(array.Capacity, 0);
    EXPECT_EQ(ArrayAllocationCount(), start);

    array.Reserve(10);
    EXPECT_EQ(array.Capacity, 10);
    char **block = array.Items;
    ASSERT_NE(block, nullptr);

    std::vector<char *> texts;
    for (int i = 0; i < 5; ++i) texts.push_back(NewText("x"));
    const long beforeAdds = ArrayAllocationCount();
    for (char *text : texts) array.Add(text);
    array.Reserve(7);
    EXPECT_EQ(ArrayAllocationCount(), beforeAdds);
    EXPECT_EQ(array.Items, block);
    EXPECT_EQ(array.Capacity, 10);
    EXPECT_EQ(array.GetCount(), 5);

    // Growing keeps the held texts.
    array.Reserve(12);
    EXPECT_EQ(array.Capacity, 12);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(array.GetAt(i), texts[i]);
}

TEST(OwnedArray, ClearReleasesInOrderThroughTheHookAndKeepsTheBlock) {
    std::vector<ReleaseCall> calls;
    CCustomArray<char> array;
    array.OnRelease = RecordRelease;
    array.OnReleaseData = &calls;

    char *texts[] = {NewText("one"), NewText("two"), NewText("three")};
    for (char *text : texts) array.Add(text);
    char **block = array.Items;
    const long live = LiveArrayCount();

    array.Clear();
    EXPECT_EQ(array.GetCount(), 0);
    EXPECT_EQ(array.Capacity, 3);
    EXPECT_EQ(array.Items, block);
    EXPECT_EQ(LiveArrayCount(), live - 3);
    ASSERT_EQ(calls.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(calls[i].context, &calls);
        EXPECT_EQ(calls[i].text, texts[i]);
        // Each text is still allocated while its hook runs.
        EXPECT_EQ(calls[i].liveArrays, live - i) << "release " << i;
    }
    EXPECT_EQ(OutOfRangeText(array, 0), std::string(kOutOfRangeSjis));

    // Refilling up to the kept capacity needs no new block.
    char *again[] = {NewText("four"), NewText("five"), NewText("six")};
    const long beforeRefill = ArrayAllocationCount();
    for (char *text : again) array.Add(text);
    EXPECT_EQ(ArrayAllocationCount(), beforeRefill);
    EXPECT_EQ(array.Items, block);
    EXPECT_STREQ(array.GetAt(2), "six");
}

// Records like RecordRelease, but throws instead for the texts listed in `refuse`.
struct RefusingHook {
    std::vector<std::string> released;
    std::vector<std::string> refuse;
    static void Call(void *context, char *text) {
        auto *hook = static_cast<RefusingHook *>(context);
        for (const std::string &refused : hook->refuse)
            if (refused == text) throw std::runtime_error("hook refused " + refused);
        hook->released.push_back(text);
    }
};

TEST(OwnedArray, HookThatThrowsNeitherReleasesTwiceNorLosesAText) {
    const long live = LiveArrayCount();
    RefusingHook hook;
    {
        CCustomArray<char> array;
        array.OnRelease = RefusingHook::Call;
        array.OnReleaseData = &hook;
        for (const char *text : {"a", "b", "c", "d"}) array.Add(NewText(text));

        // "a" is released, then the hook throws for "c"; "c" and "d" stay held, in order.
        hook.refuse = {"c"};
        EXPECT_THROW(array.Clear(), std::runtime_error);
        EXPECT_EQ(hook.released, (std::vector<std::string>{"a", "b"}));
        ASSERT_EQ(array.GetCount(), 2);
        EXPECT_STREQ(array.GetAt(0), "c");
        EXPECT_STREQ(array.GetAt(1), "d");
        EXPECT_EQ(array.Capacity, 4);
        EXPECT_EQ(LiveArrayCount(), live + 3);  // two texts and the block

        // A hook that throws at once leaves everything held.
        hook.refuse = {"c", "d"};
        EXPECT_THROW(array.Clear(), std::runtime_error);
        EXPECT_EQ(array.GetCount(), 2);

        // Once the hook lets them go, the next Clear releases each remaining text once.
        hook.refuse.clear();
        array.Clear();
        EXPECT_EQ(hook.released, (std::vector<std::string>{"a", "b", "c", "d"}));
        EXPECT_EQ(array.GetCount(), 0);
        EXPECT_EQ(LiveArrayCount(), live + 1);

        // The destructor cannot throw: a refusing hook's texts are released all the same.
        array.Add(NewText("e"));
        array.Add(NewText("f"));
        hook.refuse = {"e"};
    }
    EXPECT_EQ(hook.released.back(), "f");
    EXPECT_EQ(LiveArrayCount(), live);
}

TEST(OwnedArray, NullTextIsHeldAndReleasedHarmlessly) {
    std::vector<ReleaseCall> calls;
    {
        CArray<char> array;
        array.OnRelease = RecordRelease;
        array.OnReleaseData = &calls;
        array.Add(nullptr);
        array.Add(NewText("after null"));
        EXPECT_EQ(array.GetCount(), 2);
        EXPECT_EQ(array.GetAt(0), nullptr);
    }
    // The destructor cleared through the hook, null first.
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].context, &calls);
    EXPECT_EQ(calls[0].text, nullptr);
    EXPECT_NE(calls[1].text, nullptr);
}

TEST(OwnedArray, DestructionReleasesTextsAndBlock) {
    const long live = LiveArrayCount();
    {
        CCustomArray<char> array;
        array.Add(NewText("a"));
        array.Add(NewText("b"));
        array.Add(NewText("c"));
        EXPECT_EQ(LiveArrayCount(), live + 4);  // three texts and the block
    }
    EXPECT_EQ(LiveArrayCount(), live);

    CCustomArray<char> *onHeap = new CCustomArray<char>;
    onHeap->Add(NewText("heap"));
    delete onHeap;
    EXPECT_EQ(LiveArrayCount(), live);

    CCustomArray<char> *absent = nullptr;
    delete absent;
    EXPECT_EQ(LiveArrayCount(), live);
}

TEST(OwnedArray, AllocationFailureInReserveLeavesTheArrayAsItWas) {
    CCustomArray<char> array;
    FailNextArrayAllocation();
    EXPECT_THROW(array.Reserve(4), std::bad_alloc);
    EXPECT_EQ(array.Items, nullptr);
    EXPECT_EQ(array.Capacity, 0);

    char *first = NewText("first");
    char *second = NewText("second");
    array.Add(first);
    array.Add(second);
    char **block = array.Items;

    char *rejected = NewText("rejected");
    FailNextArrayAllocation();
    EXPECT_THROW(array.Add(rejected), std::bad_alloc);
    EXPECT_EQ(array.GetCount(), 2);
    EXPECT_EQ(array.Capacity, 2);
    EXPECT_EQ(array.Items, block);
    EXPECT_EQ(array.GetAt(0), first);
    EXPECT_EQ(array.GetAt(1), second);
    EXPECT_EQ(OutOfRangeText(array, 2), std::string(kOutOfRangeSjis));

    // The rejected text is still ours: releasing it here must be its only release.
    EXPECT_STREQ(rejected, "rejected");
    delete[] rejected;

    // The next addition works as if nothing had happened.
    array.Add(NewText("third"));
    EXPECT_EQ(array.Capacity, 3);
    EXPECT_STREQ(array.GetAt(2), "third");
}
