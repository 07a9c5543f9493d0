#pragma once

#include <cstdint>

// ORVANE_X86: 32- or 64-bit x86, where the SHA-1 code has paths for the SHA
// extensions and for SSSE3/AVX2 beside the portable one.
#if defined(__x86_64__) || defined(_M_X64) || defined(__i386__) || defined(_M_IX86)
#define ORVANE_X86 1
#else
#define ORVANE_X86 0
#endif

#if ORVANE_X86 && (defined(__GNUC__) || defined(__clang__))
#include <cpuid.h>
#elif ORVANE_X86
#include <intrin.h>
#endif

// The one place for compiler-specific constructs; everything else in the
// project is plain C++17.

namespace orvane::detail {

#if defined(__GNUC__) || defined(__clang__)

// Makes the optimiser assume that the memory at `p` is read here, so stores into
// it before this point (such as clearing a local buffer before return) are
// kept. Costs no instruction.
inline void KeepStores(const void *p) { __asm__ __volatile__("" : : "r"(p) : "memory"); }

// Makes the optimiser treat `value` as unknown from here on, so a sum formed
// before this point is not reassociated with the terms added after it (the
// optimiser otherwise adds constants last, which can lengthen a dependency
// chain). Costs no instruction.
inline void HideValue(uint32_t &value) { __asm__("" : "+r"(value)); }

// Lets one function use instructions beyond the baseline of the build, e.g.
// ORVANE_TARGET("avx2"); the caller checks the CPU first.
#define ORVANE_TARGET(features) __attribute__((target(features)))
#define ORVANE_ALWAYS_INLINE __attribute__((always_inline)) inline
#define ORVANE_NOINLINE __attribute__((noinline))

// HideValue for a value in a vector register (inlined into functions with a
// wider target, as a plain call would cost more than the optimiser saves).
template <typename Vector>
ORVANE_ALWAYS_INLINE void HideVector(Vector &value) {
    __asm__("" : "+x"(value));
}

#if ORVANE_X86
// CPUID leaf/subleaf into eax, ebx, ecx, edx.
inline void ReadCpuid(uint32_t leaf, uint32_t subleaf, uint32_t regs[4]) {
    __cpuid_count(leaf, subleaf, regs[0], regs[1], regs[2], regs[3]);
}

// XCR0, the register states the OS saves on a context switch. Only valid when
// CPUID reports OSXSAVE. Spelled as the instruction so no target flag is needed.
inline uint64_t ReadXcr0() {
    uint32_t low, high;
    __asm__ __volatile__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (uint64_t(high) << 32) | low;
}
#endif

#else

// Portable form: `p` escapes into a function that the optimiser cannot see
// through, because it is called through a volatile pointer.
inline void KeepStoresSink(const void *) {}
inline void (*volatile KeepStoresCall)(const void *) = KeepStoresSink;
inline void KeepStores(const void *p) { KeepStoresCall(p); }

inline void HideValue(uint32_t &) {}

// MSVC compiles any intrinsic without a per-function target.
#define ORVANE_TARGET(features)
#define ORVANE_ALWAYS_INLINE __forceinline
#define ORVANE_NOINLINE __declspec(noinline)

template <typename Vector>
inline void HideVector(Vector &) {}

#if ORVANE_X86
inline void ReadCpuid(uint32_t leaf, uint32_t subleaf, uint32_t regs[4]) {
    int r[4];
    __cpuidex(r, static_cast<int>(leaf), static_cast<int>(subleaf));
    for (int i = 0; i < 4; ++i) regs[i] = static_cast<uint32_t>(r[i]);
}

inline uint64_t ReadXcr0() { return _xgetbv(0); }
#endif

#endif

}  // namespace orvane::detail
