// The SHA-1 paths for x86 CPU extensions and the choice among them. The
// library is built for the baseline instruction set; each accelerated function
// carries its own target, and runs only when the CPU reports what it needs.
#include <cstring>

#include "support/compiler.h"
#include "support/sha1_paths.h"

#if ORVANE_X86
#include <immintrin.h>
#endif

namespace {

// CPUID bits (leaf 1 ecx; leaf 7.0 ebx) and XCR0 bits.
constexpr uint32_t kSsse3 = 1u << 9;
constexpr uint32_t kOsXsave = 1u << 27;
constexpr uint32_t kAvx = 1u << 28;
constexpr uint32_t kBmi1 = 1u << 3;
constexpr uint32_t kAvx2 = 1u << 5;
constexpr uint32_t kBmi2 = 1u << 8;
constexpr uint32_t kSha = 1u << 29;
constexpr uint64_t kXmmAndYmmState = 6;

bool Has(uint32_t bits, uint32_t wanted) { return (bits & wanted) == wanted; }

}  // namespace

Sha1Cpuid ReadSha1Cpuid() {
    Sha1Cpuid cpu{};
#if ORVANE_X86
    uint32_t regs[4];
    ReadCpuid(0, 0, regs);
    cpu.maxLeaf = regs[0];
    ReadCpuid(1, 0, regs);
    cpu.leaf1Ecx = regs[2];
    if (cpu.maxLeaf >= 7) {
        ReadCpuid(7, 0, regs);
        cpu.leaf7Ebx = regs[1];
    }
    if (Has(cpu.leaf1Ecx, kOsXsave)) cpu.xcr0 = ReadXcr0();
#endif
    return cpu;
}

bool Sha1CpuRuns(Sha1Path path, const Sha1Cpuid &cpu) {
    // Leaf 7 holds stale or reserved values when the CPU does not report it.
    const uint32_t leaf7 = cpu.maxLeaf >= 7 ? cpu.leaf7Ebx : 0;
    // AVX registers are usable only when the OS saves them (OSXSAVE, XCR0).
    const bool osSavesYmm = Has(cpu.leaf1Ecx, kOsXsave | kAvx) && (cpu.xcr0 & kXmmAndYmmState) == kXmmAndYmmState;
    switch (path) {
        case Sha1Path::kPortable:
            return true;
        case Sha1Path::kSsse3:
            return Has(cpu.leaf1Ecx, kSsse3);
        case Sha1Path::kAvx2:
            return osSavesYmm && Has(leaf7, kAvx2 | kBmi1 | kBmi2);
        case Sha1Path::kShaExtensions:
            return Has(cpu.leaf1Ecx, kSsse3) && Has(leaf7, kSha);
    }
    return false;
}

Sha1Path PickSha1Path(const Sha1Cpuid &cpu) {
    for (Sha1Path path : {Sha1Path::kShaExtensions, Sha1Path::kAvx2, Sha1Path::kSsse3})
        if (Sha1BlocksOf(path) && Sha1CpuRuns(path, cpu)) return path;
    return Sha1Path::kPortable;
}

Sha1BlocksFn Sha1BlocksOf(Sha1Path path) {
    switch (path) {
        case Sha1Path::kPortable:
            return Sha1PortableBlocks;
#if ORVANE_X86
        case Sha1Path::kSsse3:
            return Sha1Ssse3Blocks;
        case Sha1Path::kAvx2:
            return Sha1Avx2Blocks;
        case Sha1Path::kShaExtensions:
            return Sha1ShaExtensionsBlocks;
#else
        default:
            break;
#endif
    }
    return nullptr;
}

const char *Sha1PathName(Sha1Path path) {
    switch (path) {
        case Sha1Path::kPortable:
            return "portable";
        case Sha1Path::kSsse3:
            return "ssse3";
        case Sha1Path::kAvx2:
            return "avx2";
        case Sha1Path::kShaExtensions:
            return "sha-extensions";
    }
    return "?";
}

#if ORVANE_X86

namespace {

// ---- Scalar rounds over precomputed W[t] + K[t] (SSSE3 and AVX2 paths) ----

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t Choose(uint32_t b, uint32_t c, uint32_t d) { return d ^ (b & (c ^ d)); }
inline uint32_t Parity(uint32_t b, uint32_t c, uint32_t d) { return b ^ c ^ d; }
// The two terms never share a set bit, so they may be added.
inline uint32_t Majority(uint32_t b, uint32_t c, uint32_t d) { return (b & c) + (d & (b ^ c)); }

// As in the portable transform, the roles of the five words shift by one place
// per step. The terms that do not depend on the newest word a are summed
// first; HideValue keeps rotl5(a) last.
template <uint32_t (*F)(uint32_t, uint32_t, uint32_t)>
inline void Step(uint32_t a, uint32_t &b, uint32_t c, uint32_t d, uint32_t &e, uint32_t wk) {
    e += wk + F(b, c, d);
    HideValue(e);
    e += Rotl(a, 5);
    b = Rotl(b, 30);
}

// Twenty steps with one function; afterwards each word is back in its role.
template <uint32_t (*F)(uint32_t, uint32_t, uint32_t)>
ORVANE_ALWAYS_INLINE void TwentySteps(uint32_t &a, uint32_t &b, uint32_t &c, uint32_t &d, uint32_t &e,
                                      const uint32_t *wk) {
    for (int t = 0; t < 20; t += 5) {
        Step<F>(a, b, c, d, e, wk[t]);
        Step<F>(e, a, b, c, d, wk[t + 1]);
        Step<F>(d, e, a, b, c, wk[t + 2]);
        Step<F>(c, d, e, a, b, wk[t + 3]);
        Step<F>(b, c, d, e, a, wk[t + 4]);
    }
}

// The 80 steps over wk[t] = W[t] + K[t]. Always inlined, so it is compiled for
// the target of each path that calls it.
ORVANE_ALWAYS_INLINE void RoundsWithWk(uint32_t state[5], const uint32_t wk[80]) {
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    TwentySteps<Choose>(a, b, c, d, e, wk);
    TwentySteps<Parity>(a, b, c, d, e, wk + 20);
    TwentySteps<Majority>(a, b, c, d, e, wk + 40);
    TwentySteps<Parity>(a, b, c, d, e, wk + 60);
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

constexpr uint32_t kK[4] = {0x5A827999u, 0x6ED9EBA1u, 0x8F1BBCDCu, 0xCA62C1D6u};

// ---- SSSE3: the schedule four words at a time ----
// A vector holds W[t..t+3], W[t] in the lowest lane. For 16 <= t < 32:
// W[t] = rotl1(W[t-3] ^ W[t-8] ^ W[t-14] ^ W[t-16]), where the last lane needs
// W[t] of the same vector; from 32 on the equivalent
// W[t] = rotl2(W[t-6] ^ W[t-16] ^ W[t-28] ^ W[t-32]) has no such dependency.

#define SSSE3_FN ORVANE_TARGET("ssse3") ORVANE_ALWAYS_INLINE

SSSE3_FN __m128i Rotl128(__m128i x, int n) { return _mm_or_si128(_mm_slli_epi32(x, n), _mm_srli_epi32(x, 32 - n)); }

SSSE3_FN __m128i LoadWords128(const unsigned char *p) {
    const __m128i bigEndian = _mm_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), bigEndian);
}

// W[t..t+3] for 16 <= t < 32 from the vectors starting at t-16, t-12, t-8, t-4.
SSSE3_FN __m128i EarlyWords128(__m128i w16, __m128i w12, __m128i w8, __m128i w4) {
    const __m128i x =
        _mm_xor_si128(_mm_xor_si128(w16, _mm_alignr_epi8(w12, w16, 8)), _mm_xor_si128(w8, _mm_srli_si128(w4, 4)));
    // The last lane lacks the term W[t] = rotl1(x lane 0): add rotl2 of it.
    return _mm_xor_si128(Rotl128(x, 1), Rotl128(_mm_slli_si128(x, 12), 2));
}

// W[t..t+3] for t >= 32 from the vectors starting at t-32, t-28, t-16, t-8, t-4.
SSSE3_FN __m128i LateWords128(__m128i w32, __m128i w28, __m128i w16, __m128i w8, __m128i w4) {
    return Rotl128(_mm_xor_si128(_mm_xor_si128(w32, w28), _mm_xor_si128(w16, _mm_alignr_epi8(w4, w8, 8))), 2);
}

SSSE3_FN void StoreWk128(uint32_t *wk, int t, __m128i w) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(wk + t), _mm_add_epi32(w, _mm_set1_epi32(int(kK[t / 20]))));
}

SSSE3_FN void Schedule128(const unsigned char *data, uint32_t wk[80]) {
    __m128i w0 = LoadWords128(data), w1 = LoadWords128(data + 16);
    __m128i w2 = LoadWords128(data + 32), w3 = LoadWords128(data + 48);
    StoreWk128(wk, 0, w0);
    StoreWk128(wk, 4, w1);
    StoreWk128(wk, 8, w2);
    StoreWk128(wk, 12, w3);
    __m128i w4 = EarlyWords128(w0, w1, w2, w3);
    StoreWk128(wk, 16, w4);
    __m128i w5 = EarlyWords128(w1, w2, w3, w4);
    StoreWk128(wk, 20, w5);
    __m128i w6 = EarlyWords128(w2, w3, w4, w5);
    StoreWk128(wk, 24, w6);
    __m128i w7 = EarlyWords128(w3, w4, w5, w6);
    StoreWk128(wk, 28, w7);
    // From here the vector for t takes the place of the one for t-32.
    w0 = LateWords128(w0, w1, w4, w6, w7);
    StoreWk128(wk, 32, w0);
    w1 = LateWords128(w1, w2, w5, w7, w0);
    StoreWk128(wk, 36, w1);
    w2 = LateWords128(w2, w3, w6, w0, w1);
    StoreWk128(wk, 40, w2);
    w3 = LateWords128(w3, w4, w7, w1, w2);
    StoreWk128(wk, 44, w3);
    w4 = LateWords128(w4, w5, w0, w2, w3);
    StoreWk128(wk, 48, w4);
    w5 = LateWords128(w5, w6, w1, w3, w4);
    StoreWk128(wk, 52, w5);
    w6 = LateWords128(w6, w7, w2, w4, w5);
    StoreWk128(wk, 56, w6);
    w7 = LateWords128(w7, w0, w3, w5, w6);
    StoreWk128(wk, 60, w7);
    w0 = LateWords128(w0, w1, w4, w6, w7);
    StoreWk128(wk, 64, w0);
    w1 = LateWords128(w1, w2, w5, w7, w0);
    StoreWk128(wk, 68, w1);
    w2 = LateWords128(w2, w3, w6, w0, w1);
    StoreWk128(wk, 72, w2);
    w3 = LateWords128(w3, w4, w7, w1, w2);
    StoreWk128(wk, 76, w3);
}

// ---- AVX2: the same schedule for two blocks, one in each 128-bit half ----

#define AVX2_FN ORVANE_TARGET("avx2,bmi,bmi2") ORVANE_ALWAYS_INLINE

AVX2_FN __m256i Rotl256(__m256i x, int n) {
    return _mm256_or_si256(_mm256_slli_epi32(x, n), _mm256_srli_epi32(x, 32 - n));
}

AVX2_FN __m256i LoadWords256(const unsigned char *first, const unsigned char *second) {
    const __m256i bigEndian = _mm256_set_epi8(12, 13, 14, 15, 8, 9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3, 12, 13, 14, 15, 8,
                                              9, 10, 11, 4, 5, 6, 7, 0, 1, 2, 3);
    const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i *>(first));
    const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i *>(second));
    return _mm256_shuffle_epi8(_mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1), bigEndian);
}

// The byte shifts and alignr of AVX2 work within each 128-bit half, so each
// block's schedule stays in its own half.
AVX2_FN __m256i EarlyWords256(__m256i w16, __m256i w12, __m256i w8, __m256i w4) {
    const __m256i x = _mm256_xor_si256(_mm256_xor_si256(w16, _mm256_alignr_epi8(w12, w16, 8)),
                                       _mm256_xor_si256(w8, _mm256_srli_si256(w4, 4)));
    return _mm256_xor_si256(Rotl256(x, 1), Rotl256(_mm256_slli_si256(x, 12), 2));
}

AVX2_FN __m256i LateWords256(__m256i w32, __m256i w28, __m256i w16, __m256i w8, __m256i w4) {
    return Rotl256(_mm256_xor_si256(_mm256_xor_si256(w32, w28), _mm256_xor_si256(w16, _mm256_alignr_epi8(w4, w8, 8))),
                   2);
}

AVX2_FN void StoreWk256(uint32_t wk[2][80], int t, __m256i w) {
    const __m256i sum = _mm256_add_epi32(w, _mm256_set1_epi32(int(kK[t / 20])));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(wk[0] + t), _mm256_castsi256_si128(sum));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(wk[1] + t), _mm256_extracti128_si256(sum, 1));
}

AVX2_FN void Schedule256(const unsigned char *first, const unsigned char *second, uint32_t wk[2][80]) {
    __m256i w0 = LoadWords256(first, second), w1 = LoadWords256(first + 16, second + 16);
    __m256i w2 = LoadWords256(first + 32, second + 32), w3 = LoadWords256(first + 48, second + 48);
    StoreWk256(wk, 0, w0);
    StoreWk256(wk, 4, w1);
    StoreWk256(wk, 8, w2);
    StoreWk256(wk, 12, w3);
    __m256i w4 = EarlyWords256(w0, w1, w2, w3);
    StoreWk256(wk, 16, w4);
    __m256i w5 = EarlyWords256(w1, w2, w3, w4);
    StoreWk256(wk, 20, w5);
    __m256i w6 = EarlyWords256(w2, w3, w4, w5);
    StoreWk256(wk, 24, w6);
    __m256i w7 = EarlyWords256(w3, w4, w5, w6);
    StoreWk256(wk, 28, w7);
    w0 = LateWords256(w0, w1, w4, w6, w7);
    StoreWk256(wk, 32, w0);
    w1 = LateWords256(w1, w2, w5, w7, w0);
    StoreWk256(wk, 36, w1);
    w2 = LateWords256(w2, w3, w6, w0, w1);
    StoreWk256(wk, 40, w2);
    w3 = LateWords256(w3, w4, w7, w1, w2);
    StoreWk256(wk, 44, w3);
    w4 = LateWords256(w4, w5, w0, w2, w3);
    StoreWk256(wk, 48, w4);
    w5 = LateWords256(w5, w6, w1, w3, w4);
    StoreWk256(wk, 52, w5);
    w6 = LateWords256(w6, w7, w2, w4, w5);
    StoreWk256(wk, 56, w6);
    w7 = LateWords256(w7, w0, w3, w5, w6);
    StoreWk256(wk, 60, w7);
    w0 = LateWords256(w0, w1, w4, w6, w7);
    StoreWk256(wk, 64, w0);
    w1 = LateWords256(w1, w2, w5, w7, w0);
    StoreWk256(wk, 68, w1);
    w2 = LateWords256(w2, w3, w6, w0, w1);
    StoreWk256(wk, 72, w2);
    w3 = LateWords256(w3, w4, w7, w1, w2);
    StoreWk256(wk, 76, w3);
}

// ---- SHA extensions ----
// The registers hold A..D with A in the top lane, E in the top lane of its own
// register, and message words W[t] in the top lane down to W[t+3].

#define SHA_FN ORVANE_TARGET("sha,ssse3") ORVANE_ALWAYS_INLINE

SHA_FN __m128i LoadWordsReversed(const unsigned char *p) {
    const __m128i reverse = _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), reverse);
}

// Four rounds with round function F; `eWords` holds E (the rotated A of four
// rounds back) added to the four message words. `prior` keeps A..D before the
// rounds, for the E of the next four.
template <int F>
SHA_FN void Rounds4(__m128i &abcd, __m128i &prior, __m128i eWords) {
    prior = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, eWords, F);
}

// The next four message words in place of w16 (W[t-16..t-13]), then their
// four rounds.
template <int F>
SHA_FN void ScheduleAndRounds4(__m128i &abcd, __m128i &prior, __m128i &w16, __m128i w12, __m128i w8, __m128i w4) {
    w16 = _mm_sha1msg2_epu32(_mm_xor_si128(_mm_sha1msg1_epu32(w16, w12), w8), w4);
    Rounds4<F>(abcd, prior, _mm_sha1nexte_epu32(prior, w16));
}

}  // namespace

ORVANE_TARGET("ssse3") void Sha1Ssse3Blocks(uint32_t state[5], const unsigned char *data, size_t blocks) {
    uint32_t wk[80];
    for (; blocks > 0; --blocks, data += 64) {
        Schedule128(data, wk);
        RoundsWithWk(state, wk);
    }
}

ORVANE_TARGET("avx2,bmi,bmi2") void Sha1Avx2Blocks(uint32_t state[5], const unsigned char *data, size_t blocks) {
    uint32_t wk[2][80];
    for (; blocks >= 2; blocks -= 2, data += 128) {
        Schedule256(data, data + 64, wk);
        RoundsWithWk(state, wk[0]);
        RoundsWithWk(state, wk[1]);
    }
    if (blocks > 0) {
        Schedule256(data, data, wk);  // the second half is a copy, not used
        RoundsWithWk(state, wk[0]);
    }
}

ORVANE_TARGET("sha,ssse3") void Sha1ShaExtensionsBlocks(uint32_t state[5], const unsigned char *data, size_t blocks) {
    __m128i abcd = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i *>(state)), 0x1B);
    __m128i e = _mm_set_epi32(int(state[4]), 0, 0, 0);
    for (; blocks > 0; --blocks, data += 64) {
        const __m128i abcdBefore = abcd, eBefore = e;
        __m128i w0 = LoadWordsReversed(data), w1 = LoadWordsReversed(data + 16);
        __m128i w2 = LoadWordsReversed(data + 32), w3 = LoadWordsReversed(data + 48);
        __m128i prior;
        Rounds4<0>(abcd, prior, _mm_add_epi32(e, w0));
        Rounds4<0>(abcd, prior, _mm_sha1nexte_epu32(prior, w1));
        Rounds4<0>(abcd, prior, _mm_sha1nexte_epu32(prior, w2));
        Rounds4<0>(abcd, prior, _mm_sha1nexte_epu32(prior, w3));
        ScheduleAndRounds4<0>(abcd, prior, w0, w1, w2, w3);  // rounds 16-19
        ScheduleAndRounds4<1>(abcd, prior, w1, w2, w3, w0);
        ScheduleAndRounds4<1>(abcd, prior, w2, w3, w0, w1);
        ScheduleAndRounds4<1>(abcd, prior, w3, w0, w1, w2);
        ScheduleAndRounds4<1>(abcd, prior, w0, w1, w2, w3);
        ScheduleAndRounds4<1>(abcd, prior, w1, w2, w3, w0);  // rounds 36-39
        ScheduleAndRounds4<2>(abcd, prior, w2, w3, w0, w1);
        ScheduleAndRounds4<2>(abcd, prior, w3, w0, w1, w2);
        ScheduleAndRounds4<2>(abcd, prior, w0, w1, w2, w3);
        ScheduleAndRounds4<2>(abcd, prior, w1, w2, w3, w0);
        ScheduleAndRounds4<2>(abcd, prior, w2, w3, w0, w1);  // rounds 56-59
        ScheduleAndRounds4<3>(abcd, prior, w3, w0, w1, w2);
        ScheduleAndRounds4<3>(abcd, prior, w0, w1, w2, w3);
        ScheduleAndRounds4<3>(abcd, prior, w1, w2, w3, w0);
        ScheduleAndRounds4<3>(abcd, prior, w2, w3, w0, w1);
        ScheduleAndRounds4<3>(abcd, prior, w3, w0, w1, w2);  // rounds 76-79
        e = _mm_sha1nexte_epu32(prior, eBefore);
        abcd = _mm_add_epi32(abcd, abcdBefore);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state), _mm_shuffle_epi32(abcd, 0x1B));
    state[4] = uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(e, 12)));
}

#endif  // ORVANE_X86
