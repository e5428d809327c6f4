// Platform layer, name-lookup facility, POSIX: the socket layer needs no start-up; the resolver
// is getaddrinfo restricted to IPv4 (thread-safe, unlike gethostbyname), asked for one socket
// type so that each address comes once.

#include "morvek/platform/Platform_Net.h"

#include <cstring>
#include <memory>

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace Morvek
{
namespace Platform
{

void sNet_Startup() {}

void sNet_ResolveIP4(const char* iName, size_t iMaxCount, std::vector<uint32_t>& ioAddresses)
{
    if (iMaxCount == 0)
        return;
    struct addrinfo hints;
    std::memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    struct addrinfo* results = nullptr;
    if (::getaddrinfo(iName, nullptr, &hints, &results) != 0)
        return;
    // Freed on every path, an allocation failure while appending included.
    const std::unique_ptr<struct addrinfo, void (*)(struct addrinfo*)> owner(results,
                                                                             ::freeaddrinfo);
    size_t count = 0;
    for (const struct addrinfo* cur = results; cur && count < iMaxCount; cur = cur->ai_next)
    {
        if (cur->ai_family != AF_INET || !cur->ai_addr ||
            cur->ai_addrlen < sizeof(struct sockaddr_in))
        {
            continue;
        }
        struct sockaddr_in address;
        std::memcpy(&address, cur->ai_addr, sizeof(address));
        ioAddresses.push_back(ntohl(address.sin_addr.s_addr));
        ++count;
    }
}

} // namespace Platform
} // namespace Morvek
