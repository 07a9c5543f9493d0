#pragma once

#include <cstdint>

#include "framework/ansi_string.h"

namespace orvane {

// SHA-1 (FIPS 180-1) over byte strings, in two layers: a streaming digest over
// a caller-owned context, and a hex-text layer on top of it. Nothing here
// reports an error or checks its pointers. The one global mutable state is the
// code path picked on first use, from what the CPU runs; threads may race on
// it, as each stores the same choice.

// A plain record owned by the caller; it holds no pointers and needs no
// clean-up. Between calls `block` holds exactly countLow % 64 valid bytes.
struct Sha1Context {
    uint32_t countLow;        // low 32 bits of the message length in bytes (not bits)
    uint32_t countHigh;       // raised by one each time countLow wraps
    uint32_t state[5];        // chaining words A, B, C, D, E
    unsigned char block[64];  // the current, not yet complete input block
};

// 0x80 and 63 zero bytes: the source of the message padding.
extern const unsigned char Sha1Padding[64];

// Resets the counts and the chaining words; `block` is left as it is.
void Sha1Init(Sha1Context *context);

// Compresses 64 bytes at any address into context->state. Touches neither the
// counts nor context->block, and only reads the input.
void Sha1Transform(Sha1Context *context, const unsigned char *data);

// Absorbs `length` bytes (0 is allowed and changes nothing). Whole blocks are
// compressed straight from the caller's memory; only a partial block at the
// start or end of a call is copied into context->block.
void Sha1Update(Sha1Context *context, const void *input, uint32_t length);

// Appends the padding and the 64-bit bit length and writes the 20-byte digest
// (A to E, most significant byte first). The context is not cleared; call
// Sha1Init again before hashing another message.
void Sha1Final(Sha1Context *context, unsigned char digest[20]);

// Hex layer: 40 lowercase hexadecimal digits and a NUL. An output buffer must
// hold at least Sha1HexLength() characters.

// 41: the buffer size the hex text needs, counting the NUL.
int Sha1HexLength();

// The hex text of the digest of `length` bytes at `data`.
void Sha1HexOfData(const void *data, uint32_t length, char *out);

// The hex text of the digest of `text` up to, not including, its first NUL.
void Sha1HexOfText(const char *text, char *out);

// As Sha1HexOfText, into a new array of 41 characters made with new[]. The
// caller owns it and releases it with delete[]. Throws std::bad_alloc.
char *Sha1HexNew(const char *text);

// The hex text of `text` up to its first NUL, as a framework string. Throws
// std::bad_alloc.
AnsiString Sha1HexString(AnsiString text);

}  // namespace orvane

// Global as well, unless the caller defines ORVANE_NO_GLOBAL_NAMES.
#ifndef ORVANE_NO_GLOBAL_NAMES
using orvane::Sha1Context;
using orvane::Sha1Final;
using orvane::Sha1HexLength;
using orvane::Sha1HexNew;
using orvane::Sha1HexOfData;
using orvane::Sha1HexOfText;
using orvane::Sha1HexString;
using orvane::Sha1Init;
using orvane::Sha1Padding;
using orvane::Sha1Transform;
using orvane::Sha1Update;
#endif
