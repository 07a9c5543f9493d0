#pragma once

// Internal to the library, its tests and benchmarks; not installed. The SHA-1
// compression paths, the choice among them, and the streaming steps with a
// given path, so that a test can run any path this CPU has.

#include <cstddef>
#include <cstdint>

#include "support/sha1.h"

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

// The block function of `path`, or null where this build has none (off x86).
Sha1BlocksFn Sha1BlocksOf(Sha1Path path);

const char *Sha1PathName(Sha1Path path);

// Sha1Update and Sha1Final with the given block function.
void Sha1UpdateWith(Sha1BlocksFn blocks, Sha1Context *context, const void *input, uint32_t length);
void Sha1FinalWith(Sha1BlocksFn blocks, Sha1Context *context, unsigned char digest[20]);

// The block functions themselves. The accelerated ones exist only on x86 and
// must only be called when Sha1CpuRuns says so.
void Sha1PortableBlocks(uint32_t state[5], const unsigned char *data, size_t blocks);
void Sha1Ssse3Blocks(uint32_t state[5], const unsigned char *data, size_t blocks);
void Sha1Avx2Blocks(uint32_t state[5], const unsigned char *data, size_t blocks);
void Sha1ShaExtensionsBlocks(uint32_t state[5], const unsigned char *data, size_t blocks);
