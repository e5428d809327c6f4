// TestUdp: the loopback address of each family, written once over the system's address types
// (morvek/platform/Platform_Address.h); the socket calls are the tests' platform layer's.

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
    fFD = Platform::sTestUdp_OpenBound(reinterpret_cast<sockaddr*>(fAddr.fBytes), fAddr.fLength);
}

void TestUdp::Close()
{
    if (fFD >= 0)
        Platform::sTestUdp_Close(fFD);
    fFD = -1;
}

bool TestUdp::MoveTo(int iTarget)
{
    if (!Platform::sTestUdp_MoveTo(fFD, iTarget))
        return false;
    fFD = iTarget;
    return true;
}

} // namespace quillane::test
