// This process's own figures from /proc/self: the door sizes its connection cap by the
// descriptors it may open, and /metrics reports them all.
#ifndef PROCESSFIGURES_H
#define PROCESSFIGURES_H

#include <cstdint>

struct ProcessFigures
{
    double cpuSeconds = 0;
    uint64_t residentBytes = 0;
    int openDescriptors = 0;
    uint64_t maxDescriptors = 0;
    double startTimeSeconds = 0; // since the epoch
};

// This process, from /proc/self.
ProcessFigures readProcessFigures();

#endif // PROCESSFIGURES_H
