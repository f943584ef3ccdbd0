// Allocations per iteration for a Google Benchmark, from the process-wide count around the timed
// loop. Google Benchmark itself allocates once or twice per run inside that window, which shows as
// a few millionths; a figure of 1 or more means the measured code allocates on every iteration.
#ifndef ALLOCATIONPROBE_H
#define ALLOCATIONPROBE_H

#include "allocationcount.h"

#include <benchmark/benchmark.h>

struct AllocationProbe
{
    benchmark::State &state;
    uint64_t start = allocationCount();
    explicit AllocationProbe(benchmark::State &s) : state(s) {}
    ~AllocationProbe()
    {
        state.counters["allocs/iter"] = benchmark::Counter(double(allocationCount() - start),
                                                           benchmark::Counter::kAvgIterations);
    }
};

#endif // ALLOCATIONPROBE_H
