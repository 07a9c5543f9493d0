// Differential tests against OpenSSL's libcrypto (host only; a test-only dependency).
#define OPENSSL_SUPPRESS_DEPRECATED  // MD5_Transform: the only way to reach the bare MD5 block function

#include <openssl/md5.h>
#include <openssl/sha.h>
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "support/md5.h"
#include "support/sha1.h"
#include "support/sha1_paths.h"
#include "tests/hex.h"
#include "tests/sha1_paths_util.h"

namespace {

// The public functions and each path this CPU runs: every length up to 1100,
// then random ones, in random splits, from aligned and unaligned addresses.
TEST(Sha1AgainstOpenSsl, RandomLengthsAndSplitsOnEveryPath) {
    const std::vector<Sha1Hasher> hashers = Sha1HashersOfThisCpu();
    std::mt19937 random(20240607);
    std::vector<unsigned char> storage(5000 + 3);
    for (int round = 0; round < 3000; ++round) {
        const size_t length = round <= 1100 ? static_cast<size_t>(round) : random() % (storage.size() - 3);
        for (size_t i = 0; i < length; ++i) storage[i] = static_cast<unsigned char>(random());
        const Sha1ExactCopy copy(storage.data(), length, round % 4);
        const unsigned char *message = copy.data();

        unsigned char expected[20];
        SHA1(message, length, expected);

        for (const Sha1Hasher &hasher : hashers) {
            std::vector<size_t> pieces;
            for (size_t at = 0; at < length; at += pieces.back())
                pieces.push_back(std::min<size_t>(length - at, random() % 2 ? random() % 200 : 64 * (random() % 9)));
            unsigned char digest[20];
            hasher.DigestInPieces(message, pieces, digest);
            ASSERT_EQ(std::memcmp(digest, expected, 20), 0)
                << "length " << length << ", round " << round << ", " << hasher.name;
        }

        char hex[41], expectedHex[41];
        Sha1HexOfData(message, static_cast<uint32_t>(length), hex);
        for (int i = 0; i < 20; ++i) std::snprintf(expectedHex + 2 * i, 3, "%02x", expected[i]);
        ASSERT_STREQ(hex, expectedHex);
    }
}

TEST(Md5TransformAgainstOpenSsl, RandomStatesAndBlocks) {
    std::mt19937 random(1321);
    for (int round = 0; round < 20000; ++round) {
        unsigned char block[64 + 3];
        for (unsigned char &b : block) b = static_cast<unsigned char>(random());
        const unsigned char *at = block + round % 4;  // aligned and not

        MD5_CTX theirs;
        MD5_Init(&theirs);
        uint32_t ours[4];
        for (uint32_t &word : ours) word = static_cast<uint32_t>(random());
        theirs.A = ours[0];
        theirs.B = ours[1];
        theirs.C = ours[2];
        theirs.D = ours[3];

        MD5_Transform(&theirs, at);
        Md5Transform(ours, at);
        ASSERT_EQ(ours[0], theirs.A) << "round " << round;
        ASSERT_EQ(ours[1], theirs.B) << "round " << round;
        ASSERT_EQ(ours[2], theirs.C) << "round " << round;
        ASSERT_EQ(ours[3], theirs.D) << "round " << round;
    }
}

// Slow (run with -L slow): a text of 4 GiB + 100 bytes, longer than one 32-bit
// length, made of one 1 MiB run of 'a' mapped again and again, so it costs address
// space only; its NUL is on a page of its own after the last run.
TEST(Sha1AgainstOpenSsl, SLOW_TextOfMoreThan4GiB) {
    const size_t run = size_t(1) << 20;
    const size_t length = (size_t(1) << 32) + 100;
    const size_t runs = length / run + 1;
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const int file = memfd_create("sha1-4gib", 0);
    ASSERT_GE(file, 0);
    ASSERT_EQ(ftruncate(file, static_cast<off_t>(run)), 0);
    void *area = mmap(nullptr, runs * run + page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(area, MAP_FAILED);
    char *text = static_cast<char *>(area);
    void *first = mmap(text, run, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, file, 0);
    ASSERT_EQ(first, text);
    std::memset(text, 'a', run);
    for (size_t i = 1; i < runs; ++i)
        ASSERT_NE(mmap(text + i * run, run, PROT_READ, MAP_SHARED | MAP_FIXED, file, 0), MAP_FAILED) << i;
    char *end = text + length;
    // The NUL: the page that holds it is made private and writable.
    char *endPage = text + (length / page) * page;
    ASSERT_NE(mmap(endPage, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0), MAP_FAILED);
    std::memset(endPage, 'a', static_cast<size_t>(end - endPage));
    *end = '\0';

    unsigned char expected[20];
    SHA1(reinterpret_cast<const unsigned char *>(text), length, expected);
    char hex[41];
    Sha1HexOfText(text, hex);
    EXPECT_EQ(ToHex(expected, sizeof expected), hex);
    munmap(area, runs * run + page);
    close(file);
}

}  // namespace
