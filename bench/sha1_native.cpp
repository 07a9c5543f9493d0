// The portable SHA-1 source once more, compiled for this machine's processor
// (-march=native, see CMakeLists.txt) inside namespace native, so the benchmark
// can show in the same run what the source gives when the compiler may use
// BMI1/BMI2 (andn, rorx) and movbe. The product is built for baseline x86-64.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>

#include "framework/ansi_string.h"
#include "support/compiler.h"

namespace native {
#include "support/sha1.cpp"
}  // namespace native

void NativeSha1Digest(const unsigned char *data, uint32_t length, unsigned char digest[20]) {
    native::Sha1Context context;
    native::Sha1Init(&context);
    native::Sha1Update(&context, data, length);
    native::Sha1Final(&context, digest);
}
