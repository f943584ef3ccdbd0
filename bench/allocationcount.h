// Counts heap allocations of the whole process, for the benchmarks' "allocs/iter" figures.
#ifndef ALLOCATIONCOUNT_H
#define ALLOCATIONCOUNT_H

#include <cstdint>

uint64_t allocationCount();

#endif // ALLOCATIONCOUNT_H
