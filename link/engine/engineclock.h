// The engine's two clocks: the monotonic one its deadlines run on, and the wall clock the
// kernel stamps received datagrams with, on which round trips are measured.
#ifndef ENGINECLOCK_H
#define ENGINECLOCK_H

#include <cstdint>

#include <time.h>

namespace EngineClock {

inline int64_t monotonicMs()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

inline int64_t realtimeNs()
{
    timespec t{};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

} // namespace EngineClock

#endif // ENGINECLOCK_H
