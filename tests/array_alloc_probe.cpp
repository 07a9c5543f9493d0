#include "tests/array_alloc_probe.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<long> allocations{0};
std::atomic<long> releases{0};
std::atomic<bool> failNext{false};
}  // namespace

long ArrayAllocationCount() { return allocations.load(); }
long LiveArrayCount() { return allocations.load() - releases.load(); }
void FailNextArrayAllocation() { failNext.store(true); }

// Built on malloc and free, so AddressSanitizer still tracks every block, reports
// leaks, and reports a block from new[] that is released with scalar delete.
void *operator new[](std::size_t size) {
    if (failNext.exchange(false)) throw std::bad_alloc();
    void *block = std::malloc(size != 0 ? size : 1);
    if (block == nullptr) throw std::bad_alloc();
    ++allocations;
    return block;
}

void operator delete[](void *block) noexcept {
    if (block == nullptr) return;
    ++releases;
    std::free(block);
}

void operator delete[](void *block, std::size_t) noexcept { operator delete[](block); }
