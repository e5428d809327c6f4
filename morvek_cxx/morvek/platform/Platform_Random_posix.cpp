// Platform layer, random facility, POSIX: the seed is read from /dev/urandom.

#include "morvek/platform/Platform_Random.h"

#include "morvek/platform/Platform_Clock.h"

#include <fcntl.h>
#include <unistd.h>

namespace Morvek
{
namespace Platform
{

uint64_t sRandom_Seed()
{
    uint64_t seed = 0;
    const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0)
    {
        const ssize_t got = ::read(fd, &seed, sizeof(seed));
        ::close(fd);
        if (got == ssize_t(sizeof(seed)))
            return seed;
    }
    // Without the system's source: the clocks and the process, different for every start.
    int64_t seconds;
    int32_t microseconds;
    sClock_UTC(seconds, microseconds);
    return (uint64_t(seconds) * 1000000u + uint64_t(microseconds)) ^ (sClock_Counter() << 17) ^
           uint64_t(::getpid());
}

} // namespace Platform
} // namespace Morvek
