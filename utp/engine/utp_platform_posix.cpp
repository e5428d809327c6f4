// POSIX implementation of the engine's platform layer: CLOCK_MONOTONIC for the millisecond tick,
// CLOCK_MONOTONIC_RAW (unslewed, so it can disagree with the tick and be re-anchored) for the
// counter, getrandom-style entropy through /dev/urandom, and sockaddr_in / sockaddr_in6 with the
// platform's own AF_INET and AF_INET6 values.
//
// Threads: stateless; any thread.

#include "engine/utp.h"
#include "engine/utp_platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstring>

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

bool PeerAddress_FromSockAddr(PeerAddress& oAddr, const sockaddr* iSockAddr, int iSockAddrLen)
{
    std::memset(&oAddr, 0, sizeof(oAddr));
    if (!iSockAddr || iSockAddrLen < int(sizeof(sa_family_t)))
        return false;
    sa_family_t family;
    std::memcpy(&family, iSockAddr, sizeof(family));
    if (family == AF_INET && iSockAddrLen >= int(sizeof(sockaddr_in)))
    {
        sockaddr_in sin;
        std::memcpy(&sin, iSockAddr, sizeof(sin));
        oAddr.fAddr[10] = 0xFF;
        oAddr.fAddr[11] = 0xFF;
        std::memcpy(oAddr.fAddr + 12, &sin.sin_addr, 4);
        oAddr.fPort = ntohs(sin.sin_port);
        return true;
    }
    if (family == AF_INET6 && iSockAddrLen >= int(sizeof(sockaddr_in6)))
    {
        sockaddr_in6 sin6;
        std::memcpy(&sin6, iSockAddr, sizeof(sin6));
        std::memcpy(oAddr.fAddr, &sin6.sin6_addr, 16);
        oAddr.fPort = ntohs(sin6.sin6_port);
        return true;
    }
    return false;
}

int PeerAddress_ToSockAddr(const PeerAddress& iAddr, sockaddr* oSockAddr, int iCapacity)
{
    static_assert(sizeof(sockaddr_in6) <= UTP_SOCKADDR_MAX, "UTP_SOCKADDR_MAX too small");
    if (PeerAddress_IsIPv4(iAddr))
    {
        if (iCapacity < int(sizeof(sockaddr_in)))
            return 0;
        sockaddr_in sin;
        std::memset(&sin, 0, sizeof(sin));
        sin.sin_family = AF_INET;
        sin.sin_port = htons(iAddr.fPort);
        std::memcpy(&sin.sin_addr, iAddr.fAddr + 12, 4);
        std::memcpy(oSockAddr, &sin, sizeof(sin));
        return int(sizeof(sin));
    }
    if (iCapacity < int(sizeof(sockaddr_in6)))
        return 0;
    sockaddr_in6 sin6;
    std::memset(&sin6, 0, sizeof(sin6));
    sin6.sin6_family = AF_INET6;
    sin6.sin6_port = htons(iAddr.fPort);
    std::memcpy(&sin6.sin6_addr, iAddr.fAddr, 16);
    std::memcpy(oSockAddr, &sin6, sizeof(sin6));
    return int(sizeof(sin6));
}
