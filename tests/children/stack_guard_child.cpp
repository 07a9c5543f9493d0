// Linked with the launcher's stack guard:
//   stack_guard_child guard     prints "guard <hex>"
//   stack_guard_child fill N [DLL]  loads DLL when given, writes N bytes into a 16-byte
//                                   local array, prints "returned"
//   stack_guard_child chk-fail  reports a failed _FORTIFY_SOURCE check
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

extern "C" uintptr_t __stack_chk_guard;
extern "C" void __chk_fail();

namespace {
// Called through a volatile pointer, so the compiler sees neither the size nor the
// target and cannot refuse or check the write.
void *(*volatile fillBytes)(void *, int, size_t) = std::memset;

void FillLocalArray(size_t length) {
    char buffer[16];
    fillBytes(buffer, 'x', length);
    std::printf("first byte %c\n", buffer[0]);
}
// Called through a pointer too, so that the array and its guard are in a frame of
// their own, checked when that frame returns.
void (*volatile fillLocalArray)(size_t) = FillLocalArray;
}  // namespace

int main(int argc, char **argv) {
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "guard") {
        std::printf("guard %llx\n", static_cast<unsigned long long>(__stack_chk_guard));
    } else if (command == "fill" && argc > 2) {
        if (argc > 3 && LoadLibraryA(argv[3]) == nullptr) return 3;
        fillLocalArray(std::strtoul(argv[2], nullptr, 10));
        std::printf("returned\n");
    } else if (command == "chk-fail") {
        __chk_fail();
        std::printf("returned\n");
    } else {
        return 2;
    }
    std::fflush(stdout);
    return 0;
}
