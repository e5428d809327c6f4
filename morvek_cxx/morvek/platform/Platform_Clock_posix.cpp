// Platform layer, clock facility, POSIX: CLOCK_MONOTONIC for the monotonic microseconds and the
// millisecond tick, CLOCK_MONOTONIC_RAW (unslewed, so it can disagree with the tick and be
// re-anchored) for the counter, in nanoseconds, and CLOCK_REALTIME for UTC. Stateless; any
// thread.

#include "morvek/platform/Platform_Clock.h"

#include <ctime>

namespace Morvek
{
namespace Platform
{

namespace
{

// Nanoseconds of the clock; 0 if it cannot be read (the clocks used here always can).
uint64_t spNanoseconds(clockid_t iClock)
{
    timespec now;
    if (::clock_gettime(iClock, &now) != 0)
        return 0;
    return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
}

} // namespace

uint64_t sClock_MonotonicMicroseconds()
{
    // The clock of the condition variables' timed waits (Platform_Thread_posix.cpp), so that a
    // deadline converts exactly.
    return spNanoseconds(CLOCK_MONOTONIC) / 1000u;
}

uint64_t sClock_TickMilliseconds()
{
    return spNanoseconds(CLOCK_MONOTONIC) / 1000000u;
}

uint64_t sClock_Counter()
{
    return spNanoseconds(CLOCK_MONOTONIC_RAW);
}

uint64_t sClock_CounterFrequency()
{
    return 1000000000u;
}

void sClock_UTC(int64_t& oSeconds, int32_t& oMicroseconds)
{
    timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    oSeconds = now.tv_sec;
    oMicroseconds = int32_t(now.tv_nsec / 1000);
}

} // namespace Platform
} // namespace Morvek
