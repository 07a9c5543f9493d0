// The stack protector's guard and failure handler for the launcher, in place of
// libssp's: libssp seeds its guard through CryptAcquireContextA, which loads the RSA
// provider and the crypto libraries at every start (a fifth more of the launcher's
// start-up time under Wine). Defined here, the linker never takes libssp's.
#include <windows.h>
#include <ntsecapi.h>  // RtlGenRandom (advapi32's SystemFunction036)

#include <cstdint>

// The names are the ones the compiler's protector code refers to.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" {
// The terminator canary stays if the system has no random bytes to give.
uintptr_t __stack_chk_guard = 0xff0a0000;

// GCOVR_EXCL_START: ends its process at once, which writes no coverage data; the
// stack guard test sees its exit status
[[noreturn]] void __stack_chk_fail() {
    // No handler may run on a smashed stack: end at once, as a /GS failure does.
    const UINT kStackBufferOverrun = 0xC0000409;  // STATUS_STACK_BUFFER_OVERRUN
    TerminateProcess(GetCurrentProcess(), kStackBufferOverrun);
    for (;;) {
    }
}

// What _FORTIFY_SOURCE's checked calls report; string.h declares it as not returning.
void __chk_fail() { __stack_chk_fail(); }
// GCOVR_EXCL_STOP
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

namespace {
// Not a local: a function whose local's address is taken checks the guard on its
// return, and that check would fail across the change.
uintptr_t seed;

// Seeded during static start-up. No function is on the stack then that checks the
// guard on its return: this one has nothing to protect, and the runtime's start-up
// code is built without the protector.
struct GuardSeed {
    GuardSeed() noexcept {
        // GCOVR_EXCL_BR_START: RtlGenRandom failing, or giving 0, is a platform failure no seam reaches
        if (RtlGenRandom(&seed, sizeof seed) && seed != 0) __stack_chk_guard = seed;
        // GCOVR_EXCL_BR_STOP
    }
} guardSeed;
}  // namespace
