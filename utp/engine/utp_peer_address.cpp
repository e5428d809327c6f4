// Peer addresses (declared in utp.h): the IPv4 test, equality, and the conversions from and to
// the system's socket addresses, over the platform leaf's address facility
// (morvek/platform/Platform_Address.h), which knows each system's socket-address layouts and
// family numbers. PeerAddress is that facility's 16 bytes and port.
//
// Threads: stateless; any thread.

#include "utp/engine/utp.h"

#include "morvek/platform/Platform_Address.h"

#include <cstring>

bool PeerAddress_IsIPv4(const PeerAddress& iAddr)
{
    static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::memcmp(iAddr.fAddr, kMapped, sizeof(kMapped)) == 0;
}

bool operator==(const PeerAddress& iL, const PeerAddress& iR)
{
    return iL.fPort == iR.fPort && std::memcmp(iL.fAddr, iR.fAddr, 16) == 0;
}

bool PeerAddress_FromSockAddr(PeerAddress& oAddr, const sockaddr* iSockAddr, int iSockAddrLen)
{
    std::memset(&oAddr, 0, sizeof(oAddr));
    return Morvek::Platform::sAddress_FromSockAddr(iSockAddr, iSockAddrLen, oAddr.fAddr,
                                                   oAddr.fPort);
}

int PeerAddress_ToSockAddr(const PeerAddress& iAddr, sockaddr* oSockAddr, int iCapacity)
{
    static_assert(sizeof(sockaddr_in6) <= UTP_SOCKADDR_MAX, "UTP_SOCKADDR_MAX too small");
    return Morvek::Platform::sAddress_ToSockAddr(iAddr.fAddr, iAddr.fPort, oSockAddr, iCapacity);
}
