// The SHA-1 paths for x86 CPU extensions and the choice among them. The
// library is built for the baseline instruction set; each accelerated function
// carries its own target, and runs only when the CPU reports what it needs.
#include <cstring>

#include "support/compiler.h"
#include "support/sha1_paths.h"

#if ORVANE_X86
#include <immintrin.h>
#endif

namespace orvane::detail {
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

Sha1Cpuid ReadSha1CpuidFrom(Sha1CpuidAnswer cpuid, Sha1XgetbvAnswer xgetbv) {
    Sha1Cpuid cpu{};
    uint32_t regs[4];
    cpuid(0, 0, regs);
    cpu.maxLeaf = regs[0];
    cpuid(1, 0, regs);
    cpu.leaf1Ecx = regs[2];
    if (cpu.maxLeaf >= 7) {
        cpuid(7, 0, regs);
        cpu.leaf7Ebx = regs[1];
    }
    // XGETBV faults unless the OS has enabled it.
    if (Has(cpu.leaf1Ecx, kOsXsave)) cpu.xcr0 = xgetbv();
    return cpu;
}

Sha1Cpuid ReadSha1Cpuid() {
#if ORVANE_X86
    return ReadSha1CpuidFrom(ReadCpuid, ReadXcr0);
#else
    return Sha1Cpuid{};
#endif
}

bool Sha1CpuRuns(Sha1Path path, const Sha1Cpuid &cpu) {
    // Leaf 7 holds stale or reserved values when the CPU does not report it.
    const uint32_t leaf7 = cpu.maxLeaf >= 7 ? cpu.leaf7Ebx : 0;
    // AVX registers are usable only when the OS saves them (OSXSAVE, XCR0).
    const bool osSavesYmm = Has(cpu.leaf1Ecx, kOsXsave | kAvx) && (cpu.xcr0 & kXmmAndYmmState) == kXmmAndYmmState;
    switch (path) {  // GCOVR_EXCL_BR_LINE: every Sha1Path is a case
        case Sha1Path::kPortable:
            return true;
        case Sha1Path::kSsse3:
            return Has(cpu.leaf1Ecx, kSsse3);
        case Sha1Path::kAvx2:
            // A lone block goes to the SSSE3 routine.
            return osSavesYmm && Has(cpu.leaf1Ecx, kSsse3) && Has(leaf7, kAvx2 | kBmi1 | kBmi2);
        case Sha1Path::kShaExtensions:
            return Has(cpu.leaf1Ecx, kSsse3) && Has(leaf7, kSha);
    }
    return false;  // GCOVR_EXCL_LINE: every Sha1Path is a case
}

Sha1Path PickSha1Path(const Sha1Cpuid &cpu) {
    for (Sha1Path path : {Sha1Path::kShaExtensions, Sha1Path::kAvx2, Sha1Path::kSsse3})
        if (Sha1BlocksOf(path) && Sha1CpuRuns(path, cpu)) return path;  // GCOVR_EXCL_BR_LINE: null only off x86
    return Sha1Path::kPortable;
}

const char *Sha1PathName(Sha1Path path) {
    switch (path) {  // GCOVR_EXCL_BR_LINE: every Sha1Path is a case
        case Sha1Path::kPortable:
            return "portable";
        case Sha1Path::kSsse3:
            return "ssse3";
        case Sha1Path::kAvx2:
            return "avx2";
        case Sha1Path::kShaExtensions:
            return "sha-extensions";
    }
    return "?";  // GCOVR_EXCL_LINE: every Sha1Path is a case
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
// per step. The sum is formed in the order its terms become ready: W + K
// (precomputed), then f of the words made two or more steps ago, then
// rotl5(a) of the newest. HideValue stops the optimiser from reordering it.
template <uint32_t (*F)(uint32_t, uint32_t, uint32_t)>
inline void Step(uint32_t a, uint32_t &b, uint32_t c, uint32_t d, uint32_t &e, uint32_t wk) {
    e += wk;
    HideValue(e);
    e += F(b, c, d);
    HideValue(e);
    e += Rotl(a, 5);
    b = Rotl(b, 30);
}

// kSteps steps (a multiple of five) with one function; afterwards each word is
// back in its role.
template <uint32_t (*F)(uint32_t, uint32_t, uint32_t), int kSteps>
ORVANE_ALWAYS_INLINE void Steps(uint32_t &a, uint32_t &b, uint32_t &c, uint32_t &d, uint32_t &e, const uint32_t *wk) {
    for (int t = 0; t < kSteps; t += 5) {
        Step<F>(a, b, c, d, e, wk[t]);
        Step<F>(e, a, b, c, d, wk[t + 1]);
        Step<F>(d, e, a, b, c, wk[t + 2]);
        Step<F>(c, d, e, a, b, wk[t + 3]);
        Step<F>(b, c, d, e, a, wk[t + 4]);
    }
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
    // The last lane lacks the term W[t] = rotl1(x lane 0): xor in rotl2 of it.
    return _mm_xor_si128(Rotl128(x, 1), Rotl128(_mm_slli_si128(x, 12), 2));
}

// W[t..t+3] for t >= 32 from the vectors starting at t-32, t-28, t-16, t-8, t-4.
SSSE3_FN __m128i LateWords128(__m128i w32, __m128i w28, __m128i w16, __m128i w8, __m128i w4) {
    return Rotl128(_mm_xor_si128(_mm_xor_si128(w32, w28), _mm_xor_si128(w16, _mm_alignr_epi8(w4, w8, 8))), 2);
}

SSSE3_FN void StoreWk128(uint32_t *wk, int t, __m128i w) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(wk + t), _mm_add_epi32(w, _mm_set1_epi32(int(kK[t / 20]))));
}

// W[4g..4g+3] + K into wk, with w[g % 8] as the ring of the last eight vectors.
template <int G>
SSSE3_FN void ScheduleGroup128(__m128i w[8], const unsigned char *data, uint32_t wk[80]) {
    if constexpr (G < 4)
        w[G] = LoadWords128(data + 16 * size_t{G});
    else if constexpr (G < 8)
        w[G] = EarlyWords128(w[G - 4], w[G - 3], w[G - 2], w[G - 1]);
    else
        w[G % 8] = LateWords128(w[G % 8], w[(G + 1) % 8], w[(G + 4) % 8], w[(G + 6) % 8], w[(G + 7) % 8]);
    StoreWk128(wk, 4 * G, w[G % 8]);
}

template <int From, int To>
SSSE3_FN void ScheduleGroups128(__m128i w[8], const unsigned char *data, uint32_t wk[80]) {
    if constexpr (From < To) {
        ScheduleGroup128<From>(w, data, wk);
        ScheduleGroups128<From + 1, To>(w, data, wk);
    }
}

// The rounds of one block with its own schedule run a few groups ahead of them,
// so that the vector work overlaps the rounds instead of coming before them.
SSSE3_FN void RoundsWithOwnSchedule128(uint32_t state[5], __m128i w[8], const unsigned char *data, uint32_t wk[80]) {
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    ScheduleGroups128<0, 6>(w, data, wk);
    Steps<Choose, 10>(a, b, c, d, e, wk);
    ScheduleGroups128<6, 8>(w, data, wk);
    Steps<Choose, 10>(a, b, c, d, e, wk + 10);
    ScheduleGroups128<8, 10>(w, data, wk);
    Steps<Parity, 10>(a, b, c, d, e, wk + 20);
    ScheduleGroups128<10, 13>(w, data, wk);
    Steps<Parity, 10>(a, b, c, d, e, wk + 30);
    ScheduleGroups128<13, 15>(w, data, wk);
    Steps<Majority, 10>(a, b, c, d, e, wk + 40);
    ScheduleGroups128<15, 18>(w, data, wk);
    Steps<Majority, 10>(a, b, c, d, e, wk + 50);
    ScheduleGroups128<18, 20>(w, data, wk);
    Steps<Parity, 10>(a, b, c, d, e, wk + 60);
    Steps<Parity, 10>(a, b, c, d, e, wk + 70);
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
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

template <int G>
AVX2_FN void ScheduleGroup256(__m256i w[8], const unsigned char *first, const unsigned char *second,
                              uint32_t wk[2][80]) {
    if constexpr (G < 4)
        w[G] = LoadWords256(first + 16 * size_t{G}, second + 16 * size_t{G});
    else if constexpr (G < 8)
        w[G] = EarlyWords256(w[G - 4], w[G - 3], w[G - 2], w[G - 1]);
    else
        w[G % 8] = LateWords256(w[G % 8], w[(G + 1) % 8], w[(G + 4) % 8], w[(G + 6) % 8], w[(G + 7) % 8]);
    StoreWk256(wk, 4 * G, w[G % 8]);
}

template <int From, int To>
AVX2_FN void ScheduleGroups256(__m256i w[8], const unsigned char *first, const unsigned char *second,
                               uint32_t wk[2][80]) {
    if constexpr (From < To) {
        ScheduleGroup256<From>(w, first, second, wk);
        ScheduleGroups256<From + 1, To>(w, first, second, wk);
    }
}

// The rounds of one block (kHalf of the pair in wk) with the schedule of the
// next pair run a few groups at a time between their phases: the rounds wait
// on the latency of their sums, so the vector work fits in beside them.
template <int kHalf>
AVX2_FN void RoundsAndNextSchedule256(uint32_t state[5], const uint32_t wk[80], __m256i w[8],
                                      const unsigned char *first, const unsigned char *second, uint32_t next[2][80]) {
    constexpr int g = 10 * kHalf;
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    Steps<Choose, 10>(a, b, c, d, e, wk);
    ScheduleGroups256<g, g + 2>(w, first, second, next);
    Steps<Choose, 10>(a, b, c, d, e, wk + 10);
    ScheduleGroups256<g + 2, g + 3>(w, first, second, next);
    Steps<Parity, 10>(a, b, c, d, e, wk + 20);
    ScheduleGroups256<g + 3, g + 4>(w, first, second, next);
    Steps<Parity, 10>(a, b, c, d, e, wk + 30);
    ScheduleGroups256<g + 4, g + 5>(w, first, second, next);
    Steps<Majority, 10>(a, b, c, d, e, wk + 40);
    ScheduleGroups256<g + 5, g + 7>(w, first, second, next);
    Steps<Majority, 10>(a, b, c, d, e, wk + 50);
    ScheduleGroups256<g + 7, g + 8>(w, first, second, next);
    Steps<Parity, 10>(a, b, c, d, e, wk + 60);
    ScheduleGroups256<g + 8, g + 9>(w, first, second, next);
    Steps<Parity, 10>(a, b, c, d, e, wk + 70);
    ScheduleGroups256<g + 9, g + 10>(w, first, second, next);
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

// ---- SHA extensions ----
// The registers hold A..D with A in the top lane, E in the top lane of its own
// register, and message words W[t] in the top lane down to W[t+3].

#define SHA_FN ORVANE_TARGET("sha,ssse3") ORVANE_ALWAYS_INLINE

SHA_FN __m128i ReverseBytes(__m128i x) {
    return _mm_shuffle_epi8(x, _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15));
}

SHA_FN __m128i LoadWordsReversed(const unsigned char *p) {
    return ReverseBytes(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
}

// The state is read word by word, as Sha1Init writes it: a 16-byte load of four
// 4-byte stores cannot take their values on the way to memory but waits for them
// to reach it (measured: about 20 ns per short message). HideVector keeps the
// compiler from merging the four loads into one.
SHA_FN __m128i LoadWord(const uint32_t *word) {
    __m128i v = _mm_cvtsi32_si128(static_cast<int>(*word));
    HideVector(v);
    return v;
}

SHA_FN void LoadState(const uint32_t state[5], __m128i &abcd, __m128i &e) {
    const __m128i dc = _mm_unpacklo_epi32(LoadWord(state + 3), LoadWord(state + 2));
    const __m128i ba = _mm_unpacklo_epi32(LoadWord(state + 1), LoadWord(state));
    abcd = _mm_unpacklo_epi64(dc, ba);
    e = _mm_slli_si128(LoadWord(state + 4), 12);
}

SHA_FN void StoreState(uint32_t state[5], __m128i abcd, __m128i e) {
    _mm_storeu_si128(reinterpret_cast<__m128i *>(state), _mm_shuffle_epi32(abcd, 0x1B));
    state[4] = uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(e, 12)));
}

// Rounds 4g to 4g+3 over w = W[4g..4g+3], with the schedule run ahead of
// them as the words arrive: `next` (W[4g+4..] but for its last step) is
// finished, `after` takes w into its sum, and `last`, which held W[4g-4..],
// becomes the first part of W[4g+12..]. `prior` is A..D from four rounds
// back, whose rotated A is the E of these rounds.
template <int F>
SHA_FN void Rounds4(__m128i &abcd, __m128i &prior, __m128i w, __m128i &next, __m128i &after, __m128i &last) {
    const __m128i eWords = _mm_sha1nexte_epu32(prior, w);
    prior = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, eWords, F);
    next = _mm_sha1msg2_epu32(next, w);
    after = _mm_xor_si128(after, w);
    last = _mm_sha1msg1_epu32(last, w);
}

// Rounds 0-31 of a block with the words w0..w3 (W[0..15]) and E `e`; the
// words and `prior` are left as the rounds from 32 on take them.
SHA_FN void RoundsTo32(__m128i &abcd, __m128i &prior, __m128i e, __m128i &w0, __m128i &w1, __m128i &w2, __m128i &w3) {
    // Rounds 0-11, with the schedule started as in Rounds4.
    prior = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, _mm_add_epi32(e, w0), 0);
    __m128i eWords = _mm_sha1nexte_epu32(prior, w1);
    prior = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, eWords, 0);
    w0 = _mm_sha1msg1_epu32(w0, w1);
    eWords = _mm_sha1nexte_epu32(prior, w2);
    prior = abcd;
    abcd = _mm_sha1rnds4_epu32(abcd, eWords, 0);
    w0 = _mm_xor_si128(w0, w2);
    w1 = _mm_sha1msg1_epu32(w1, w2);
    Rounds4<0>(abcd, prior, w3, w0, w1, w2);  // 12-15
    Rounds4<0>(abcd, prior, w0, w1, w2, w3);
    Rounds4<1>(abcd, prior, w1, w2, w3, w0);
    Rounds4<1>(abcd, prior, w2, w3, w0, w1);
    Rounds4<1>(abcd, prior, w3, w0, w1, w2);  // 28-31
}

SHA_FN void RoundsFrom32(__m128i &abcd, __m128i &prior, __m128i &w0, __m128i &w1, __m128i &w2, __m128i &w3) {
    Rounds4<1>(abcd, prior, w0, w1, w2, w3);
    Rounds4<1>(abcd, prior, w1, w2, w3, w0);  // 36-39
    Rounds4<2>(abcd, prior, w2, w3, w0, w1);
    Rounds4<2>(abcd, prior, w3, w0, w1, w2);
    Rounds4<2>(abcd, prior, w0, w1, w2, w3);
    Rounds4<2>(abcd, prior, w1, w2, w3, w0);
    Rounds4<2>(abcd, prior, w2, w3, w0, w1);  // 56-59
    Rounds4<3>(abcd, prior, w3, w0, w1, w2);
    Rounds4<3>(abcd, prior, w0, w1, w2, w3);
    Rounds4<3>(abcd, prior, w1, w2, w3, w0);
    Rounds4<3>(abcd, prior, w2, w3, w0, w1);
    Rounds4<3>(abcd, prior, w3, w0, w1, w2);  // 76-79
}

// One block whose words are already in registers, added into A..D and E.
SHA_FN void CompressWords(__m128i &abcd, __m128i &e, __m128i w0, __m128i w1, __m128i w2, __m128i w3) {
    const __m128i abcdBefore = abcd;
    __m128i prior;
    RoundsTo32(abcd, prior, e, w0, w1, w2, w3);
    RoundsFrom32(abcd, prior, w0, w1, w2, w3);
    e = _mm_sha1nexte_epu32(prior, e);
    abcd = _mm_add_epi32(abcd, abcdBefore);
}

// ---- A partial block kept as whole 16-byte chunks ----

// x86 is little-endian: the first byte is the least significant.
inline uint64_t LoadLittle64(const unsigned char *p) {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline uint32_t LoadLittle32(const unsigned char *p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The `length` (1 to 15) bytes at `p` followed by zeros, read without touching
// a byte past them: two loads that overlap in the middle, each at most as wide
// as the bytes there are.
ORVANE_TARGET("sse2") ORVANE_ALWAYS_INLINE __m128i LoadShort(const unsigned char *p, uint32_t length) {
    uint64_t low, high = 0;
    if (length >= 8) {
        low = LoadLittle64(p);
        // Bytes 8 to length-1 are the top ones of the eight that end the run
        // (two shifts, as the one of 64 bits that length 8 asks for is undefined).
        high = (LoadLittle64(p + length - 8) >> (8 * (15 - length))) >> 8;
    } else if (length >= 4) {
        low = LoadLittle32(p) | uint64_t{LoadLittle32(p + length - 4)} << (8 * (length - 4));
    } else {
        low = p[0] | uint64_t{p[length / 2]} << (8 * (length / 2)) | uint64_t{p[length - 1]} << (8 * (length - 1));
    }
    return _mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low));
}

// pshufb indices that move a vector down by 16 - n bytes and zero the top:
// the 16 of them from kMoveDown + 16 - n.
constexpr signed char kMoveDown[32] = {0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15,
                                       -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};

// Byte masks taken 16 at a time from 16 - n: the first n bytes set, and 0x80
// at byte n alone (none for n = 16).
constexpr unsigned char kFirstBytes[32] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                           0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr unsigned char kEndMark[32] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80};

// Chunk k (0 to 3) of the padded last block: the bytes of `block` below
// `used`, 0x80 at `used`, zeros above. Bytes of `block` from `used` on are
// stale and never read into the result; a chunk wholly below or above `used`
// needs no mask, and one above is not loaded at all.
template <int k>
ORVANE_TARGET("sse2")
ORVANE_ALWAYS_INLINE __m128i PaddedChunk(const unsigned char block[64], uint32_t used) {
    // Chunk 0 starts at or below the end, and chunk 3 ends past it (`used` is below 64).
    const int end = static_cast<int>(used) - 16 * k;
    if constexpr (k > 0) {
        if (end < 0) return _mm_setzero_si128();
    }
    if (end == 0) return _mm_cvtsi32_si128(0x80);
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 16 * size_t{k}));
    if constexpr (k < 3) {
        if (end >= 16) return bytes;
    }
    const __m128i kept =
        _mm_and_si128(bytes, _mm_loadu_si128(reinterpret_cast<const __m128i *>(kFirstBytes + 16 - end)));
    return _mm_or_si128(kept, _mm_loadu_si128(reinterpret_cast<const __m128i *>(kEndMark + 16 - end)));
}

// Chunk 3 of the last block with the bit length alone: most significant byte
// first, in bytes 8 to 15.
SSSE3_FN __m128i LengthChunk(uint64_t bits) {
    return _mm_shuffle_epi8(_mm_set_epi64x(static_cast<long long>(bits), 0),
                            _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 15, 14, 13, 12, 11, 10, 9, 8));
}

SSSE3_FN void StoreChunks(unsigned char block[64], __m128i chunk0, __m128i chunk1, __m128i chunk2, __m128i chunk3) {
    __m128i *const chunks = reinterpret_cast<__m128i *>(block);
    _mm_storeu_si128(chunks, chunk0);
    _mm_storeu_si128(chunks + 1, chunk1);
    _mm_storeu_si128(chunks + 2, chunk2);
    _mm_storeu_si128(chunks + 3, chunk3);
}

// The last block or two of the vector paths: put together in registers and
// stored as whole 16-byte chunks, which the block function's 16-byte loads
// take straight from the stores.
template <Sha1BlocksFn kBlocks>
ORVANE_TARGET("ssse3")
ORVANE_ALWAYS_INLINE void FinishInChunks(uint32_t state[5], unsigned char block[64], uint32_t used, uint64_t bits,
                    unsigned char digest[20]) {
    const __m128i chunk0 = PaddedChunk<0>(block, used), chunk1 = PaddedChunk<1>(block, used);
    const __m128i chunk2 = PaddedChunk<2>(block, used), chunk3 = PaddedChunk<3>(block, used);
    StoreChunks(block, chunk0, chunk1, chunk2, used >= 56 ? chunk3 : _mm_or_si128(chunk3, LengthChunk(bits)));
    if (used >= 56) {
        kBlocks(state, block, 1);
        const __m128i zero = _mm_setzero_si128();
        StoreChunks(block, zero, zero, zero, LengthChunk(bits));
    }
    kBlocks(state, block, 1);
    Sha1StoreDigest(state, digest);
}

}  // namespace

// Each vector path's finish compresses with that path's own block function.
ORVANE_TARGET("ssse3")
void Sha1Ssse3Finish(uint32_t state[5], unsigned char block[64], uint32_t used, uint64_t bits,
                     unsigned char digest[20]) {
    FinishInChunks<Sha1Ssse3Blocks>(state, block, used, bits, digest);
}

ORVANE_TARGET("ssse3")
void Sha1Avx2Finish(uint32_t state[5], unsigned char block[64], uint32_t used, uint64_t bits,
                    unsigned char digest[20]) {
    FinishInChunks<Sha1Avx2Blocks>(state, block, used, bits, digest);
}

// Each chunk of `block` that takes bytes is written by one 16-byte store, the
// last one with zeros after the bytes.
ORVANE_TARGET("ssse3")
void Sha1KeepInChunks(unsigned char block[64], const unsigned char *input, size_t consumed, uint32_t length) {
    const unsigned char *in = input + consumed;
    uint32_t done = 0;
    for (; done + 16 <= length; done += 16)
        _mm_storeu_si128(reinterpret_cast<__m128i *>(block + done),
                         _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + done)));
    const uint32_t rest = length - done;
    if (rest == 0) return;
    __m128i last;
    if (consumed + length >= 16) {
        // The 16 bytes that end where the input ends are all the caller's: moved down.
        const __m128i ending = _mm_loadu_si128(reinterpret_cast<const __m128i *>(in + length - 16));
        last = _mm_shuffle_epi8(ending, _mm_loadu_si128(reinterpret_cast<const __m128i *>(kMoveDown + 16 - rest)));
    } else {
        last = LoadShort(in + done, rest);
    }
    _mm_storeu_si128(reinterpret_cast<__m128i *>(block + done), last);
}

ORVANE_TARGET("ssse3") void Sha1Ssse3Blocks(uint32_t state[5], const unsigned char *data, size_t blocks) {
    uint32_t wk[80];
    __m128i w[8];
    for (; blocks > 0; --blocks, data += 64) RoundsWithOwnSchedule128(state, w, data, wk);
}

ORVANE_TARGET("avx2,bmi,bmi2") void Sha1Avx2Blocks(uint32_t state[5], const unsigned char *data, size_t blocks) {
    if (blocks <= 1) {
        // One block, as a short message gives: no second half to fill, no next pair to schedule.
        Sha1Ssse3Blocks(state, data, blocks);
        return;
    }
    uint32_t wk[2][2][80];  // the schedules of the pair in the rounds and of the next pair
    __m256i w[8];
    ScheduleGroups256<0, 20>(w, data, data + 64, wk[0]);
    for (int now = 0; blocks > 0; now ^= 1) {
        const size_t count = blocks >= 2 ? 2 : 1;
        const unsigned char *const pair = data;
        data += 64 * count;
        blocks -= count;
        // After the last pair, its own bytes stand in for the next (read, not used).
        const unsigned char *first = blocks > 0 ? data : pair;
        const unsigned char *second = blocks >= 2 ? data + 64 : first;
        RoundsAndNextSchedule256<0>(state, wk[now][0], w, first, second, wk[now ^ 1]);
        if (count == 2) RoundsAndNextSchedule256<1>(state, wk[now][1], w, first, second, wk[now ^ 1]);
    }
}

ORVANE_TARGET("sha,ssse3") void Sha1ShaExtensionsBlocks(uint32_t state[5], const unsigned char *data, size_t blocks) {
    // The first block is loaded ahead of the loop: with no block there is nothing to load.
    if (blocks == 0) return;
    __m128i abcd, e;
    LoadState(state, abcd, e);
    // The words of each block are loaded in the middle of the block before it: the
    // rounds fill the scheduler, and loads issued only after them delay every block's
    // start (measured: about 2% at 1 MiB; at the very start of the block it is slower).
    __m128i next0 = LoadWordsReversed(data), next1 = LoadWordsReversed(data + 16);
    __m128i next2 = LoadWordsReversed(data + 32), next3 = LoadWordsReversed(data + 48);
    for (; blocks > 0; --blocks, data += 64) {
        const __m128i abcdBefore = abcd;
        __m128i w0 = next0, w1 = next1, w2 = next2, w3 = next3, prior;
        RoundsTo32(abcd, prior, e, w0, w1, w2, w3);
        if (blocks > 1) {
            next0 = LoadWordsReversed(data + 64), next1 = LoadWordsReversed(data + 80);
            next2 = LoadWordsReversed(data + 96), next3 = LoadWordsReversed(data + 112);
        }
        RoundsFrom32(abcd, prior, w0, w1, w2, w3);
        e = _mm_sha1nexte_epu32(prior, e);
        abcd = _mm_add_epi32(abcd, abcdBefore);
    }
    StoreState(state, abcd, e);
}

// The last block or two straight from registers: nothing is written to `block`.
ORVANE_TARGET("sha,ssse3")
void Sha1ShaExtensionsFinish(uint32_t state[5], unsigned char block[64], uint32_t used, uint64_t bits,
                             unsigned char digest[20]) {
    __m128i abcd, e;
    LoadState(state, abcd, e);
    const __m128i w0 = ReverseBytes(PaddedChunk<0>(block, used)), w1 = ReverseBytes(PaddedChunk<1>(block, used));
    const __m128i w2 = ReverseBytes(PaddedChunk<2>(block, used)), w3 = ReverseBytes(PaddedChunk<3>(block, used));
    // The bit length, most significant byte first in the last eight bytes, is
    // the two lowest words once the bytes are reversed.
    const __m128i length = _mm_set_epi64x(0, static_cast<long long>(bits));
    if (used >= 56) {
        CompressWords(abcd, e, w0, w1, w2, w3);
        const __m128i zero = _mm_setzero_si128();
        CompressWords(abcd, e, zero, zero, zero, length);
    } else {
        CompressWords(abcd, e, w0, w1, w2, _mm_or_si128(w3, length));
    }
    StoreState(state, abcd, e);
    // A..D most significant byte first is the reversed register; E is its own top lane reversed.
    _mm_storeu_si128(reinterpret_cast<__m128i *>(digest), ReverseBytes(abcd));
    const uint32_t eBigEndian = static_cast<uint32_t>(_mm_cvtsi128_si32(ReverseBytes(e)));
    std::memcpy(digest + 16, &eBigEndian, 4);
}

#endif  // ORVANE_X86

void Sha1PortableFinish(uint32_t state[5], unsigned char block[64], uint32_t used, uint64_t bits,
                        unsigned char digest[20]) {
    Sha1FinishInBlock(Sha1PortableBlocks, state, block, used, bits, digest);
}

namespace {

// Each table names only its own path's functions: a CPU that runs one path must never
// be handed a function that needs more than that path does.
constexpr Sha1PathFunctions kPortable{Sha1PortableBlocks, Sha1KeepByCopy, Sha1PortableFinish};
#if ORVANE_X86
constexpr Sha1PathFunctions kSsse3Path{Sha1Ssse3Blocks, Sha1KeepInChunks, Sha1Ssse3Finish};
constexpr Sha1PathFunctions kAvx2Path{Sha1Avx2Blocks, Sha1KeepInChunks, Sha1Avx2Finish};
constexpr Sha1PathFunctions kShaExtensionsPath{Sha1ShaExtensionsBlocks, Sha1KeepInChunks, Sha1ShaExtensionsFinish};
#endif

}  // namespace

const Sha1PathFunctions *Sha1FunctionsOf(Sha1Path path) {
    switch (path) {  // GCOVR_EXCL_BR_LINE: every Sha1Path is a case on x86
        case Sha1Path::kPortable:
            return &kPortable;
#if ORVANE_X86
        case Sha1Path::kSsse3:
            return &kSsse3Path;
        case Sha1Path::kAvx2:
            return &kAvx2Path;
        case Sha1Path::kShaExtensions:
            return &kShaExtensionsPath;
#else
        default:
            break;
#endif
    }
    return nullptr;  // GCOVR_EXCL_LINE: reached only off x86
}

Sha1BlocksFn Sha1BlocksOf(Sha1Path path) {
    const Sha1PathFunctions *functions = Sha1FunctionsOf(path);
    return functions ? functions->blocks : nullptr;  // GCOVR_EXCL_BR_LINE: null only off x86
}

}  // namespace orvane::detail
