#include "support/sha1.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "support/compiler.h"

const unsigned char Sha1Padding[64] = {0x80};

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

// The schedule word of step t >= 16, computed in the 16-word ring in the slot
// of W[t-16].
inline uint32_t Next(uint32_t *w, int t) {
    const uint32_t v = Rotl(w[(t - 3) & 15] ^ w[(t - 8) & 15] ^ w[(t - 14) & 15] ^ w[t & 15], 1);
    w[t & 15] = v;
    return v;
}

// One step for each f/K pair. The word in the role of e takes the new a and the
// word in the role of b is rotated in place; the caller shifts the roles by one
// place per step instead of moving the words.
inline void StepChoose(uint32_t a, uint32_t &b, uint32_t c, uint32_t d, uint32_t &e, uint32_t k, uint32_t w) {
    e += Rotl(a, 5) + (d ^ (b & (c ^ d))) + k + w;
    b = Rotl(b, 30);
}

inline void StepParity(uint32_t a, uint32_t &b, uint32_t c, uint32_t d, uint32_t &e, uint32_t k, uint32_t w) {
    e += Rotl(a, 5) + (b ^ c ^ d) + k + w;
    b = Rotl(b, 30);
}

// (b AND c) OR (d AND (b OR c)): the two terms below never share a set bit, so
// they may be added, which lets the compiler fold them into the sum.
inline void StepMajority(uint32_t a, uint32_t &b, uint32_t c, uint32_t d, uint32_t &e, uint32_t k, uint32_t w) {
    e += Rotl(a, 5) + (b & c) + (d & (b ^ c)) + k + w;
    b = Rotl(b, 30);
}

// Each print writes a NUL behind its two digits; the last one stays at out[40].
void PrintHex(const unsigned char digest[20], char *out) {
    for (int i = 0; i < 20; ++i) std::snprintf(out + 2 * i, 3, "%02x", digest[i]);
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

void Sha1Transform(Sha1Context *context, const unsigned char *data) {
    uint32_t w[16];
    for (int i = 0; i < 16; ++i) w[i] = LoadBig32(data + 4 * i);

    uint32_t a = context->state[0];
    uint32_t b = context->state[1];
    uint32_t c = context->state[2];
    uint32_t d = context->state[3];
    uint32_t e = context->state[4];

    uint32_t k = 0x5A827999u;
    HideValue(k);
    StepChoose(a, b, c, d, e, k, w[0]);
    StepChoose(e, a, b, c, d, k, w[1]);
    StepChoose(d, e, a, b, c, k, w[2]);
    StepChoose(c, d, e, a, b, k, w[3]);
    StepChoose(b, c, d, e, a, k, w[4]);
    StepChoose(a, b, c, d, e, k, w[5]);
    StepChoose(e, a, b, c, d, k, w[6]);
    StepChoose(d, e, a, b, c, k, w[7]);
    StepChoose(c, d, e, a, b, k, w[8]);
    StepChoose(b, c, d, e, a, k, w[9]);
    StepChoose(a, b, c, d, e, k, w[10]);
    StepChoose(e, a, b, c, d, k, w[11]);
    StepChoose(d, e, a, b, c, k, w[12]);
    StepChoose(c, d, e, a, b, k, w[13]);
    StepChoose(b, c, d, e, a, k, w[14]);
    StepChoose(a, b, c, d, e, k, w[15]);
    StepChoose(e, a, b, c, d, k, Next(w, 16));
    StepChoose(d, e, a, b, c, k, Next(w, 17));
    StepChoose(c, d, e, a, b, k, Next(w, 18));
    StepChoose(b, c, d, e, a, k, Next(w, 19));

    k = 0x6ED9EBA1u;
    HideValue(k);
    StepParity(a, b, c, d, e, k, Next(w, 20));
    StepParity(e, a, b, c, d, k, Next(w, 21));
    StepParity(d, e, a, b, c, k, Next(w, 22));
    StepParity(c, d, e, a, b, k, Next(w, 23));
    StepParity(b, c, d, e, a, k, Next(w, 24));
    StepParity(a, b, c, d, e, k, Next(w, 25));
    StepParity(e, a, b, c, d, k, Next(w, 26));
    StepParity(d, e, a, b, c, k, Next(w, 27));
    StepParity(c, d, e, a, b, k, Next(w, 28));
    StepParity(b, c, d, e, a, k, Next(w, 29));
    StepParity(a, b, c, d, e, k, Next(w, 30));
    StepParity(e, a, b, c, d, k, Next(w, 31));
    StepParity(d, e, a, b, c, k, Next(w, 32));
    StepParity(c, d, e, a, b, k, Next(w, 33));
    StepParity(b, c, d, e, a, k, Next(w, 34));
    StepParity(a, b, c, d, e, k, Next(w, 35));
    StepParity(e, a, b, c, d, k, Next(w, 36));
    StepParity(d, e, a, b, c, k, Next(w, 37));
    StepParity(c, d, e, a, b, k, Next(w, 38));
    StepParity(b, c, d, e, a, k, Next(w, 39));

    k = 0x8F1BBCDCu;
    HideValue(k);
    StepMajority(a, b, c, d, e, k, Next(w, 40));
    StepMajority(e, a, b, c, d, k, Next(w, 41));
    StepMajority(d, e, a, b, c, k, Next(w, 42));
    StepMajority(c, d, e, a, b, k, Next(w, 43));
    StepMajority(b, c, d, e, a, k, Next(w, 44));
    StepMajority(a, b, c, d, e, k, Next(w, 45));
    StepMajority(e, a, b, c, d, k, Next(w, 46));
    StepMajority(d, e, a, b, c, k, Next(w, 47));
    StepMajority(c, d, e, a, b, k, Next(w, 48));
    StepMajority(b, c, d, e, a, k, Next(w, 49));
    StepMajority(a, b, c, d, e, k, Next(w, 50));
    StepMajority(e, a, b, c, d, k, Next(w, 51));
    StepMajority(d, e, a, b, c, k, Next(w, 52));
    StepMajority(c, d, e, a, b, k, Next(w, 53));
    StepMajority(b, c, d, e, a, k, Next(w, 54));
    StepMajority(a, b, c, d, e, k, Next(w, 55));
    StepMajority(e, a, b, c, d, k, Next(w, 56));
    StepMajority(d, e, a, b, c, k, Next(w, 57));
    StepMajority(c, d, e, a, b, k, Next(w, 58));
    StepMajority(b, c, d, e, a, k, Next(w, 59));

    k = 0xCA62C1D6u;
    HideValue(k);
    StepParity(a, b, c, d, e, k, Next(w, 60));
    StepParity(e, a, b, c, d, k, Next(w, 61));
    StepParity(d, e, a, b, c, k, Next(w, 62));
    StepParity(c, d, e, a, b, k, Next(w, 63));
    StepParity(b, c, d, e, a, k, Next(w, 64));
    StepParity(a, b, c, d, e, k, Next(w, 65));
    StepParity(e, a, b, c, d, k, Next(w, 66));
    StepParity(d, e, a, b, c, k, Next(w, 67));
    StepParity(c, d, e, a, b, k, Next(w, 68));
    StepParity(b, c, d, e, a, k, Next(w, 69));
    StepParity(a, b, c, d, e, k, Next(w, 70));
    StepParity(e, a, b, c, d, k, Next(w, 71));
    StepParity(d, e, a, b, c, k, Next(w, 72));
    StepParity(c, d, e, a, b, k, Next(w, 73));
    StepParity(b, c, d, e, a, k, Next(w, 74));
    StepParity(a, b, c, d, e, k, Next(w, 75));
    StepParity(e, a, b, c, d, k, Next(w, 76));
    StepParity(d, e, a, b, c, k, Next(w, 77));
    StepParity(c, d, e, a, b, k, Next(w, 78));
    StepParity(b, c, d, e, a, k, Next(w, 79));

    context->state[0] += a;
    context->state[1] += b;
    context->state[2] += c;
    context->state[3] += d;
    context->state[4] += e;
}

void Sha1Update(Sha1Context *context, const void *input, uint32_t length) {
    if (length == 0) return;
    const unsigned char *in = static_cast<const unsigned char *>(input);
    uint32_t used = context->countLow % 64;
    const uint32_t room = 64 - used;

    context->countLow += length;
    if (context->countLow < length) ++context->countHigh;

    if (used > 0 && length >= room) {
        std::memcpy(context->block + used, in, room);
        Sha1Transform(context, context->block);
        in += room;
        length -= room;
        used = 0;
    }
    for (; length >= 64; in += 64, length -= 64) Sha1Transform(context, in);
    if (length > 0) std::memcpy(context->block + used, in, length);
}

void Sha1Final(Sha1Context *context, unsigned char digest[20]) {
    unsigned char bits[8];
    StoreBig32(bits, (context->countHigh << 3) | (context->countLow >> 29));
    StoreBig32(bits + 4, context->countLow << 3);

    const uint32_t last = context->countLow % 64;
    Sha1Update(context, Sha1Padding, last < 56 ? 56 - last : 120 - last);
    Sha1Update(context, bits, 8);

    for (int i = 0; i < 5; ++i) StoreBig32(digest + 4 * i, context->state[i]);
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
    if (length <= UINT32_MAX) {
        Sha1HexOfData(text, static_cast<uint32_t>(length), out);
        return;
    }
    // A text of 4 GiB or more does not fit one 32-bit length: feed it in pieces
    // rather than hash a truncated length.
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
