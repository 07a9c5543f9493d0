#include "support/md5.h"

#include <cstddef>

#include "support/compiler.h"

namespace orvane {
namespace {

inline uint32_t Rotl(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

// a = b + rotl(a + g(b, c, d) + X[k] + T, s) for the four functions of RFC 1321.
// b is the word made by the step before, so everything that does not depend on
// it is summed first; HideValue stops the optimiser from moving the constant to
// the end of the sum, where it would lengthen the chain from one step to the
// next.
inline void StepF(uint32_t &a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t, int s) {
    a += x + t;
    detail::HideValue(a);
    a = b + Rotl(a + (d ^ (b & (c ^ d))), s);
}

// (b AND d) OR (c AND NOT d): the two terms never share a set bit, so they are
// added, the second one ahead of b.
inline void StepG(uint32_t &a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t, int s) {
    a += x + t + (c & ~d);
    detail::HideValue(a);
    a = b + Rotl(a + (b & d), s);
}

inline void StepH(uint32_t &a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t, int s) {
    a += x + t;
    detail::HideValue(a);
    a = b + Rotl(a + (b ^ c ^ d), s);
}

inline void StepI(uint32_t &a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t, int s) {
    a += x + t;
    detail::HideValue(a);
    a = b + Rotl(a + (c ^ (b | ~d)), s);
}

}  // namespace

void Md5Transform(uint32_t state[4], const unsigned char block[64]) {
    uint32_t a = state[0];
    uint32_t b = state[1];
    uint32_t c = state[2];
    uint32_t d = state[3];
    uint32_t x[16];
    Md5Decode(x, block, 64);

    StepF(a, b, c, d, x[0], 0xD76AA478u, 7);
    StepF(d, a, b, c, x[1], 0xE8C7B756u, 12);
    StepF(c, d, a, b, x[2], 0x242070DBu, 17);
    StepF(b, c, d, a, x[3], 0xC1BDCEEEu, 22);
    StepF(a, b, c, d, x[4], 0xF57C0FAFu, 7);
    StepF(d, a, b, c, x[5], 0x4787C62Au, 12);
    StepF(c, d, a, b, x[6], 0xA8304613u, 17);
    StepF(b, c, d, a, x[7], 0xFD469501u, 22);
    StepF(a, b, c, d, x[8], 0x698098D8u, 7);
    StepF(d, a, b, c, x[9], 0x8B44F7AFu, 12);
    StepF(c, d, a, b, x[10], 0xFFFF5BB1u, 17);
    StepF(b, c, d, a, x[11], 0x895CD7BEu, 22);
    StepF(a, b, c, d, x[12], 0x6B901122u, 7);
    StepF(d, a, b, c, x[13], 0xFD987193u, 12);
    StepF(c, d, a, b, x[14], 0xA679438Eu, 17);
    StepF(b, c, d, a, x[15], 0x49B40821u, 22);

    StepG(a, b, c, d, x[1], 0xF61E2562u, 5);
    StepG(d, a, b, c, x[6], 0xC040B340u, 9);
    StepG(c, d, a, b, x[11], 0x265E5A51u, 14);
    StepG(b, c, d, a, x[0], 0xE9B6C7AAu, 20);
    StepG(a, b, c, d, x[5], 0xD62F105Du, 5);
    StepG(d, a, b, c, x[10], 0x02441453u, 9);
    StepG(c, d, a, b, x[15], 0xD8A1E681u, 14);
    StepG(b, c, d, a, x[4], 0xE7D3FBC8u, 20);
    StepG(a, b, c, d, x[9], 0x21E1CDE6u, 5);
    StepG(d, a, b, c, x[14], 0xC33707D6u, 9);
    StepG(c, d, a, b, x[3], 0xF4D50D87u, 14);
    StepG(b, c, d, a, x[8], 0x455A14EDu, 20);
    StepG(a, b, c, d, x[13], 0xA9E3E905u, 5);
    StepG(d, a, b, c, x[2], 0xFCEFA3F8u, 9);
    StepG(c, d, a, b, x[7], 0x676F02D9u, 14);
    StepG(b, c, d, a, x[12], 0x8D2A4C8Au, 20);

    StepH(a, b, c, d, x[5], 0xFFFA3942u, 4);
    StepH(d, a, b, c, x[8], 0x8771F681u, 11);
    StepH(c, d, a, b, x[11], 0x6D9D6122u, 16);
    StepH(b, c, d, a, x[14], 0xFDE5380Cu, 23);
    StepH(a, b, c, d, x[1], 0xA4BEEA44u, 4);
    StepH(d, a, b, c, x[4], 0x4BDECFA9u, 11);
    StepH(c, d, a, b, x[7], 0xF6BB4B60u, 16);
    StepH(b, c, d, a, x[10], 0xBEBFBC70u, 23);
    StepH(a, b, c, d, x[13], 0x289B7EC6u, 4);
    StepH(d, a, b, c, x[0], 0xEAA127FAu, 11);
    StepH(c, d, a, b, x[3], 0xD4EF3085u, 16);
    StepH(b, c, d, a, x[6], 0x04881D05u, 23);
    StepH(a, b, c, d, x[9], 0xD9D4D039u, 4);
    StepH(d, a, b, c, x[12], 0xE6DB99E5u, 11);
    StepH(c, d, a, b, x[15], 0x1FA27CF8u, 16);
    StepH(b, c, d, a, x[2], 0xC4AC5665u, 23);

    StepI(a, b, c, d, x[0], 0xF4292244u, 6);
    StepI(d, a, b, c, x[7], 0x432AFF97u, 10);
    StepI(c, d, a, b, x[14], 0xAB9423A7u, 15);
    StepI(b, c, d, a, x[5], 0xFC93A039u, 21);
    StepI(a, b, c, d, x[12], 0x655B59C3u, 6);
    StepI(d, a, b, c, x[3], 0x8F0CCC92u, 10);
    StepI(c, d, a, b, x[10], 0xFFEFF47Du, 15);
    StepI(b, c, d, a, x[1], 0x85845DD1u, 21);
    StepI(a, b, c, d, x[8], 0x6FA87E4Fu, 6);
    StepI(d, a, b, c, x[15], 0xFE2CE6E0u, 10);
    StepI(c, d, a, b, x[6], 0xA3014314u, 15);
    StepI(b, c, d, a, x[13], 0x4E0811A1u, 21);
    StepI(a, b, c, d, x[4], 0xF7537E82u, 6);
    StepI(d, a, b, c, x[11], 0xBD3AF235u, 10);
    StepI(c, d, a, b, x[2], 0x2AD7D2BBu, 15);
    StepI(b, c, d, a, x[9], 0xEB86D391u, 21);

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;

    // The message words may hold secrets; the clear must survive dead-store
    // elimination.
    Md5FillBytes(reinterpret_cast<unsigned char *>(x), 0, sizeof x);
    detail::KeepStores(x);
}

void Md5Encode(unsigned char *output, const uint32_t *input, uint32_t length) {
    for (size_t i = 0; i < length / 4; ++i) {
        output[4 * i] = static_cast<unsigned char>(input[i]);
        output[4 * i + 1] = static_cast<unsigned char>(input[i] >> 8);
        output[4 * i + 2] = static_cast<unsigned char>(input[i] >> 16);
        output[4 * i + 3] = static_cast<unsigned char>(input[i] >> 24);
    }
}

void Md5Decode(uint32_t *output, const unsigned char *input, uint32_t length) {
    for (size_t i = 0; i < length / 4; ++i) {
        output[i] = uint32_t(input[4 * i]) | (uint32_t(input[4 * i + 1]) << 8) | (uint32_t(input[4 * i + 2]) << 16) |
                    (uint32_t(input[4 * i + 3]) << 24);
    }
}

void Md5CopyBytes(unsigned char *output, const unsigned char *input, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i) output[i] = input[i];
}

void Md5FillBytes(unsigned char *output, int value, uint32_t length) {
    for (uint32_t i = 0; i < length; ++i) output[i] = static_cast<unsigned char>(value);
}

}  // namespace orvane
