#include "support/sha1.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <memory>

#include "support/compiler.h"
#include "support/sha1_paths.h"

namespace orvane {
using namespace detail;  // the paths of sha1_paths.h and the helpers of compiler.h

const unsigned char Sha1Padding[64] = {0x80};

// Callers lay out and copy the context themselves; the block functions take only its state.
static_assert(sizeof(Sha1Context) == 92 && offsetof(Sha1Context, state) == 8, "Sha1Context layout changed");

namespace {

// Big-endian load and store, byte by byte: no alignment and no dependence on
// the host's byte order (compilers turn the load into one byte-swapping load).
inline uint32_t LoadBig32(const unsigned char *p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline void StoreBig32(unsigned char *p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 24);
    p[1] = static_cast<unsigned char>(v >> 16);
    p[2] = static_cast<unsigned char>(v >> 8);
    p[3] = static_cast<unsigned char>(v);
}

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// The message word of step t < 16, kept in slot t of the ring.
inline uint32_t Load(uint32_t *w, const unsigned char *data, int t) {
    w[t] = LoadBig32(data + 4 * static_cast<size_t>(t));
    return w[t];
}

// The schedule word of step t >= 16, computed in the 16-word ring in the slot
// of W[t-16].
inline uint32_t Next(uint32_t *w, int t) {
    const uint32_t v = Rotl(w[(t - 3) & 15] ^ w[(t - 8) & 15] ^ w[(t - 14) & 15] ^ w[t & 15], 1);
    w[t & 15] = v;
    return v;
}

// One step for each f/K pair. The word in the role of e takes the new a and the
// word in the role of b is rotated in place; the caller shifts the roles by one
// place per step instead of moving the words. The terms that are ready early
// (e, W, K) are summed first: HideValue keeps the optimiser from moving the
// constant to the end of the sum, behind rotl5(a), the newest word.
inline void StepChoose(uint32_t a, uint32_t &b, uint32_t c, uint32_t d, uint32_t &e, uint32_t w) {
    e += w + 0x5A827999u;
    HideValue(e);
    e += Rotl(a, 5) + (d ^ (b & (c ^ d)));
    b = Rotl(b, 30);
}

// Steps 20-39 and 60-79 differ only in their constant.
constexpr uint32_t kParity1 = 0x6ED9EBA1u;
constexpr uint32_t kParity2 = 0xCA62C1D6u;

template <uint32_t K>
inline void StepParity(uint32_t a, uint32_t &b, uint32_t c, uint32_t d, uint32_t &e, uint32_t w) {
    e += w + K;
    HideValue(e);
    e += Rotl(a, 5) + (b ^ c ^ d);
    b = Rotl(b, 30);
}

// (b AND c) OR (d AND (b OR c)): the two terms below never share a set bit, so
// they may be added into the sum.
inline void StepMajority(uint32_t a, uint32_t &b, uint32_t c, uint32_t d, uint32_t &e, uint32_t w) {
    e += w + 0x8F1BBCDCu;
    HideValue(e);
    e += Rotl(a, 5) + (b & c) + (d & (b ^ c));
    b = Rotl(b, 30);
}

// 40 lowercase digits and a NUL at out[40].
void PrintHex(const unsigned char digest[20], char *out) {
    static const char kDigits[] = "0123456789abcdef";
    for (size_t i = 0; i < 20; ++i) {
        out[2 * i] = kDigits[digest[i] >> 4];
        out[2 * i + 1] = kDigits[digest[i] & 0xF];
    }
    out[40] = '\0';
}

}  // namespace

void Sha1Init(Sha1Context *context) {
    context->countLow = 0;
    context->countHigh = 0;
    context->state[0] = 0x67452301u;
    context->state[1] = 0xEFCDAB89u;
    context->state[2] = 0x98BADCFEu;
    context->state[3] = 0x10325476u;
    context->state[4] = 0xC3D2E1F0u;
}

namespace {

// The portable compression of one block: the reference for the other paths.
void CompressPortable(uint32_t state[5], const unsigned char *data) {
    uint32_t a = state[0];
    uint32_t b = state[1];
    uint32_t c = state[2];
    uint32_t d = state[3];
    uint32_t e = state[4];
    uint32_t w[16];

    StepChoose(a, b, c, d, e, Load(w, data, 0));
    StepChoose(e, a, b, c, d, Load(w, data, 1));
    StepChoose(d, e, a, b, c, Load(w, data, 2));
    StepChoose(c, d, e, a, b, Load(w, data, 3));
    StepChoose(b, c, d, e, a, Load(w, data, 4));
    StepChoose(a, b, c, d, e, Load(w, data, 5));
    StepChoose(e, a, b, c, d, Load(w, data, 6));
    StepChoose(d, e, a, b, c, Load(w, data, 7));
    StepChoose(c, d, e, a, b, Load(w, data, 8));
    StepChoose(b, c, d, e, a, Load(w, data, 9));
    StepChoose(a, b, c, d, e, Load(w, data, 10));
    StepChoose(e, a, b, c, d, Load(w, data, 11));
    StepChoose(d, e, a, b, c, Load(w, data, 12));
    StepChoose(c, d, e, a, b, Load(w, data, 13));
    StepChoose(b, c, d, e, a, Load(w, data, 14));
    StepChoose(a, b, c, d, e, Load(w, data, 15));
    StepChoose(e, a, b, c, d, Next(w, 16));
    StepChoose(d, e, a, b, c, Next(w, 17));
    StepChoose(c, d, e, a, b, Next(w, 18));
    StepChoose(b, c, d, e, a, Next(w, 19));

    StepParity<kParity1>(a, b, c, d, e, Next(w, 20));
    StepParity<kParity1>(e, a, b, c, d, Next(w, 21));
    StepParity<kParity1>(d, e, a, b, c, Next(w, 22));
    StepParity<kParity1>(c, d, e, a, b, Next(w, 23));
    StepParity<kParity1>(b, c, d, e, a, Next(w, 24));
    StepParity<kParity1>(a, b, c, d, e, Next(w, 25));
    StepParity<kParity1>(e, a, b, c, d, Next(w, 26));
    StepParity<kParity1>(d, e, a, b, c, Next(w, 27));
    StepParity<kParity1>(c, d, e, a, b, Next(w, 28));
    StepParity<kParity1>(b, c, d, e, a, Next(w, 29));
    StepParity<kParity1>(a, b, c, d, e, Next(w, 30));
    StepParity<kParity1>(e, a, b, c, d, Next(w, 31));
    StepParity<kParity1>(d, e, a, b, c, Next(w, 32));
    StepParity<kParity1>(c, d, e, a, b, Next(w, 33));
    StepParity<kParity1>(b, c, d, e, a, Next(w, 34));
    StepParity<kParity1>(a, b, c, d, e, Next(w, 35));
    StepParity<kParity1>(e, a, b, c, d, Next(w, 36));
    StepParity<kParity1>(d, e, a, b, c, Next(w, 37));
    StepParity<kParity1>(c, d, e, a, b, Next(w, 38));
    StepParity<kParity1>(b, c, d, e, a, Next(w, 39));

    StepMajority(a, b, c, d, e, Next(w, 40));
    StepMajority(e, a, b, c, d, Next(w, 41));
    StepMajority(d, e, a, b, c, Next(w, 42));
    StepMajority(c, d, e, a, b, Next(w, 43));
    StepMajority(b, c, d, e, a, Next(w, 44));
    StepMajority(a, b, c, d, e, Next(w, 45));
    StepMajority(e, a, b, c, d, Next(w, 46));
    StepMajority(d, e, a, b, c, Next(w, 47));
    StepMajority(c, d, e, a, b, Next(w, 48));
    StepMajority(b, c, d, e, a, Next(w, 49));
    StepMajority(a, b, c, d, e, Next(w, 50));
    StepMajority(e, a, b, c, d, Next(w, 51));
    StepMajority(d, e, a, b, c, Next(w, 52));
    StepMajority(c, d, e, a, b, Next(w, 53));
    StepMajority(b, c, d, e, a, Next(w, 54));
    StepMajority(a, b, c, d, e, Next(w, 55));
    StepMajority(e, a, b, c, d, Next(w, 56));
    StepMajority(d, e, a, b, c, Next(w, 57));
    StepMajority(c, d, e, a, b, Next(w, 58));
    StepMajority(b, c, d, e, a, Next(w, 59));

    StepParity<kParity2>(a, b, c, d, e, Next(w, 60));
    StepParity<kParity2>(e, a, b, c, d, Next(w, 61));
    StepParity<kParity2>(d, e, a, b, c, Next(w, 62));
    StepParity<kParity2>(c, d, e, a, b, Next(w, 63));
    StepParity<kParity2>(b, c, d, e, a, Next(w, 64));
    StepParity<kParity2>(a, b, c, d, e, Next(w, 65));
    StepParity<kParity2>(e, a, b, c, d, Next(w, 66));
    StepParity<kParity2>(d, e, a, b, c, Next(w, 67));
    StepParity<kParity2>(c, d, e, a, b, Next(w, 68));
    StepParity<kParity2>(b, c, d, e, a, Next(w, 69));
    StepParity<kParity2>(a, b, c, d, e, Next(w, 70));
    StepParity<kParity2>(e, a, b, c, d, Next(w, 71));
    StepParity<kParity2>(d, e, a, b, c, Next(w, 72));
    StepParity<kParity2>(c, d, e, a, b, Next(w, 73));
    StepParity<kParity2>(b, c, d, e, a, Next(w, 74));
    StepParity<kParity2>(a, b, c, d, e, Next(w, 75));
    StepParity<kParity2>(e, a, b, c, d, Next(w, 76));
    StepParity<kParity2>(d, e, a, b, c, Next(w, 77));
    StepParity<kParity2>(c, d, e, a, b, Next(w, 78));
    StepParity<kParity2>(b, c, d, e, a, Next(w, 79));

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}

// The functions of this process's path, picked on first use. Threads that race
// on the first calls each pick and store the same pointer; relaxed order is
// enough because it points to a constant table, never to data written before
// the store.
std::atomic<const Sha1PathFunctions *> dispatchedPath{nullptr};

// Out of line, so that the work of the first call stays out of every later one.
ORVANE_NOINLINE const Sha1PathFunctions &PickPathOnFirstUse() {
    const Sha1PathFunctions *path = Sha1FunctionsOf(Sha1DispatchedPath());
    dispatchedPath.store(path, std::memory_order_relaxed);
    return *path;
}

inline const Sha1PathFunctions &DispatchedPath() {
    const Sha1PathFunctions *path = dispatchedPath.load(std::memory_order_relaxed);
    return path ? *path : PickPathOnFirstUse();
}

}  // namespace

void detail::Sha1PortableBlocks(uint32_t state[5], const unsigned char *data, size_t blocks) {
    for (; blocks > 0; --blocks, data += 64) CompressPortable(state, data);
}

Sha1Path detail::Sha1DispatchedPath() { return PickSha1Path(ReadSha1Cpuid()); }

void Sha1Transform(Sha1Context *context, const unsigned char *data) {
    DispatchedPath().blocks(context->state, data, 1);
}

void Sha1Update(Sha1Context *context, const void *input, uint32_t length) {
    Sha1UpdateWith(DispatchedPath(), context, input, length);
}

void Sha1Final(Sha1Context *context, unsigned char digest[20]) { Sha1FinalWith(DispatchedPath(), context, digest); }

// Whole blocks go to the block function in one call, so a fast path keeps its
// state in registers from block to block.
void detail::Sha1UpdateWith(const Sha1PathFunctions &path, Sha1Context *context, const void *input, uint32_t length) {
    if (length == 0) return;
    const unsigned char *const start = static_cast<const unsigned char *>(input);
    const unsigned char *in = start;
    uint32_t used = context->countLow % 64;
    const uint32_t room = 64 - used;

    context->countLow += length;
    if (context->countLow < length) ++context->countHigh;

    if (used > 0 && length >= room) {
        std::memcpy(context->block + used, in, room);
        path.blocks(context->state, context->block, 1);
        in += room;
        length -= room;
        used = 0;
    }
    if (length >= 64) {
        path.blocks(context->state, in, length / 64);
        in += size_t{length / 64} * 64;
        length %= 64;
    }
    if (length == 0) return;
    if (used == 0)
        path.keep(context->block, start, static_cast<size_t>(in - start), length);
    else
        std::memcpy(context->block + used, in, length);
}

void detail::Sha1KeepByCopy(unsigned char block[64], const unsigned char *input, size_t consumed, uint32_t length) {
    std::memcpy(block, input + consumed, length);
}

void detail::Sha1FinalWith(const Sha1PathFunctions &path, Sha1Context *context, unsigned char digest[20]) {
    const uint32_t used = context->countLow % 64;
    const uint64_t bits = ((uint64_t{context->countHigh} << 32) | context->countLow) << 3;
    // The counts end as if the padding and the length had gone through Sha1Update.
    const uint32_t added = (used < 56 ? 64 : 128) - used;
    context->countLow += added;
    context->countHigh += static_cast<uint32_t>(context->countLow < added);
    path.finish(context->state, context->block, used, bits, digest);
}

// The padding is written into `block` in place: 0x80, zeros, and the bit length
// in the last eight bytes of the last block, which is the next one when fewer
// than nine bytes are left in this one.
void detail::Sha1FinishInBlock(Sha1BlocksFn blocks, uint32_t state[5], unsigned char block[64], uint32_t used,
                               uint64_t bits, unsigned char digest[20]) {
    block[used] = 0x80;
    std::memset(block + used + 1, 0, 63 - used);
    if (used >= 56) {
        blocks(state, block, 1);
        std::memset(block, 0, 56);
    }
    StoreBig32(block + 56, static_cast<uint32_t>(bits >> 32));
    StoreBig32(block + 60, static_cast<uint32_t>(bits));
    blocks(state, block, 1);

    Sha1StoreDigest(state, digest);
}

void detail::Sha1StoreDigest(const uint32_t state[5], unsigned char digest[20]) {
    for (size_t i = 0; i < 5; ++i) StoreBig32(digest + 4 * i, state[i]);
}

int Sha1HexLength() { return 41; }

void Sha1HexOfData(const void *data, uint32_t length, char *out) {
    Sha1Context context;
    unsigned char digest[20];
    Sha1Init(&context);
    Sha1Update(&context, data, length);
    Sha1Final(&context, digest);
    PrintHex(digest, out);
}

void Sha1HexOfText(const char *text, char *out) {
    const size_t length = std::strlen(text);
    if (length <= UINT32_MAX) {  // GCOVR_EXCL_BR_LINE: see below
        Sha1HexOfData(text, static_cast<uint32_t>(length), out);
        return;
    }
    // A text of 4 GiB or more does not fit one 32-bit length: feed it in pieces
    // rather than hash a truncated length.
    // GCOVR_EXCL_START: run by the host build's slow test (hash_openssl_test), not under Wine
    Sha1Context context;
    unsigned char digest[20];
    Sha1Init(&context);
    for (size_t done = 0; done < length;) {
        const uint32_t piece = static_cast<uint32_t>(length - done < 0x40000000u ? length - done : 0x40000000u);
        Sha1Update(&context, text + done, piece);
        done += piece;
    }
    Sha1Final(&context, digest);
    PrintHex(digest, out);
    // GCOVR_EXCL_STOP
}

char *Sha1HexNew(const char *text) {
    std::unique_ptr<char[]> hex(new char[Sha1HexLength()]);
    Sha1HexOfText(text, hex.get());
    return hex.release();
}

AnsiString Sha1HexString(AnsiString text) {
    std::unique_ptr<char[]> hex(Sha1HexNew(text.c_str()));
    return AnsiString(hex.get(), 40);
}

}  // namespace orvane
