// Platform layer, address facility: the system's socket-address types and the conversions the
// product makes of them, written once for every system (Platform_Address.cpp). The types and
// constants (sockaddr_in, sockaddr_in6, AF_INET and AF_INET6, whose values differ between
// systems, the byte-order functions, inet_pton) come from the system's headers, which the variant
// header of the platform includes (Platform_Address_posix.h or _win.h): code that builds or
// reads socket addresses itself (the network simulator, the tests) includes this header instead
// of choosing system headers. Part of the platform leaf (quillane_platform_base): nothing here
// opens a socket or needs the socket layer started.
//
// An IP address travels between the layers as 16 bytes and a port in host order: an IPv6
// address as it is, an IPv4 address IPv4-mapped (::ffff:a.b.c.d). Stateless; any thread.

#ifndef QUILLANE_MORVEK_PLATFORM_PLATFORM_ADDRESS_H
#define QUILLANE_MORVEK_PLATFORM_PLATFORM_ADDRESS_H

#if defined(_WIN32)
#include "morvek/platform/Platform_Address_win.h"
#elif defined(__unix__) || defined(__APPLE__)
#include "morvek/platform/Platform_Address_posix.h"
#else
#error "No address layer for this platform"
#endif

#include <cstdint>

namespace Morvek
{
namespace Platform
{

// Reads a sockaddr_in or sockaddr_in6 of iLength bytes into 16 bytes and a port. False, leaving
// oAddress and oPort alone, for another family or a length too short for it. The input is copied
// out before it is read, so a misaligned or short buffer is never read past its length.
bool sAddress_FromSockAddr(const sockaddr* iSockAddr, int iLength, uint8_t oAddress[16],
                           uint16_t& oPort);

// Writes a sockaddr_in (for an IPv4-mapped address) or a sockaddr_in6 (flow information and
// scope zero) into oSockAddr, which has room for iCapacity bytes. Returns the length written, or
// 0 when iCapacity is too small; sizeof(sockaddr_in6) bytes always suffice.
int sAddress_ToSockAddr(const uint8_t iAddress[16], uint16_t iPort, sockaddr* oSockAddr,
                        int iCapacity);

// The system's dotted-address parser (inet_addr, with its forms such as "127.1"): true and the
// address in host byte order when it accepts iText, false when it does not (which includes
// "255.255.255.255", the parser's failure value).
bool sAddress_ParseDottedIP4(const char* iText, uint32_t& oAddress);

} // namespace Platform
} // namespace Morvek

#endif // QUILLANE_MORVEK_PLATFORM_PLATFORM_ADDRESS_H
