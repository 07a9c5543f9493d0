#pragma once

// Watches the array form of new and delete in the test program that links
// array_alloc_probe.cpp, which replaces the global operator new[] and delete[].

// Calls of operator new[] so far.
long ArrayAllocationCount();
// Arrays allocated with new[] and not yet released with delete[].
long LiveArrayCount();
// Makes the next operator new[] call throw std::bad_alloc.
void FailNextArrayAllocation();
