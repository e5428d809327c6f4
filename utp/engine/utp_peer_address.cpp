// Peer addresses (declared in utp.h): the IPv4 test and equality. The conversions from and to the
// system's socket addresses live with the platform files (utp_platform_sockaddr.cpp), which know
// the address-family numbers.
//
// Threads: stateless.

#include "utp/engine/utp.h"

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
