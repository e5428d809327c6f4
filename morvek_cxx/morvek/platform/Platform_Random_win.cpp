// Platform layer, random facility, Win32: the seed comes from the system's preferred random
// generator (BCryptGenRandom, Windows 7 or later).

#include "morvek/platform/Platform_Random.h"

#include "morvek/platform/Platform_Clock.h"

#define WIN32_LEAN_AND_MEAN 1
#define NOMINMAX 1
#include <windows.h>

#include <bcrypt.h>

namespace Morvek
{
namespace Platform
{

uint64_t sRandom_Seed()
{
    uint64_t seed = 0;
    if (BCRYPT_SUCCESS(::BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&seed), sizeof(seed),
                                         BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
    {
        return seed;
    }
    // Without the system's source: the clocks and the process, different for every start.
    int64_t seconds;
    int32_t microseconds;
    sClock_UTC(seconds, microseconds);
    return (uint64_t(seconds) * 1000000u + uint64_t(microseconds)) ^ (sClock_Counter() << 17) ^
           uint64_t(::GetCurrentProcessId());
}

} // namespace Platform
} // namespace Morvek
