// Test helper: a UDP socket bound to the loopback address of its family (port chosen by the
// system), closed when the helper dies. Test threads only.

#ifndef QUILLANE_TESTS_SUPPORT_TESTUDP_H
#define QUILLANE_TESTS_SUPPORT_TESTUDP_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace testsupport
{

struct TestUdp
{
    int fFD;
    sockaddr_storage fAddr;
    socklen_t fAddrLen;

    // fFD is -1 when the family has no loopback here.
    explicit TestUdp(int iFamily = AF_INET) : fFD(::socket(iFamily, SOCK_DGRAM, 0)), fAddrLen(0)
    {
        std::memset(&fAddr, 0, sizeof(fAddr));
        if (iFamily == AF_INET6)
        {
            sockaddr_in6& sin6 = reinterpret_cast<sockaddr_in6&>(fAddr);
            sin6.sin6_family = AF_INET6;
            sin6.sin6_addr = in6addr_loopback;
            fAddrLen = sizeof(sockaddr_in6);
        }
        else
        {
            sockaddr_in& sin = reinterpret_cast<sockaddr_in&>(fAddr);
            sin.sin_family = AF_INET;
            sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            fAddrLen = sizeof(sockaddr_in);
        }
        if (fFD < 0 || ::bind(fFD, Addr(), fAddrLen) != 0 ||
            ::getsockname(fFD, reinterpret_cast<sockaddr*>(&fAddr), &fAddrLen) != 0)
        {
            Close();
        }
    }
    ~TestUdp() { Close(); }
    TestUdp(const TestUdp&) = delete;
    TestUdp& operator=(const TestUdp&) = delete;

    void Close()
    {
        if (fFD >= 0)
            ::close(fFD);
        fFD = -1;
    }

    const sockaddr* Addr() const { return reinterpret_cast<const sockaddr*>(&fAddr); }
    int AddrLen() const { return int(fAddrLen); }

    // Moves the socket to descriptor iTarget.
    bool MoveTo(int iTarget)
    {
        if (::dup2(fFD, iTarget) != iTarget)
            return false;
        ::close(fFD);
        fFD = iTarget;
        return true;
    }
};

} // namespace testsupport

#endif // QUILLANE_TESTS_SUPPORT_TESTUDP_H
