// Platform layer, address facility, written once for every system over its socket headers:
// sockaddr_in and sockaddr_in6 have the same fields everywhere; only the family numbers differ
// (AF_INET6 is 10 on Linux, 23 on Windows), and they come from the headers. Stateless.

#include "morvek/platform/Platform_Address.h"

#include <cstring>

namespace Morvek
{
namespace Platform
{

namespace
{

// The type of the family field (sa_family_t on POSIX systems, ADDRESS_FAMILY on Windows).
typedef decltype(sockaddr::sa_family) Family;

const uint8_t kIPv4MappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

} // namespace

bool sAddress_FromSockAddr(const sockaddr* iSockAddr, int iLength, uint8_t oAddress[16],
                           uint16_t& oPort)
{
    if (!iSockAddr || iLength < int(sizeof(Family)))
        return false;
    Family family;
    std::memcpy(&family, iSockAddr, sizeof(family));
    if (family == AF_INET && iLength >= int(sizeof(sockaddr_in)))
    {
        sockaddr_in sin;
        std::memcpy(&sin, iSockAddr, sizeof(sin));
        std::memcpy(oAddress, kIPv4MappedPrefix, 12);
        std::memcpy(oAddress + 12, &sin.sin_addr, 4);
        oPort = ntohs(sin.sin_port);
        return true;
    }
    if (family == AF_INET6 && iLength >= int(sizeof(sockaddr_in6)))
    {
        sockaddr_in6 sin6;
        std::memcpy(&sin6, iSockAddr, sizeof(sin6));
        std::memcpy(oAddress, &sin6.sin6_addr, 16);
        oPort = ntohs(sin6.sin6_port);
        return true;
    }
    return false;
}

int sAddress_ToSockAddr(const uint8_t iAddress[16], uint16_t iPort, sockaddr* oSockAddr,
                        int iCapacity)
{
    if (std::memcmp(iAddress, kIPv4MappedPrefix, 12) == 0)
    {
        if (iCapacity < int(sizeof(sockaddr_in)))
            return 0;
        sockaddr_in sin;
        std::memset(&sin, 0, sizeof(sin));
        sin.sin_family = AF_INET;
        sin.sin_port = htons(iPort);
        std::memcpy(&sin.sin_addr, iAddress + 12, 4);
        std::memcpy(oSockAddr, &sin, sizeof(sin));
        return int(sizeof(sin));
    }
    if (iCapacity < int(sizeof(sockaddr_in6)))
        return 0;
    sockaddr_in6 sin6;
    std::memset(&sin6, 0, sizeof(sin6));
    sin6.sin6_family = AF_INET6;
    sin6.sin6_port = htons(iPort);
    std::memcpy(&sin6.sin6_addr, iAddress, 16);
    std::memcpy(oSockAddr, &sin6, sizeof(sin6));
    return int(sizeof(sin6));
}

bool sAddress_ParseDottedIP4(const char* iText, uint32_t& oAddress)
{
    // in_addr_t on POSIX systems, unsigned long on Windows; the address in network byte order.
    const auto address = ::inet_addr(iText);
    if (address == INADDR_NONE)
        return false;
    oAddress = ntohl(uint32_t(address));
    return true;
}

} // namespace Platform
} // namespace Morvek
