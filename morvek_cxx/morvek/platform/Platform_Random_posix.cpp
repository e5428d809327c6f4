// Platform layer, random facility, POSIX: the seed is read from /dev/urandom.

#include "morvek/platform/Platform_Random.h"

#include <ctime>

#include <fcntl.h>
#include <unistd.h>

namespace Morvek
{
namespace Platform
{

namespace
{

uint64_t spNanoseconds(clockid_t iClock)
{
    timespec now;
    if (::clock_gettime(iClock, &now) != 0)
        return 0;
    return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
}

} // namespace

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
    return spNanoseconds(CLOCK_REALTIME) ^ (spNanoseconds(CLOCK_MONOTONIC_RAW) << 17) ^
           uint64_t(::getpid());
}

} // namespace Platform
} // namespace Morvek
