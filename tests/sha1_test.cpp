#include "support/sha1.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
#include <cpuid.h>
#endif

#include "support/compiler.h"
#include "support/sha1_paths.h"
#include "tests/hex.h"
#include "tests/sha1_paths_util.h"

namespace {

using Hasher = Sha1Hasher;
const Hasher kPublic{"dispatched", nullptr};

std::string DigestInPieces(const void *message, const std::vector<size_t> &pieces, const Hasher &hasher) {
    unsigned char digest[20];
    hasher.DigestInPieces(message, pieces, digest);
    return ToHex(digest, 20);
}

std::string DigestInOneUpdate(const std::string &message, const Hasher &hasher = kPublic) {
    return DigestInPieces(message.data(), {message.size()}, hasher);
}

std::string DigestByteByByte(const std::string &message, const Hasher &hasher) {
    return DigestInPieces(message.data(), std::vector<size_t>(message.size(), 1), hasher);
}

std::string HexOfData(const void *data, uint32_t length) {
    char out[41];
    Sha1HexOfData(data, length, out);
    return out;
}

struct KnownAnswer {
    std::string message;
    const char *digest;
};

// FIPS 180-1 examples and messages of 'a' around the padding boundaries (the
// digests of the latter as sha1sum prints them).
const KnownAnswer kKnownAnswers[] = {
    {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
    {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
    {std::string(55, 'a'), "c1c8bbdc22796e28c0e15163d20899b65621d65a"},
    {std::string(56, 'a'), "c2db330f6083854c99d4b5bfb6e8f29f201be699"},
    {std::string(63, 'a'), "03f09f5b158a7a8cdad920bddc29b81c18a551f5"},
    {std::string(64, 'a'), "0098ba824b5c16427bd7a1122a5a442a25ec644d"},
    {std::string(119, 'a'), "ee971065aaa017e0632a8ca6c77bb3bf8b1dfc56"},
    {std::string(120, 'a'), "f34c1488385346a55709ba056ddd08280dd4c6d6"},
};

TEST(Sha1, KnownAnswersInOneUpdateByteByByteAndAtEverySplit) {
    for (const Hasher &hasher : Sha1HashersOfThisCpu()) {
        for (const KnownAnswer &known : kKnownAnswers) {
            SCOPED_TRACE(hasher.name + ", message of " + std::to_string(known.message.size()) + " bytes");
            EXPECT_EQ(DigestInOneUpdate(known.message, hasher), known.digest);
            EXPECT_EQ(DigestByteByByte(known.message, hasher), known.digest);
            for (size_t split = 0; split <= known.message.size(); ++split)
                ASSERT_EQ(DigestInPieces(known.message.data(), {split, known.message.size() - split}, hasher),
                          known.digest)
                    << "split at " << split;
        }
    }
    for (const KnownAnswer &known : kKnownAnswers)
        EXPECT_EQ(HexOfData(known.message.data(), static_cast<uint32_t>(known.message.size())), known.digest);
}

TEST(Sha1, OneMillionA) {
    const std::string message(1000000, 'a');
    for (const Hasher &hasher : Sha1HashersOfThisCpu()) {
        SCOPED_TRACE(hasher.name);
        EXPECT_EQ(DigestInOneUpdate(message, hasher), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
        // Pieces of 1000 bytes start at every offset within a block over time.
        EXPECT_EQ(DigestInPieces(message.data(), std::vector<size_t>(1000, 1000), hasher),
                  "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
    }
}

TEST(Sha1, MessageFedInFourUpdatesMatchesOneUpdate) {
    std::string message;
    for (int i = 0; i < 177; ++i) message += static_cast<char>(i * 7 + 3);
    for (const Hasher &hasher : Sha1HashersOfThisCpu())
        EXPECT_EQ(DigestInPieces(message.data(), {10, 100, 3, 64}, hasher), DigestInOneUpdate(message)) << hasher.name;
}

// Each path against the portable one: every length up to 1100 at every
// alignment, random splits (runs of 0 to 9 blocks and odd tails), and one
// update of many blocks.
TEST(Sha1Paths, EveryPathThisCpuRunsMatchesPortable) {
    const Hasher portable{"portable", Sha1FunctionsOf(Sha1Path::kPortable)};
    std::mt19937 random(8);
    std::string storage(1 << 20, '\0');
    for (char &c : storage) c = static_cast<char>(random());
    for (const Hasher &hasher : Sha1HashersOfThisCpu()) {
        SCOPED_TRACE(hasher.name);
        for (size_t length = 0; length <= 1100; ++length) {
            const Sha1ExactCopy copy(storage.data(), length, length % 4);
            const unsigned char *message = copy.data();
            const size_t split = random() % (length + 1);
            const std::string expected = DigestInPieces(message, {length}, portable);
            ASSERT_EQ(DigestInPieces(message, {length}, hasher), expected) << length;
            ASSERT_EQ(DigestInPieces(message, {split, length - split}, hasher), expected)
                << length << " split at " << split;
        }
        for (int round = 0; round < 50; ++round) {
            const size_t offset = random() % 64;
            std::vector<size_t> pieces;
            size_t length = 0;
            for (size_t at = offset; at < 5000; at += pieces.back(), length += pieces.back())
                pieces.push_back(random() % 2 ? 64 * (random() % 10) : random() % 200);
            const Sha1ExactCopy copy(storage.data(), length, offset);
            const unsigned char *message = copy.data();
            ASSERT_EQ(DigestInPieces(message, pieces, hasher), DigestInPieces(message, pieces, portable))
                << "round " << round;
        }
        const Sha1ExactCopy many(storage.data(), storage.size() - 40, 3);
        EXPECT_EQ(DigestInPieces(many.data(), {storage.size() - 40}, hasher),
                  DigestInPieces(many.data(), {storage.size() - 40}, portable));
    }
}

// A count of 0 reads nothing (a read at null would fault) and leaves the state.
TEST(Sha1Paths, ACountOfZeroBlocksReadsNothing) {
    for (Sha1Path path : Sha1PathsOfThisCpu()) {
        uint32_t state[5] = {1, 2, 3, 4, 5};
        Sha1BlocksOf(path)(state, nullptr, 0);
        const uint32_t unchanged[5] = {1, 2, 3, 4, 5};
        EXPECT_EQ(std::memcmp(state, unchanged, sizeof state), 0) << Sha1PathName(path);
    }
}

// Each path's table names that path's own functions. A function of a path that needs
// more of the CPU gives the same digests on a CPU that has it (the AVX2 path hands a
// lone block to the SSSE3 one), so only the functions themselves show such a mix-up,
// which would fault on a CPU without AVX2.
TEST(Sha1Paths, EachPathsTableNamesItsOwnFunctions) {
    struct Own {
        Sha1Path path;
        Sha1BlocksFn blocks;
        Sha1KeepFn keep;
        Sha1FinishFn finish;
    };
    const Own own[] = {
        {Sha1Path::kPortable, Sha1PortableBlocks, Sha1KeepByCopy, Sha1PortableFinish},
#if ORVANE_X86
        {Sha1Path::kSsse3, Sha1Ssse3Blocks, Sha1KeepInChunks, Sha1Ssse3Finish},
        {Sha1Path::kAvx2, Sha1Avx2Blocks, Sha1KeepInChunks, Sha1Avx2Finish},
        {Sha1Path::kShaExtensions, Sha1ShaExtensionsBlocks, Sha1KeepInChunks, Sha1ShaExtensionsFinish},
#endif
    };
    for (const Own &path : own) {
        SCOPED_TRACE(Sha1PathName(path.path));
        const Sha1PathFunctions *functions = Sha1FunctionsOf(path.path);
        ASSERT_NE(functions, nullptr);
        EXPECT_TRUE(functions->blocks == path.blocks) << "blocks";
        EXPECT_TRUE(functions->keep == path.keep) << "keep";
        EXPECT_TRUE(functions->finish == path.finish) << "finish";
        EXPECT_TRUE(Sha1BlocksOf(path.path) == path.blocks) << "Sha1BlocksOf";
    }
    if (!ORVANE_X86) {
        for (Sha1Path path : {Sha1Path::kSsse3, Sha1Path::kAvx2, Sha1Path::kShaExtensions})
            EXPECT_EQ(Sha1FunctionsOf(path), nullptr) << Sha1PathName(path);
    }
}

#if defined(__i386__) && defined(__GNUC__)
// Calls fn with the `count` (1 or more) 4-byte stack arguments at `args` and esp at
// 4 mod 16 before the call: all that a caller built elsewhere owes under the 32-bit
// ABI is 4-byte alignment.
extern "C" void CallWithArgumentsFromMisalignedStack(void (*fn)(), const uint32_t *args,
                                                     int count) asm("orvane_call_from_misaligned_stack");
asm(".text\n"
    "orvane_call_from_misaligned_stack:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl %esi\n"
    "  movl 12(%ebp), %esi\n"
    "  movl 16(%ebp), %ecx\n"
    "  andl $-16, %esp\n"
    // Room so that esp ends at 4 mod 16 once the arguments are pushed.
    "  leal 4(,%ecx,4), %eax\n"
    "  negl %eax\n"
    "  andl $15, %eax\n"
    "  subl %eax, %esp\n"
    "1:\n"
    "  pushl -4(%esi,%ecx,4)\n"
    "  decl %ecx\n"
    "  jnz 1b\n"
    "  call *8(%ebp)\n"
    "  movl -4(%ebp), %esi\n"
    "  movl %ebp, %esp\n"
    "  popl %ebp\n"
    "  ret\n");

template <typename Fn>
void CallFromMisalignedStack(Fn fn, std::initializer_list<uint32_t> args) {
    CallWithArgumentsFromMisalignedStack(reinterpret_cast<void (*)()>(fn), args.begin(), static_cast<int>(args.size()));
}

uint32_t Arg(const void *p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

// Each path's block function, and its keeping and finishing of a message's end.
TEST(Sha1Paths, EveryPathRunsFromAStackAlignedOnlyTo4Bytes) {
    unsigned char data[3 * 64];
    for (size_t i = 0; i < sizeof data; ++i) data[i] = static_cast<unsigned char>(i * 13 + 7);
    const Hasher portable{"portable", Sha1FunctionsOf(Sha1Path::kPortable)};
    for (Sha1Path path : Sha1PathsOfThisCpu()) {
        const Sha1PathFunctions &functions = *Sha1FunctionsOf(path);
        for (uint32_t count : {1, 3}) {  // a lone block, and a pair with one after it
            uint32_t expected[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
            uint32_t state[5];
            std::memcpy(state, expected, sizeof state);
            Sha1PortableBlocks(expected, data, count);
            CallFromMisalignedStack(functions.blocks, {Arg(state), Arg(data), count});
            EXPECT_EQ(std::memcmp(state, expected, sizeof state), 0) << Sha1PathName(path) << ", " << count;
        }
        for (uint32_t length : {40, 60}) {  // a last block of its own, and one that needs another
            Sha1Context context;
            Sha1Init(&context);
            unsigned char digest[20];
            CallFromMisalignedStack(functions.keep, {Arg(context.block), Arg(data), 5, length});
            const uint64_t bits = 8 * length;
            CallFromMisalignedStack(functions.finish, {Arg(context.state), Arg(context.block), length,
                                                       static_cast<uint32_t>(bits), 0, Arg(digest)});
            EXPECT_EQ(ToHex(digest, 20), DigestInPieces(data + 5, {length}, portable))
                << Sha1PathName(path) << ", " << length;
        }
    }
}
#endif

// The Windows and host runs both name the path they dispatch to.
TEST(Sha1Paths, DispatchedPathRunsHereAndMatchesPortable) {
    const Sha1Path path = Sha1DispatchedPath();
    std::printf("[ sha1 path ] %s\n", Sha1PathName(path));
    EXPECT_TRUE(Sha1CpuRuns(path, ReadSha1Cpuid()));
    EXPECT_EQ(Sha1PathName(path), Sha1PathName(Sha1PathsOfThisCpu().back())) << "not the fastest path that runs here";

    unsigned char storage[64 + 3];
    for (size_t i = 0; i < sizeof storage; ++i) storage[i] = static_cast<unsigned char>(i * 91 + 5);
    Sha1Context dispatched;
    Sha1Init(&dispatched);
    uint32_t portable[5];
    std::memcpy(portable, dispatched.state, sizeof portable);
    Sha1Transform(&dispatched, storage + 3);
    Sha1PortableBlocks(portable, storage + 3, 1);
    EXPECT_EQ(std::memcmp(dispatched.state, portable, sizeof portable), 0);
}

// The counts after Sha1Final give away how many padding bytes were absorbed and
// how many blocks the finalisation compressed.
TEST(Sha1, PaddingLengthsAndFinalBlocks) {
    struct Case {
        uint32_t messageLength, padding, finalBlocks;
    };
    for (Case c : {Case{55, 1, 1}, Case{56, 64, 2}, Case{63, 57, 2}, Case{64, 56, 1}, Case{119, 1, 1}, Case{120, 64, 2},
                   Case{0, 56, 1}}) {
        SCOPED_TRACE("message of " + std::to_string(c.messageLength) + " bytes");
        const std::string message(c.messageLength, 'x');
        Sha1Context context;
        unsigned char digest[20];
        Sha1Init(&context);
        Sha1Update(&context, message.data(), c.messageLength);
        Sha1Final(&context, digest);
        EXPECT_EQ(context.countLow, c.messageLength + c.padding + 8);
        EXPECT_EQ(context.countLow / 64 - c.messageLength / 64, c.finalBlocks);
        EXPECT_EQ(context.countHigh, 0u);
    }
}

TEST(Sha1, UpdateOfLengthZeroChangesNothing) {
    Sha1Context context;
    std::memset(&context, 0xA5, sizeof context);
    Sha1Init(&context);
    Sha1Update(&context, "abcdefghij", 10);
    Sha1Context before;
    std::memcpy(&before, &context, sizeof context);
    Sha1Update(&context, "ignored", 0);
    Sha1Update(&context, nullptr, 0);
    EXPECT_EQ(std::memcmp(&before, &context, sizeof context), 0);
}

// Callers allocate the context themselves, in 32-bit and 64-bit programs alike: the
// same 92 bytes with no padding, the block after the seven words.
TEST(Sha1, ContextLayoutIsTheSameInEveryBuild) {
    EXPECT_EQ(sizeof(Sha1Context), 92u);
    EXPECT_EQ(offsetof(Sha1Context, state), 8u);
    EXPECT_EQ(offsetof(Sha1Context, block), 28u);
}

TEST(Sha1, InitSetsCountsAndStateAndLeavesTheBlock) {
    Sha1Context context;
    std::memset(&context, 0x5A, sizeof context);
    Sha1Init(&context);
    EXPECT_EQ(context.countLow, 0u);
    EXPECT_EQ(context.countHigh, 0u);
    const uint32_t expected[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(context.state[i], expected[i]) << "word " << i;
    for (unsigned char b : context.block) ASSERT_EQ(b, 0x5A);
}

TEST(Sha1, TransformReadsUnalignedInputAndTouchesOnlyTheState) {
    unsigned char storage[64 + 3];
    for (size_t i = 0; i < sizeof storage; ++i) storage[i] = static_cast<unsigned char>(i * 37 + 1);
    unsigned char aligned[64];
    std::memcpy(aligned, storage + 3, 64);
    unsigned char copy[sizeof storage];
    std::memcpy(copy, storage, sizeof storage);

    Sha1Context first, second;
    Sha1Init(&first);
    std::memset(first.block, 0x33, sizeof first.block);
    first.countLow = 17;
    first.countHigh = 4;
    second = first;
    Sha1Transform(&first, aligned);
    Sha1Transform(&second, storage + 3);

    EXPECT_EQ(std::memcmp(first.state, second.state, sizeof first.state), 0);
    EXPECT_NE(first.state[0], 0x67452301u);
    EXPECT_EQ(second.countLow, 17u);
    EXPECT_EQ(second.countHigh, 4u);
    for (unsigned char b : second.block) ASSERT_EQ(b, 0x33);
    EXPECT_EQ(std::memcmp(copy, storage, sizeof storage), 0);
}

// CPUID leaf 1 ecx, leaf 7.0 ebx and XCR0 bits as Intel documents them.
constexpr uint32_t kSsse3 = 1u << 9, kOsXsave = 1u << 27, kAvx = 1u << 28;
constexpr uint32_t kBmi1 = 1u << 3, kAvx2 = 1u << 5, kBmi2 = 1u << 8, kSha = 1u << 29;

TEST(Sha1Detector, KnownCpusAndOperatingSystems) {
    if (!Sha1BlocksOf(Sha1Path::kShaExtensions)) GTEST_SKIP() << "no x86 paths in this build";
    const uint32_t avxOs = kSsse3 | kOsXsave | kAvx, haswell7 = kBmi1 | kAvx2 | kBmi2;
    struct Case {
        const char *cpu;
        Sha1Cpuid bits;
        Sha1Path expected;
    };
    const Case cases[] = {
        {"baseline x86-64", {13, 0, 0, 0}, Sha1Path::kPortable},
        {"SSSE3, no leaf 7 (stale bits there)", {6, kSsse3, 0xFFFFFFFFu, 0}, Sha1Path::kSsse3},
        {"AVX2 and BMI", {13, avxOs, haswell7, 7}, Sha1Path::kAvx2},
        {"AVX2, OS does not save YMM", {13, avxOs, haswell7, 3}, Sha1Path::kSsse3},
        {"AVX2, no OSXSAVE (XCR0 unread)", {13, kSsse3 | kAvx, haswell7, 7}, Sha1Path::kSsse3},
        {"AVX2 without BMI2", {13, avxOs, kBmi1 | kAvx2, 7}, Sha1Path::kSsse3},
        {"AVX2 bit without AVX", {13, kSsse3 | kOsXsave, haswell7, 7}, Sha1Path::kSsse3},
        {"AVX2 without SSSE3", {13, kOsXsave | kAvx, haswell7, 7}, Sha1Path::kPortable},
        {"SHA extensions, no AVX", {21, kSsse3, kSha, 0}, Sha1Path::kShaExtensions},
        {"SHA extensions and AVX2", {13, avxOs, haswell7 | kSha, 7}, Sha1Path::kShaExtensions},
        {"SHA bit, no leaf 7", {6, avxOs, haswell7 | kSha, 7}, Sha1Path::kSsse3},
        {"SHA bit without SSSE3", {13, 0, kSha, 0}, Sha1Path::kPortable},
    };
    for (const Case &c : cases) EXPECT_STREQ(Sha1PathName(PickSha1Path(c.bits)), Sha1PathName(c.expected)) << c.cpu;
}

// Every combination of the bits that matter: the pick needs each of its bits
// and is never slower than a path whose bits are all there.
TEST(Sha1Detector, EveryCombinationPicksAPathTheCpuHasAndNoneSlower) {
    if (!Sha1BlocksOf(Sha1Path::kShaExtensions)) GTEST_SKIP() << "no x86 paths in this build";
    for (uint32_t m = 0; m < 1024; ++m) {
        const auto bit = [m](int i) { return (m >> i & 1) != 0; };
        const Sha1Cpuid cpu{bit(0) ? 7u : 6u, (bit(1) ? kSsse3 : 0) | (bit(2) ? kOsXsave : 0) | (bit(3) ? kAvx : 0),
                            (bit(4) ? kBmi1 : 0) | (bit(5) ? kAvx2 : 0) | (bit(6) ? kBmi2 : 0) | (bit(7) ? kSha : 0),
                            (bit(8) ? 2u : 0u) | (bit(9) ? 4u : 0u) | 1u};
        const bool leaf7 = bit(0), ssse3 = bit(1);
        const bool sha = ssse3 && leaf7 && bit(7);
        const bool avx2 = ssse3 && leaf7 && bit(2) && bit(3) && bit(4) && bit(5) && bit(6) && bit(8) && bit(9);
        const Sha1Path expected = sha     ? Sha1Path::kShaExtensions
                                  : avx2  ? Sha1Path::kAvx2
                                  : ssse3 ? Sha1Path::kSsse3
                                          : Sha1Path::kPortable;
        ASSERT_STREQ(Sha1PathName(PickSha1Path(cpu)), Sha1PathName(expected)) << "bits " << m;
    }
}

// A CPU played by the test: its answers to each leaf (subleaf 0; other subleaves
// answer zeros), its XCR0, and what the reader asked of it.
struct PlayedCpu {
    uint32_t leaves[8][4];
    uint64_t xcr0;
    std::vector<uint32_t> asked;  // leaf * 16 + subleaf
    int xgetbvReads;
};
PlayedCpu played;

void PlayedCpuid(uint32_t leaf, uint32_t subleaf, uint32_t regs[4]) {
    played.asked.push_back(leaf * 16 + subleaf);
    for (int i = 0; i < 4; ++i) regs[i] = subleaf == 0 && leaf < 8 ? played.leaves[leaf][i] : 0;
}

uint64_t PlayedXgetbv() {
    ++played.xgetbvReads;
    return played.xcr0;
}

TEST(Sha1Detector, ReaderTakesLeaf7OnlyWhenReportedAndXcr0OnlyWithOsxsave) {
    const uint32_t leaf7Ebx = kBmi1 | kAvx2 | kBmi2 | kSha;
    for (uint32_t maxLeaf : {6u, 7u, 13u}) {
        for (uint32_t osxsave : {0u, kOsXsave}) {
            // Every register answers something different, so a register mixed up shows.
            played = PlayedCpu{{{maxLeaf, 0x756e6547u, 0x6c65746eu, 0x49656e69u},
                                {0x000806f8u, 0x00100800u, kSsse3 | kAvx | osxsave, 0x178bfbffu},
                                {},
                                {},
                                {},
                                {},
                                {},
                                {0, leaf7Ebx, 0x00400000u, 0x10000000u}},
                               0xe7,
                               {},
                               0};
            SCOPED_TRACE("highest leaf " + std::to_string(maxLeaf) + (osxsave ? ", OSXSAVE" : ""));
            const Sha1Cpuid cpu = ReadSha1CpuidFrom(PlayedCpuid, PlayedXgetbv);
            EXPECT_EQ(cpu.maxLeaf, maxLeaf);
            EXPECT_EQ(cpu.leaf1Ecx, kSsse3 | kAvx | osxsave);
            // Above the highest leaf a CPU answers what it likes: that leaf is not asked.
            EXPECT_EQ(cpu.leaf7Ebx, maxLeaf >= 7 ? leaf7Ebx : 0u);
            EXPECT_EQ(std::count(played.asked.begin(), played.asked.end(), 7u * 16), maxLeaf >= 7 ? 1 : 0);
            // XGETBV faults where the OS has not enabled it.
            EXPECT_EQ(played.xgetbvReads, osxsave ? 1 : 0);
            EXPECT_EQ(cpu.xcr0, osxsave ? 0xe7u : 0u);
        }
    }
}

#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
// The reader against the test's own read of this CPU, and on Linux against the
// kernel's flags, so that a bit read from the wrong place cannot hide the fast
// paths from every other test.
TEST(Sha1Detector, ReaderAgreesWithAnIndependentReadOfThisCpu) {
    unsigned maxLeaf = 0, ebx = 0, leaf1Ecx = 0, edx = 0, leaf7Ebx = 0, unused = 0;
    __cpuid_count(0, 0, maxLeaf, ebx, unused, edx);
    __cpuid_count(1, 0, unused, ebx, leaf1Ecx, edx);
    if (maxLeaf >= 7) __cpuid_count(7, 0, unused, leaf7Ebx, ebx, edx);
    uint64_t xcr0 = 0;
    if (leaf1Ecx & kOsXsave) {
        uint32_t low, high;
        __asm__ __volatile__(".byte 0x0f, 0x01, 0xd0" : "=a"(low), "=d"(high) : "c"(0));  // xgetbv
        xcr0 = (uint64_t(high) << 32) | low;
    }
    const Sha1Cpuid cpu = ReadSha1Cpuid();
    EXPECT_EQ(cpu.maxLeaf, maxLeaf);
    EXPECT_EQ(cpu.leaf1Ecx, leaf1Ecx);
    EXPECT_EQ(cpu.leaf7Ebx, leaf7Ebx);
    EXPECT_EQ(cpu.xcr0, xcr0);

#ifdef __linux__
    // The kernel leaves out "avx" (and so "avx2") when it does not save the YMM registers.
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line) && line.compare(0, 5, "flags") != 0) {
    }
    ASSERT_FALSE(line.empty()) << "no flags line in /proc/cpuinfo";
    std::istringstream words(line);
    const std::set<std::string> flags{std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
    const auto has = [&flags](const char *flag) { return flags.count(flag) == 1; };
    EXPECT_EQ(Sha1CpuRuns(Sha1Path::kSsse3, cpu), has("ssse3"));
    EXPECT_EQ(Sha1CpuRuns(Sha1Path::kAvx2, cpu),
              has("ssse3") && has("avx") && has("avx2") && has("bmi1") && has("bmi2"));
    EXPECT_EQ(Sha1CpuRuns(Sha1Path::kShaExtensions, cpu), has("ssse3") && has("sha_ni"));
#endif
}
#endif

// The last block that Sha1Final compresses, built by hand: the buffered bytes,
// 0x80, zeros and the 64-bit bit length, most significant byte first.
void ExpectFinalLengthBlock(uint32_t countHigh, uint32_t countLow, uint64_t bitLength) {
    Sha1Context context;
    Sha1Init(&context);
    context.countHigh = countHigh;
    context.countLow = countLow;
    for (uint32_t i = 0; i < countLow % 64; ++i) context.block[i] = static_cast<unsigned char>('a' + i % 26);
    Sha1Context byHand = context;

    unsigned char digest[20];
    Sha1Final(&context, digest);

    unsigned char blocks[128] = {};
    const uint32_t used = countLow % 64;
    std::memcpy(blocks, byHand.block, used);
    blocks[used] = 0x80;
    const int count = used < 56 ? 1 : 2;
    for (int i = 0; i < 8; ++i) blocks[64 * count - 1 - i] = static_cast<unsigned char>(bitLength >> (8 * i));
    for (int i = 0; i < count; ++i) Sha1Transform(&byHand, blocks + 64 * i);
    EXPECT_EQ(std::memcmp(context.state, byHand.state, sizeof context.state), 0)
        << "counts " << countHigh << ":" << countLow;
    // The padding and the length are counted in as Sha1Update counts input, carry included.
    const uint64_t counted = ((uint64_t{countHigh} << 32) | countLow) + 64 * count - used;
    EXPECT_EQ((uint64_t{context.countHigh} << 32) | context.countLow, counted);
}

TEST(Sha1, FinalLengthIsTheByteCountTimesEightModulo2To64) {
    ExpectFinalLengthBlock(0, 3, 24);
    ExpectFinalLengthBlock(0, 60, 480);
    ExpectFinalLengthBlock(0, 0xE0000001u, 0x700000008ull);
    ExpectFinalLengthBlock(5, 0x20000005u, (5ull << 35) + 0x100000028ull);
    // Bits above 2^64 are dropped.
    ExpectFinalLengthBlock(0x20000001u, 7, (1ull << 35) + 56);
    // The padding carries countLow into countHigh.
    ExpectFinalLengthBlock(2, 0xFFFFFFF0u, (2ull << 35) + 0x7FFFFFF80ull);
}

TEST(Sha1, UpdateThatWrapsCountLowRaisesCountHighByOne) {
    Sha1Context context;
    Sha1Init(&context);
    context.countHigh = 2;
    context.countLow = 0xFFFFFFC0u;  // a whole number of blocks, so `block` is empty
    const std::string message(100, 'q');
    Sha1Update(&context, message.data(), 100);
    EXPECT_EQ(context.countHigh, 3u);
    EXPECT_EQ(context.countLow, 36u);
    EXPECT_EQ(std::memcmp(context.block, message.data(), 36), 0);

    Sha1Update(&context, message.data(), 100);
    EXPECT_EQ(context.countHigh, 3u) << "no wrap, no carry";
}

TEST(Sha1Hex, TextsAndStringsHashUpToTheirFirstNul) {
    const char abcHex[] = "a9993e364706816aba3e25717850c26c9cd0d89d";
    const char emptyHex[] = "da39a3ee5e6b4b0d3255bfef95601890afd80709";
    char out[41];
    Sha1HexOfText("abc", out);
    EXPECT_STREQ(out, abcHex);
    Sha1HexOfText("abc\0def", out);
    EXPECT_STREQ(out, abcHex);
    Sha1HexOfText("", out);
    EXPECT_STREQ(out, emptyHex);

    char *fresh = Sha1HexNew("abc\0def");
    EXPECT_STREQ(fresh, abcHex);
    delete[] fresh;

    EXPECT_EQ(Sha1HexString(AnsiString("abc")), AnsiString(abcHex));
    EXPECT_EQ(Sha1HexString(AnsiString("abc\0def", 7)), AnsiString(abcHex));
    EXPECT_EQ(Sha1HexString(AnsiString()), AnsiString(emptyHex));
    EXPECT_EQ(Sha1HexString(AnsiString("\0abc", 4)), AnsiString(emptyHex));
    EXPECT_EQ(HexOfData(nullptr, 0), emptyHex);
}

TEST(Sha1Hex, OutputIsFortyLowercaseDigitsAndANul) {
    EXPECT_EQ(Sha1HexLength(), 41);
    std::string message;
    for (int n = 0; n < 200; ++n) {
        message += static_cast<char>(n * 31);
        char out[48];
        std::memset(out, 0x7F, sizeof out);
        Sha1HexOfData(message.data(), static_cast<uint32_t>(message.size()), out);
        for (int i = 0; i < 40; ++i)
            ASSERT_TRUE((out[i] >= '0' && out[i] <= '9') || (out[i] >= 'a' && out[i] <= 'f')) << out[i];
        ASSERT_EQ(out[40], '\0');
        for (size_t i = 41; i < sizeof out; ++i) ASSERT_EQ(out[i], 0x7F) << "written past the hex text";
        ASSERT_EQ(std::string(out), DigestInOneUpdate(message));
    }
    // A digest byte below 0x10 prints with its leading 0: a9993e36 47 06 81 6a ...
    char out[41];
    Sha1HexOfText("abc", out);
    EXPECT_EQ(std::string(out).substr(8, 4), "4706");

    const AnsiString text = Sha1HexString(AnsiString("abc"));
    EXPECT_EQ(text.Length(), 40);
}

}  // namespace
