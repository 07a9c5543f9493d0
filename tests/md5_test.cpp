#include "support/md5.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/hex.h"

namespace {

const uint32_t kRfcStart[4] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u};

std::string StateHex(const uint32_t state[4]) {
    unsigned char bytes[16];
    Md5Encode(bytes, state, 16);
    return ToHex(bytes, 16);
}

// The whole MD5 of RFC 1321 on top of the transform: 0x80, zeros to 56 mod 64,
// and the bit length as 8 bytes, least significant first.
std::string Md5Of(const std::string &message) {
    std::vector<unsigned char> padded(message.begin(), message.end());
    padded.push_back(0x80);
    while (padded.size() % 64 != 56) padded.push_back(0);
    const uint64_t bits = static_cast<uint64_t>(message.size()) * 8;
    for (int i = 0; i < 8; ++i) padded.push_back(static_cast<unsigned char>(bits >> (8 * i)));

    uint32_t state[4];
    std::memcpy(state, kRfcStart, sizeof state);
    for (size_t i = 0; i < padded.size(); i += 64) Md5Transform(state, padded.data() + i);
    return StateHex(state);
}

TEST(Md5Transform, PaddedBlocksOfEmptyAndAbc) {
    unsigned char empty[64] = {0x80};
    uint32_t state[4];
    std::memcpy(state, kRfcStart, sizeof state);
    Md5Transform(state, empty);
    EXPECT_EQ(StateHex(state), "d41d8cd98f00b204e9800998ecf8427e");

    unsigned char abc[64] = {'a', 'b', 'c', 0x80};
    abc[56] = 0x18;
    std::memcpy(state, kRfcStart, sizeof state);
    Md5Transform(state, abc);
    EXPECT_EQ(StateHex(state), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5Transform, Rfc1321Suite) {
    EXPECT_EQ(Md5Of(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Of("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Md5Of("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Of("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Md5Of("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Md5Of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(Md5Of("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5Transform, LeavesTheBlockAloneAndReadsAnyAddress) {
    unsigned char storage[64 + 1];
    for (size_t i = 0; i < sizeof storage; ++i) storage[i] = static_cast<unsigned char>(i * 11 + 5);
    unsigned char copy[sizeof storage];
    std::memcpy(copy, storage, sizeof storage);
    unsigned char aligned[64];
    std::memcpy(aligned, storage + 1, 64);

    uint32_t first[4], second[4], third[4];
    std::memcpy(first, kRfcStart, sizeof first);
    std::memcpy(second, kRfcStart, sizeof second);
    std::memcpy(third, kRfcStart, sizeof third);
    Md5Transform(first, storage + 1);
    Md5Transform(second, storage + 1);
    Md5Transform(third, aligned);

    EXPECT_EQ(std::memcmp(copy, storage, sizeof storage), 0);
    EXPECT_EQ(std::memcmp(first, second, sizeof first), 0);
    EXPECT_EQ(std::memcmp(first, third, sizeof first), 0);
    EXPECT_NE(std::memcmp(first, kRfcStart, sizeof first), 0);
}

TEST(Md5Bytes, EncodeIsLittleEndianAndDecodeGivesTheWordsBack) {
    const uint32_t words[3] = {0x04030201u, 0xA1B2C3D4u, 0x000000FFu};
    unsigned char bytes[12];
    Md5Encode(bytes, words, 12);
    const unsigned char expected[12] = {1, 2, 3, 4, 0xD4, 0xC3, 0xB2, 0xA1, 0xFF, 0, 0, 0};
    EXPECT_EQ(std::memcmp(bytes, expected, 12), 0);

    uint32_t back[3] = {};
    Md5Decode(back, bytes, 12);
    EXPECT_EQ(std::memcmp(back, words, sizeof words), 0);
}

TEST(Md5Bytes, FillStoresTheLowByteOfTheValue) {
    unsigned char bytes[10];
    std::memset(bytes, 0, sizeof bytes);
    Md5FillBytes(bytes + 1, 0x1AB, 8);
    EXPECT_EQ(bytes[0], 0);
    for (int i = 1; i <= 8; ++i) EXPECT_EQ(bytes[i], 0xAB) << i;
    EXPECT_EQ(bytes[9], 0);
    Md5FillBytes(bytes, -1, 1);
    EXPECT_EQ(bytes[0], 0xFF);
}

TEST(Md5Bytes, CopyGoesFromTheFirstByteToTheLast) {
    unsigned char bytes[8] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    unsigned char out[8] = {};
    Md5CopyBytes(out, bytes, 8);
    EXPECT_EQ(std::memcmp(out, bytes, 8), 0);
    // Forward, one byte at a time: an overlapping copy one place up repeats the first byte.
    Md5CopyBytes(bytes + 1, bytes, 4);
    EXPECT_EQ(std::memcmp(bytes, "aaaaafgh", 8), 0);
}

TEST(Md5Bytes, LengthZeroWritesNothing) {
    unsigned char bytes[8];
    std::memset(bytes, 0x5C, sizeof bytes);
    uint32_t words[2] = {0x5C5C5C5Cu, 0x5C5C5C5Cu};
    const unsigned char source[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const uint32_t sourceWords[2] = {1, 2};
    Md5Encode(bytes, sourceWords, 0);
    Md5Decode(words, source, 0);
    Md5CopyBytes(bytes, source, 0);
    Md5FillBytes(bytes, 0, 0);
    for (unsigned char b : bytes) EXPECT_EQ(b, 0x5C);
    EXPECT_EQ(words[0], 0x5C5C5C5Cu);
    EXPECT_EQ(words[1], 0x5C5C5C5Cu);
}

// A length that is not a multiple of 4 handles the whole words only, so nothing
// past `length` bytes is read or written.
TEST(Md5Bytes, PartialWordAtTheEndIsLeftAlone) {
    const uint32_t words[2] = {0x44332211u, 0x88776655u};
    std::vector<unsigned char> bytes(7, 0xEE);  // exactly 7, so a sanitizer sees any overrun
    Md5Encode(bytes.data(), words, 7);
    const unsigned char expected[7] = {0x11, 0x22, 0x33, 0x44, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(std::memcmp(bytes.data(), expected, 7), 0);

    uint32_t back[2] = {0, 0xDEADBEEFu};
    Md5Decode(back, bytes.data(), 7);
    EXPECT_EQ(back[0], 0x44332211u);
    EXPECT_EQ(back[1], 0xDEADBEEFu);
}

}  // namespace
