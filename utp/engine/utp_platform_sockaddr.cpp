// The conversions between socket addresses and PeerAddress, written once over the operating
// system's socket headers (utp_platform_sockets.h): sockaddr_in and sockaddr_in6 have the same
// fields everywhere; only the family numbers differ (AF_INET6 is 10 on Linux, 23 on Windows),
// and they come from the headers. Every input is copied out before it is read, so a
// misaligned or short buffer is never read past its length.
//
// Threads: stateless; any thread.

#include "utp/engine/utp.h"
#include "utp/engine/utp_platform_sockets.h"

#include <cstring>

namespace
{

// The type of the family field (sa_family_t on POSIX systems, ADDRESS_FAMILY on Windows).
typedef decltype(sockaddr::sa_family) Family;

} // namespace

bool PeerAddress_FromSockAddr(PeerAddress& oAddr, const sockaddr* iSockAddr, int iSockAddrLen)
{
    std::memset(&oAddr, 0, sizeof(oAddr));
    if (!iSockAddr || iSockAddrLen < int(sizeof(Family)))
        return false;
    Family family;
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
