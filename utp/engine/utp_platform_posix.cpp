// POSIX implementation of the engine's platform layer: CLOCK_MONOTONIC for the millisecond tick,
// CLOCK_MONOTONIC_RAW (unslewed, so it can disagree with the tick and be re-anchored) for the
// counter, and entropy through /dev/urandom. The socket-address conversions are written once for
// every system, in utp_platform_sockaddr.cpp.
//
// Threads: stateless; any thread.

#include "utp/engine/utp_platform.h"

#include <fcntl.h>
#include <time.h>
#include <unistd.h>

static uint64_t spNanoseconds(clockid_t iClock)
{
    struct timespec ts;
    if (clock_gettime(iClock, &ts) != 0)
        return 0;
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

uint64_t UTPPlatform_TickMilliseconds()
{
    return spNanoseconds(CLOCK_MONOTONIC) / 1000000u;
}

uint64_t UTPPlatform_Counter()
{
    return spNanoseconds(CLOCK_MONOTONIC_RAW);
}

uint64_t UTPPlatform_CounterFrequency()
{
    return 1000000000u;
}

uint64_t UTPPlatform_EntropySeed()
{
    uint64_t seed = 0;
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0)
    {
        ssize_t got = ::read(fd, &seed, sizeof(seed));
        ::close(fd);
        if (got == ssize_t(sizeof(seed)))
            return seed;
    }
    return spNanoseconds(CLOCK_REALTIME) ^ (spNanoseconds(CLOCK_MONOTONIC_RAW) << 17) ^
           uint64_t(::getpid());
}
