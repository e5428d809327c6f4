// Platform layer, clock facility, Win32: the performance counter for the monotonic microseconds
// and the high-resolution counter, GetTickCount64 for the millisecond tick (a separate clock, so
// the counter can drift from it and be re-anchored), the system time as UTC. Windows 7 or later:
// GetTickCount64 is always there, so no 32-bit tick ever needs widening. Any thread; the
// counter's frequency is fixed at boot and read once, here.

#include "morvek/platform/Platform_Clock.h"

#define WIN32_LEAN_AND_MEAN 1
#define NOMINMAX 1
#include <windows.h>

namespace Morvek
{
namespace Platform
{

namespace
{

// The performance counter's own frequency; fixed while the system runs.
uint64_t spFrequency()
{
    static const uint64_t sFrequency = []
    {
        LARGE_INTEGER frequency;
        if (!::QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0)
            return uint64_t(1000); // cannot fail since Windows XP; a harmless value if it did
        return uint64_t(frequency.QuadPart);
    }();
    return sFrequency;
}

uint64_t spMicroseconds(uint64_t iCounter)
{
    // Split so that the multiplication cannot overflow for any uptime.
    const uint64_t frequency = spFrequency();
    return iCounter / frequency * 1000000u + iCounter % frequency * 1000000u / frequency;
}

uint64_t spPerformanceCounter()
{
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return uint64_t(now.QuadPart);
}

// The counter needs at least one count per microsecond; a slower one (none is known on the
// systems supported) is reported in microseconds instead.
bool spCounterInMicroseconds()
{
    return spFrequency() < 1000000u;
}

} // namespace

uint64_t sClock_MonotonicMicroseconds()
{
    return spMicroseconds(spPerformanceCounter());
}

uint64_t sClock_TickMilliseconds()
{
    return ::GetTickCount64();
}

uint64_t sClock_Counter()
{
    const uint64_t counter = spPerformanceCounter();
    return spCounterInMicroseconds() ? spMicroseconds(counter) : counter;
}

uint64_t sClock_CounterFrequency()
{
    return spCounterInMicroseconds() ? 1000000u : spFrequency();
}

void sClock_UTC(int64_t& oSeconds, int32_t& oMicroseconds)
{
    // 100-nanosecond intervals since 1601-01-01 00:00:00 UTC.
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = uint64_t(now.dwHighDateTime) << 32 | now.dwLowDateTime;
    const int64_t kSecondsFrom1601To1970 = 11644473600;
    oSeconds = int64_t(ticks / 10000000u) - kSecondsFrom1601To1970;
    oMicroseconds = int32_t(ticks % 10000000u / 10u);
}

} // namespace Platform
} // namespace Morvek
