#include "support/shared_memory.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "framework/exception.h"
#include "tests/children/child_io.h"
#include "tests/win_process.h"

namespace {

const DWORD kLineWaitMs = 30000;

// iconv -f UTF-8 -t CP932 of "ファイルマッピングオブジェクトのハンドル取得に失敗"
const char kMappingFailedSjis[] =
    "\x83\x74\x83\x40\x83\x43\x83\x8b\x83\x7d\x83\x62\x83\x73\x83\x93\x83\x4f\x83\x49\x83\x75\x83\x57\x83\x46"
    "\x83\x4e\x83\x67\x82\xcc\x83\x6e\x83\x93\x83\x68\x83\x8b\x8e\xe6\x93\xbe\x82\xc9\x8e\xb8\x94\x73";

std::string BlockName() { return "OrvaneBlock_" + UniqueSuffix(); }

std::string ChildCommand(const std::string &arguments) {
    return "\"" + SiblingProgramPath("memmap_child.exe") + "\" " + arguments;
}

// Runs "memmap_child trylock <mutex name>" and gives back its report line.
std::string TryLockElsewhere(const std::string &mutexName) {
    ChildProcess child(ChildCommand("trylock " + mutexName));
    std::string line;
    if (!child.WaitForLine("trylock", kLineWaitMs, &line)) return "no answer: " + child.UnreadOutput();
    return line;
}

std::string ExpectMappingFailure(const std::string &name) {
    try {
        CMemMapFile<char> block(name.c_str(), 0, 1024, nullptr);
    } catch (const Exception &error) {
        return error.Message.c_str();
    }
    return "no exception";
}

decltype(&CreateFileMappingA) createFileMapping = nullptr;
HANDLE secondMutexHandle = nullptr;

// Opens the block's mutex a second time while the constructor owns it, then makes
// the mapping as the constructor asked.
HANDLE WINAPI OpenMutexThenCreateMapping(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protection, DWORD sizeHigh,
                                         DWORD sizeLow, LPCSTR name) {
    secondMutexHandle = OpenMutexA(SYNCHRONIZE, FALSE, ("mtx" + std::string(name)).c_str());
    return createFileMapping(file, security, protection, sizeHigh, sizeLow, name);
}

}  // namespace

TEST(MemMapFile, NamesTheMutexMtxFollowedByTheBlockName) {
    const std::string name = BlockName();
    bool createdNew = false;
    CMemMapFile<char> block(name.c_str(), 0, 1024, &createdNew);
    EXPECT_TRUE(createdNew);
    const std::string mutexName = "mtx" + name;
    EXPECT_STREQ(block.MutexName, mutexName.c_str());
    // n + 3 characters in an array of exactly n + 4 bytes.
    EXPECT_EQ(_msize(block.MutexName), name.size() + 4);

    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, mutexName.c_str());
    EXPECT_NE(mutex, nullptr);
    if (mutex) CloseHandle(mutex);
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
    EXPECT_NE(mapping, nullptr);
    if (mapping) CloseHandle(mapping);
}

TEST(MemMapFile, SecondHolderInAnotherProcessSeesTheSameBytes) {
    const std::string name = BlockName();
    bool createdNew = false;
    CMemMapFile<char> block(name.c_str(), 0, 1024, &createdNew);
    EXPECT_TRUE(createdNew);
    char *view = block.GetView();
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(block.GetView(), view);

    const std::string ours = "from the test...";  // 16 bytes, the child's "head"
    block.Lock();
    std::memcpy(view, ours.data(), ours.size());
    block.Unlock();

    const std::string theirs = "child wrote this";
    NamedEvent hold;
    ChildProcess child(ChildCommand("open " + name + " --write-hex " + ToHex(theirs) + " --hold-event " + hold.Name()));
    std::string line;
    ASSERT_TRUE(child.WaitForLine("open", kLineWaitMs, &line)) << child.UnreadOutput();
    EXPECT_EQ(FieldOf(line, "created"), "0");
    EXPECT_EQ(FromHex(FieldOf(line, "head")), ours);
    ASSERT_TRUE(child.WaitForLine("written", kLineWaitMs));

    block.Lock();
    EXPECT_EQ(std::string(view, theirs.size()), theirs);
    block.Unlock();
    EXPECT_EQ(block.GetView(), view);
    hold.Set();
    EXPECT_TRUE(child.WaitExit(kLineWaitMs));
}

TEST(MemMapFile, BlockLivesWhileAnyHolderRemainsAndStartsZeroFilledAfterwards) {
    const std::string name = BlockName();
    NamedEvent hold;
    std::unique_ptr<ChildProcess> child;
    {
        bool createdNew = false;
        CMemMapFile<char> first(name.c_str(), 0, 1024, &createdNew);
        EXPECT_TRUE(createdNew);
        std::memset(first.GetView(), 0x5a, 1024);
        child.reset(new ChildProcess(ChildCommand("open " + name + " --hold-event " + hold.Name())));
        std::string line;
        ASSERT_TRUE(child->WaitForLine("open", kLineWaitMs, &line)) << child->UnreadOutput();
        EXPECT_EQ(FieldOf(line, "created"), "0");
    }
    {
        // The child still holds the block: it is opened, not created, and keeps its bytes.
        bool createdNew = true;
        CMemMapFile<char> again(name.c_str(), 0, 1024, &createdNew);
        EXPECT_FALSE(createdNew);
        EXPECT_EQ(static_cast<unsigned char>(again.GetView()[1023]), 0x5a);
    }
    hold.Set();
    ASSERT_TRUE(child->WaitExit(kLineWaitMs));

    bool createdNew = false;
    CMemMapFile<char> fresh(name.c_str(), 0, 1024, &createdNew);
    EXPECT_TRUE(createdNew);
    const std::vector<char> zeros(1024, 0);
    EXPECT_EQ(std::memcmp(fresh.GetView(), zeros.data(), zeros.size()), 0);
}

TEST(MemMapFile, DestroysWithoutAViewAndClosesEverything) {
    const std::string name = BlockName();
    {
        bool createdNew = false;
        CMemMapFile<char> block(name.c_str(), 0, 1024, &createdNew);
        EXPECT_TRUE(createdNew);
    }
    HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, ("mtx" + name).c_str());
    EXPECT_EQ(mutex, nullptr);
    if (mutex) CloseHandle(mutex);
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
    EXPECT_EQ(mapping, nullptr);
    if (mapping) CloseHandle(mapping);
}

TEST(MemMapFile, NameOfAMutexThrowsAndLeavesTheLockFree) {
    const std::string name = BlockName();
    HANDLE other = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(other, nullptr);

    EXPECT_EQ(ExpectMappingFailure(name), kMappingFailedSjis);
    // The constructor created "mtx" + name and owned it; it must have given it back
    // and closed it: the mutex is gone, and another process creates and takes it at once.
    HANDLE leftOver = OpenMutexA(SYNCHRONIZE, FALSE, ("mtx" + name).c_str());
    EXPECT_EQ(leftOver, nullptr);
    if (leftOver) CloseHandle(leftOver);
    EXPECT_EQ(TryLockElsewhere("mtx" + name), "trylock existed=0 wait=0");
    CloseHandle(other);
}

// An object of another kind holds the mutex's name, so only the mutex cannot be
// made: the block still works, without a lock (Lock gives WAIT_FAILED, Unlock
// FALSE), and the destructor leaves the other object alone.
TEST(MemMapFile, MutexNameTakenByAnEventLeavesABlockWithoutLock) {
    const std::string name = BlockName();
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, ("mtx" + name).c_str());
    ASSERT_NE(event, nullptr);
    {
        bool createdNew = false;
        CMemMapFile<char> block(name.c_str(), 0, 1024, &createdNew);
        EXPECT_TRUE(createdNew);
        EXPECT_EQ(block.Mutex, nullptr);
        EXPECT_EQ(block.Lock(), WAIT_FAILED);
        EXPECT_FALSE(block.Unlock());
        ASSERT_NE(block.GetView(), nullptr);
        std::strcpy(block.GetView(), "unlocked");
        CMemMapFile<char> second(name.c_str(), 0, 1024, &createdNew);
        EXPECT_FALSE(createdNew);
        ASSERT_NE(second.GetView(), nullptr);
        EXPECT_STREQ(second.GetView(), "unlocked");
    }
    EXPECT_TRUE(SetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
    EXPECT_EQ(mapping, nullptr);
    if (mapping) CloseHandle(mapping);
    // Neither can be made: the mapping's failure is thrown, with no mutex to give back.
    HANDLE squatter = CreateMutexA(nullptr, FALSE, name.c_str());
    EXPECT_EQ(ExpectMappingFailure(name), kMappingFailedSjis);
    CloseHandle(squatter);
    CloseHandle(event);
}

// With no other handle the mutex goes with the constructor's own, owned or not; a
// handle taken while the constructor owns it shows whether it was given back.
TEST(MemMapFile, FailedConstructorGivesBackTheMutexItCreated) {
    const std::string name = BlockName();
    HANDLE other = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(other, nullptr);
    // Taken from the slot, not from the name: a compiler that sees the name as the only
    // value ever stored may call the import directly, through the swapped slot, and
    // the wrapper would call itself until the stack overflows.
    ImportSwap openMutexFirst(&CreateFileMappingA, &OpenMutexThenCreateMapping, &createFileMapping);
    ASSERT_TRUE(openMutexFirst.Installed());
    const std::string message = ExpectMappingFailure(name);
    openMutexFirst.Restore();

    EXPECT_EQ(message, kMappingFailedSjis);
    ASSERT_NE(secondMutexHandle, nullptr);
    EXPECT_EQ(TryLockElsewhere("mtx" + name), "trylock existed=1 wait=0");
    CloseHandle(secondMutexHandle);
    CloseHandle(other);
}

TEST(MemMapFile, FailedConstructorLeavesAnEarlierHoldOfTheMutexAlone) {
    const std::string name = BlockName();
    HANDLE other = CreateMutexA(nullptr, FALSE, name.c_str());
    ASSERT_NE(other, nullptr);
    // This thread holds "mtx" + name already; the constructor is not given ownership.
    HANDLE held = CreateMutexA(nullptr, TRUE, ("mtx" + name).c_str());
    ASSERT_NE(held, nullptr);

    EXPECT_EQ(ExpectMappingFailure(name), kMappingFailedSjis);
    EXPECT_EQ(TryLockElsewhere("mtx" + name), "trylock existed=1 wait=" + std::to_string(WAIT_TIMEOUT));
    EXPECT_TRUE(ReleaseMutex(held));
    EXPECT_EQ(TryLockElsewhere("mtx" + name), "trylock existed=1 wait=0");
    CloseHandle(held);
    CloseHandle(other);
}

TEST(MemMapFile, ConstructorLeavesTheLockOfAnotherObjectAlone) {
    const std::string name = BlockName();
    CMemMapFile<char> first(name.c_str(), 0, 1024, nullptr);
    EXPECT_EQ(first.Lock(), WAIT_OBJECT_0);
    {
        bool createdNew = true;
        CMemMapFile<char> second(name.c_str(), 0, 1024, &createdNew);
        EXPECT_FALSE(createdNew);
        EXPECT_EQ(TryLockElsewhere("mtx" + name), "trylock existed=1 wait=" + std::to_string(WAIT_TIMEOUT));
        // Destroying the second object locks and unlocks once; the first hold remains.
    }
    EXPECT_EQ(TryLockElsewhere("mtx" + name), "trylock existed=1 wait=" + std::to_string(WAIT_TIMEOUT));
    EXPECT_TRUE(first.Unlock());
    EXPECT_FALSE(first.Unlock());
    EXPECT_EQ(TryLockElsewhere("mtx" + name), "trylock existed=1 wait=0");
}

TEST(MemMapFile, LockSerialisesIncrementsAcrossProcesses) {
    const std::string name = BlockName();
    CMemMapFile<char> block(name.c_str(), 0, 1024, nullptr);
    ASSERT_NE(block.GetView(), nullptr);

    const int kProcesses = 4;
    const int kIncrements = 1500;
    NamedEvent start;
    std::vector<std::unique_ptr<ChildProcess>> children;
    for (int i = 0; i < kProcesses; ++i) {
        children.emplace_back(new ChildProcess(
            ChildCommand("count " + name + " " + std::to_string(kIncrements) + " --start-event " + start.Name())));
        ASSERT_TRUE(children.back()->WaitForLine("ready", kLineWaitMs)) << children.back()->UnreadOutput();
    }
    start.Set();
    for (auto &child : children) ASSERT_TRUE(child->WaitForLine("counted", 120000)) << child->UnreadOutput();

    block.Lock();
    LONG total = 0;
    std::memcpy(&total, block.GetView(), sizeof total);
    block.Unlock();
    EXPECT_EQ(total, kProcesses * kIncrements);
}

namespace {
struct LockProbe {
    CMemMapFile<char> *block;
    DWORD lockResult;
    BOOL unlockResult;
};

DWORD WINAPI LockAndUnlock(void *context) {
    auto *probe = static_cast<LockProbe *>(context);
    probe->lockResult = probe->block->Lock();
    probe->unlockResult = probe->block->Unlock();
    return 0;
}

// Lock and Unlock on a thread of their own, so that a lock that never comes fails
// the test instead of hanging it.
bool LockWithin(CMemMapFile<char> &block, DWORD timeoutMs, LockProbe &probe) {
    probe = {&block, WAIT_FAILED, FALSE};
    HANDLE thread = CreateThread(nullptr, 0, LockAndUnlock, &probe, 0, nullptr);
    const bool finished = WaitForSingleObject(thread, timeoutMs) == WAIT_OBJECT_0;
    if (!finished) TerminateThread(thread, 1);
    CloseHandle(thread);
    return finished;
}
}  // namespace

TEST(MemMapFile, LockTakesOverFromAHolderThatWasKilled) {
    const std::string name = BlockName();
    CMemMapFile<char> block(name.c_str(), 0, 1024, nullptr);
    ChildProcess child(ChildCommand("lockhold " + name));
    ASSERT_TRUE(child.WaitForLine("locked", kLineWaitMs)) << child.UnreadOutput();

    LockProbe probe;
    ASSERT_TRUE(LockWithin(block, 500, probe) == false) << "the lock was free while the child held it";
    child.Kill();
    ASSERT_TRUE(LockWithin(block, kLineWaitMs, probe));
    EXPECT_EQ(probe.lockResult, WAIT_ABANDONED);
    EXPECT_TRUE(probe.unlockResult);
}
