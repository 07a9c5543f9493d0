#pragma once

#include <cstdint>

// The one place for compiler-specific constructs; everything else in the
// project is plain C++17.

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

#else

// Portable form: `p` escapes into a function that the optimiser cannot see
// through, because it is called through a volatile pointer.
inline void KeepStoresSink(const void *) {}
inline void (*volatile KeepStoresCall)(const void *) = KeepStoresSink;
inline void KeepStores(const void *p) { KeepStoresCall(p); }

inline void HideValue(uint32_t &) {}

#endif
