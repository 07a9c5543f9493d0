// Every SHA-1 path this CPU runs, and the public functions, against OpenSSL's
// SHA-1 over the fuzzer's bytes: the first two bytes choose how the rest is
// split among the updates (pieces of up to 130 bytes, or runs of whole blocks).
#include <openssl/sha.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "support/sha1.h"
#include "tests/sha1_paths_util.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const std::vector<Sha1Hasher> hashers = Sha1HashersOfThisCpu();
    if (size < 2) return 0;
    const unsigned seed = data[0] | (data[1] << 8);
    data += 2;
    size -= 2;

    unsigned char expected[20];
    SHA1(data, size, expected);

    std::vector<size_t> pieces;
    unsigned random = seed;
    for (size_t at = 0; at < size; at += pieces.back()) {
        random = random * 1103515245u + 12345u;
        const size_t piece = random & 0x80000000u ? 64 * ((random >> 16) % 5) : (random >> 16) % 131;
        pieces.push_back(piece < size - at ? piece : size - at);
    }
    for (const Sha1Hasher &hasher : hashers) {
        unsigned char digest[20];
        hasher.DigestInPieces(data, pieces, digest);
        if (std::memcmp(digest, expected, 20) != 0) {
            std::fprintf(stderr, "SHA-1 (%s) differs from OpenSSL for %zu bytes\n", hasher.name.c_str(), size);
            std::abort();
        }
    }

    char hex[41];
    Sha1HexOfData(data, static_cast<uint32_t>(size), hex);
    for (int i = 0; i < 20; ++i) {
        char two[3];
        std::snprintf(two, sizeof two, "%02x", expected[i]);
        if (hex[2 * i] != two[0] || hex[2 * i + 1] != two[1]) std::abort();
    }
    if (hex[40] != '\0') std::abort();
    return 0;
}
