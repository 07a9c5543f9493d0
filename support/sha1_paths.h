#pragma once

// Internal to the library, its tests and benchmarks; not installed. The SHA-1
// compression paths, the choice among them, and the streaming steps with a
// given path, so that a test can run any path this CPU has.

#include <cstddef>
#include <cstdint>

#include "support/sha1.h"

namespace orvane::detail {

// Compresses `blocks` consecutive 64-byte blocks at `data` (any alignment) into
// `state`. A count of 0 does nothing.
using Sha1BlocksFn = void (*)(uint32_t state[5], const unsigned char *data, size_t blocks);

enum class Sha1Path {
    kPortable,       // the straight-line transform, any CPU
    kSsse3,          // vectorised message schedule, scalar rounds
    kAvx2,           // the same for two blocks at once, with BMI1/BMI2 rounds
    kShaExtensions,  // sha1rnds4, sha1nexte, sha1msg1, sha1msg2
};

// What the detector reads: CPUID leaf 0 eax, leaf 1 ecx, leaf 7.0 ebx, and
// XCR0 (read only when leaf 1 reports OSXSAVE, otherwise 0).
struct Sha1Cpuid {
    uint32_t maxLeaf;
    uint32_t leaf1Ecx;
    uint32_t leaf7Ebx;
    uint64_t xcr0;
};

// This CPU's bits; all zero off x86.
Sha1Cpuid ReadSha1Cpuid();

// The same from given answers, so that a test can play any CPU: `cpuid` gives
// eax, ebx, ecx, edx of a leaf and subleaf, `xgetbv` XCR0.
using Sha1CpuidAnswer = void (*)(uint32_t leaf, uint32_t subleaf, uint32_t regs[4]);
using Sha1XgetbvAnswer = uint64_t (*)();
Sha1Cpuid ReadSha1CpuidFrom(Sha1CpuidAnswer cpuid, Sha1XgetbvAnswer xgetbv);

// Whether a CPU with these bits (and its OS) can run `path`. Always true for
// the portable path.
bool Sha1CpuRuns(Sha1Path path, const Sha1Cpuid &cpu);

// The fastest path compiled into this build that the CPU runs.
Sha1Path PickSha1Path(const Sha1Cpuid &cpu);

// The path this process uses: PickSha1Path(ReadSha1Cpuid()).
Sha1Path Sha1DispatchedPath();

// How a path keeps the bytes of a partial last block between calls and ends a
// message. `keep` copies the `length` (1 to 63) bytes at input + consumed into
// an empty block; the `consumed` bytes before them are the caller's as well
// and may be read. `finish` compresses the `used` (0 to 63) bytes in `block`
// with the padding and the 64-bit bit length `bits` (the last block, or the
// last two), leaves the digest words in `state` and writes the digest; it may
// write into `block`.
using Sha1KeepFn = void (*)(unsigned char block[64], const unsigned char *input, size_t consumed, uint32_t length);
using Sha1FinishFn = void (*)(uint32_t state[5], unsigned char block[64], uint32_t used, uint64_t bits,
                              unsigned char digest[20]);

struct Sha1PathFunctions {
    Sha1BlocksFn blocks;
    Sha1KeepFn keep;
    Sha1FinishFn finish;
};

// The functions of `path`, or null where this build has none (off x86).
const Sha1PathFunctions *Sha1FunctionsOf(Sha1Path path);

// Its block function, or null likewise.
Sha1BlocksFn Sha1BlocksOf(Sha1Path path);

const char *Sha1PathName(Sha1Path path);

// Sha1Update and Sha1Final on the given path.
void Sha1UpdateWith(const Sha1PathFunctions &path, Sha1Context *context, const void *input, uint32_t length);
void Sha1FinalWith(const Sha1PathFunctions &path, Sha1Context *context, unsigned char digest[20]);

// The portable path's ends, through memory: `keep` copies with memcpy,
// `finish` writes the padding and the length into `block` and compresses it
// with `blocks`.
void Sha1KeepByCopy(unsigned char block[64], const unsigned char *input, size_t consumed, uint32_t length);
void Sha1FinishInBlock(Sha1BlocksFn blocks, uint32_t state[5], unsigned char block[64], uint32_t used, uint64_t bits,
                       unsigned char digest[20]);

// The five state words, each most significant byte first.
void Sha1StoreDigest(const uint32_t state[5], unsigned char digest[20]);

// The block functions themselves. The accelerated ones exist only on x86 and
// must only be called when Sha1CpuRuns says so.
void Sha1PortableBlocks(uint32_t state[5], const unsigned char *data, size_t blocks);
void Sha1Ssse3Blocks(uint32_t state[5], const unsigned char *data, size_t blocks);
void Sha1Avx2Blocks(uint32_t state[5], const unsigned char *data, size_t blocks);
void Sha1ShaExtensionsBlocks(uint32_t state[5], const unsigned char *data, size_t blocks);

// The portable path's finish: Sha1FinishInBlock with Sha1PortableBlocks.
void Sha1PortableFinish(uint32_t state[5], unsigned char block[64], uint32_t used, uint64_t bits,
                        unsigned char digest[20]);

// The ends of the x86 paths: `keep` writes the partial block as whole 16-byte
// chunks, and the finish of each path reads them back in the same shape and
// adds the padding and the length in registers, so no load waits for stores
// of another size to reach the cache. The SSSE3 and AVX2 finishes compress
// with their own path's block function; the SHA-extensions finish compresses
// straight from the registers. Each path's table names these functions of
// its own, and no function of a path that needs more of the CPU.
void Sha1KeepInChunks(unsigned char block[64], const unsigned char *input, size_t consumed, uint32_t length);
void Sha1Ssse3Finish(uint32_t state[5], unsigned char block[64], uint32_t used, uint64_t bits,
                     unsigned char digest[20]);
void Sha1Avx2Finish(uint32_t state[5], unsigned char block[64], uint32_t used, uint64_t bits,
                    unsigned char digest[20]);
void Sha1ShaExtensionsFinish(uint32_t state[5], unsigned char block[64], uint32_t used, uint64_t bits,
                             unsigned char digest[20]);

}  // namespace orvane::detail

// The tests and benchmarks use these names unqualified. The header is never installed; the
// library itself is built with ORVANE_NO_GLOBAL_NAMES.
#ifndef ORVANE_NO_GLOBAL_NAMES
using namespace orvane::detail;
#endif
