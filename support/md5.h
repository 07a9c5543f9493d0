#pragma once

#include <cstdint>

namespace orvane {

// The MD5 compression function of RFC 1321 by itself, with its byte routines.
// There is no context, padding or finalisation: the caller holds the four
// state words (A, B, C, D), chooses their starting values and feeds whole
// 64-byte blocks. Nothing here reports an error, checks a pointer or keeps
// global state.

// Folds one 64-byte block (at any address, only read) into the four state
// words. The working copy of the message words is cleared before return.
void Md5Transform(uint32_t state[4], const unsigned char block[64]);

// Writes each word as four bytes, least significant first. `length` counts
// output bytes and should be a multiple of 4; only whole words are written
// (length / 4 of them), so nothing past `length` bytes is touched.
void Md5Encode(unsigned char *output, const uint32_t *input, uint32_t length);

// Forms each word from four bytes, the first least significant. `length`
// counts input bytes; only whole groups of four are read (length / 4 words).
void Md5Decode(uint32_t *output, const unsigned char *input, uint32_t length);

// Copies `length` bytes one at a time, from the first to the last.
void Md5CopyBytes(unsigned char *output, const unsigned char *input, uint32_t length);

// Stores the low byte of `value` into each of `length` bytes.
void Md5FillBytes(unsigned char *output, int value, uint32_t length);

}  // namespace orvane

// Global as well, unless the caller defines ORVANE_NO_GLOBAL_NAMES.
#ifndef ORVANE_NO_GLOBAL_NAMES
using orvane::Md5CopyBytes;
using orvane::Md5Decode;
using orvane::Md5Encode;
using orvane::Md5FillBytes;
using orvane::Md5Transform;
#endif
