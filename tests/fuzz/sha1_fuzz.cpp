// The portable SHA-1 against OpenSSL's, over the fuzzer's bytes: the first two
// bytes choose how the rest is split among the updates.
#include <openssl/sha.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "support/sha1.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    unsigned seed = data[0] | (data[1] << 8);
    data += 2;
    size -= 2;

    unsigned char expected[20];
    SHA1(data, size, expected);

    Sha1Context context;
    unsigned char digest[20];
    Sha1Init(&context);
    for (size_t at = 0; at < size;) {
        seed = seed * 1103515245u + 12345u;
        size_t piece = (seed >> 16) % 131;
        if (piece > size - at) piece = size - at;
        Sha1Update(&context, data + at, static_cast<uint32_t>(piece));
        at += piece;
    }
    Sha1Final(&context, digest);
    if (std::memcmp(digest, expected, 20) != 0) {
        std::fprintf(stderr, "SHA-1 differs from OpenSSL for %zu bytes\n", size);
        std::abort();
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
