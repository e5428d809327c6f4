// TestUdp, the part every system shares: the loopback address of each family, written once over
// the system's address types (morvek/platform/Platform_Address.h).

#include "tests/support/TestUdp.h"

#include "morvek/platform/Platform_Address.h"

#include <cstring>

namespace quillane::test
{

static_assert(sizeof(sockaddr_storage) <= sizeof(TestAddress::fBytes),
              "TestAddress must hold any socket address");

TestUdp::TestUdp(Family iFamily)
{
    std::memset(&fAddr, 0, sizeof(fAddr));
    if (iFamily == eIPv6)
    {
        sockaddr_in6& sin6 = reinterpret_cast<sockaddr_in6&>(fAddr.fBytes);
        sin6.sin6_family = AF_INET6;
        sin6.sin6_addr = in6addr_loopback;
        fAddr.fLength = sizeof(sockaddr_in6);
    }
    else
    {
        sockaddr_in& sin = reinterpret_cast<sockaddr_in&>(fAddr.fBytes);
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        fAddr.fLength = sizeof(sockaddr_in);
    }
    fFD = spOpenBound(fAddr);
}

} // namespace quillane::test
