// Counts heap allocations, for the tests that must see none and the benchmarks' "allocs/iter"
// figures: the whole process, and separately the threads that asked to be counted.
#ifndef ALLOCATIONCOUNT_H
#define ALLOCATIONCOUNT_H

#include <cstdint>

// Under a sanitizer the runtime owns malloc, and the count comes from its allocation hook, which
// does not see quite every allocation the plain build counts.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define COUNT_WITH_SANITIZER_HOOKS 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define COUNT_WITH_SANITIZER_HOOKS 1
#endif

// False when this C library or runtime gives no way to count (then every count stays 0).
bool allocationCountWorks();
// Every allocation of the process so far.
uint64_t allocationCount();
// Counts the calling thread's allocations from now on in countedThreadAllocations(), or stops.
void countThisThread(bool on = true);
uint64_t countedThreadAllocations();

#endif // ALLOCATIONCOUNT_H
