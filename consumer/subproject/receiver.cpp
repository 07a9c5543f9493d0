// The parent's own program: prints the SHA-1 of its argument.
#include <cstdio>

#include "support/handoff_receiver.h"
#include "support/sha1.h"

// Its project's C++14 stays: the library's targets ask only for C++11.
static_assert(__cplusplus == 201402L, "the parent's program is compiled as C++14");

int main(int argc, char **argv) {
    char hex[41];
    Sha1HexOfText(argc > 1 ? argv[1] : "", hex);
    std::printf("%s\n", hex);
    return 0;
}
