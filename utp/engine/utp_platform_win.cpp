// Win32 implementation of the engine's platform layer: GetTickCount64 for the millisecond tick,
// the performance counter for the high-resolution counter (the two are separate clocks, so the
// counter can drift from the tick and be re-anchored to it by utp_clock.cpp), and the system's
// preferred random generator for the seed. Windows 7 or later: GetTickCount64 is always there,
// so it is called directly rather than looked up, and no 32-bit tick ever needs widening.
//
// Threads: any thread. The counter's frequency is fixed at boot and read once.

#include "utp/engine/utp_platform.h"

#define WIN32_LEAN_AND_MEAN 1
#define NOMINMAX 1
#include <windows.h>

#include <bcrypt.h>

namespace
{

// The counter's own frequency; fixed while the system runs.
uint64_t spPerformanceFrequency()
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

// The clock needs at least one count per microsecond; a slower counter (none is known on the
// systems supported) is reported in microseconds instead.
bool spCounterInMicroseconds()
{
    return spPerformanceFrequency() < 1000000u;
}

} // namespace

uint64_t UTPPlatform_TickMilliseconds()
{
    return ::GetTickCount64();
}

uint64_t UTPPlatform_Counter()
{
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    const uint64_t counter = uint64_t(now.QuadPart);
    if (!spCounterInMicroseconds())
        return counter;
    // Split so that the multiplication cannot overflow for any uptime.
    const uint64_t frequency = spPerformanceFrequency();
    return counter / frequency * 1000000u + counter % frequency * 1000000u / frequency;
}

uint64_t UTPPlatform_CounterFrequency()
{
    return spCounterInMicroseconds() ? 1000000u : spPerformanceFrequency();
}

uint64_t UTPPlatform_EntropySeed()
{
    uint64_t seed = 0;
    if (BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&seed), sizeof(seed),
                                         BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
    {
        return seed;
    }
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return (uint64_t(now.dwHighDateTime) << 32 | now.dwLowDateTime) ^
           (uint64_t(counter.QuadPart) << 17) ^ uint64_t(::GetCurrentProcessId());
}
