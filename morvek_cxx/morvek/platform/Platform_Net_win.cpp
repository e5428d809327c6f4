// Platform layer, name-lookup facility, Win32: Windows Sockets 2.0 are started once for the
// process; the resolver is getaddrinfo restricted to IPv4, asked for one socket type so that
// each address comes once.

#include "morvek/platform/Platform_Net.h"

#define WIN32_LEAN_AND_MEAN 1
#define NOMINMAX 1
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>
#include <memory>

namespace Morvek
{
namespace Platform
{

void sNet_Startup()
{
    // The result is not needed: when the start fails, every later socket call fails with
    // WSANOTINITIALISED, and a lookup then simply yields no address.
    WSADATA data;
    ::WSAStartup(MAKEWORD(2, 0), &data);
}

void sNet_ResolveIP4(const char* iName, size_t iMaxCount, std::vector<uint32_t>& ioAddresses)
{
    if (iMaxCount == 0)
        return;
    ADDRINFOA hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    ADDRINFOA* results = nullptr;
    if (::getaddrinfo(iName, nullptr, &hints, &results) != 0)
        return;
    // Freed on every path, an allocation failure while appending included.
    const std::unique_ptr<ADDRINFOA, void(WSAAPI*)(ADDRINFOA*)> owner(results, ::freeaddrinfo);
    size_t count = 0;
    for (const ADDRINFOA* cur = results; cur && count < iMaxCount; cur = cur->ai_next)
    {
        if (cur->ai_family != AF_INET || !cur->ai_addr || cur->ai_addrlen < sizeof(sockaddr_in))
            continue;
        sockaddr_in address;
        std::memcpy(&address, cur->ai_addr, sizeof(address));
        ioAddresses.push_back(ntohl(address.sin_addr.s_addr));
        ++count;
    }
}

} // namespace Platform
} // namespace Morvek
