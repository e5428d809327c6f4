// Platform layer, random facility, Win32: the seed comes from the system's preferred random
// generator (BCryptGenRandom, Windows 7 or later).

#include "morvek/platform/Platform_Random.h"

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
    LARGE_INTEGER counter;
    ::QueryPerformanceCounter(&counter);
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    return (uint64_t(now.dwHighDateTime) << 32 | now.dwLowDateTime) ^
           (uint64_t(counter.QuadPart) << 17) ^ uint64_t(::GetCurrentProcessId());
}

} // namespace Platform
} // namespace Morvek
