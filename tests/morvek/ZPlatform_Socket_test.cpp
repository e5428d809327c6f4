// The datagram-socket facility: buffers are raised but never shrunk; readiness is reported for
// exactly the readable sockets, beyond 64 sockets and beyond descriptor 1023; a receive never
// blocks, even on a blocking socket; an IPv6 source address arrives whole.

#include "morvek/platform/ZPlatform_Socket.h"

#include "support/TestUdp.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <vector>

using namespace Morvek::Platform;

namespace
{

typedef testsupport::TestUdp Udp;

int sGetBuffer(int iFD, int iOption)
{
    int value = 0;
    socklen_t length = sizeof(value);
    ::getsockopt(iFD, SOL_SOCKET, iOption, &value, &length);
    return value;
}

bool sSend(const Udp& iFrom, const Udp& iTo, const char* iText)
{
    return sSocket_SendTo(iFrom.fFD, iText, std::strlen(iText), iTo.Addr(), iTo.AddrLen());
}

} // namespace

TEST(ZPlatformSocket, RaisesSmallBuffersAndKeepsEnlargedOnes)
{
    // What a plain request for the size gives on this system.
    Udp reference;
    const int request = 131072;
    ::setsockopt(reference.fFD, SOL_SOCKET, SO_RCVBUF, &request, sizeof(request));
    const int granted = sGetBuffer(reference.fFD, SO_RCVBUF);

    Udp small, large;
    const int tiny = 4096, big = 4 << 20;
    for (int option : {SO_RCVBUF, SO_SNDBUF})
    {
        ::setsockopt(small.fFD, SOL_SOCKET, option, &tiny, sizeof(tiny));
        ::setsockopt(large.fFD, SOL_SOCKET, option, &big, sizeof(big));
    }
    const int largeBefore = sGetBuffer(large.fFD, SO_RCVBUF);
    ASSERT_GT(largeBefore, granted);

    EXPECT_TRUE(sSocket_RaiseBuffers(small.fFD, request));
    EXPECT_TRUE(sSocket_RaiseBuffers(large.fFD, request));
    for (int option : {SO_RCVBUF, SO_SNDBUF})
    {
        EXPECT_GE(sGetBuffer(small.fFD, option), granted);
        EXPECT_EQ(largeBefore, sGetBuffer(large.fFD, option));
    }
    EXPECT_FALSE(sSocket_RaiseBuffers(-1, request));
}

TEST(ZPlatformSocket, WaitReportsExactlyTheReadableOnesAmongManyAndHighDescriptors)
{
    const size_t kCount = 70;
    const int kBase = 1100;
    rlimit limit;
    ::getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < rlim_t(kBase + kCount + 10))
    {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        if (limit.rlim_cur < rlim_t(kBase + kCount + 10))
            GTEST_SKIP() << "descriptor limit too low";
    }
    std::vector<Udp> sockets(kCount);
    std::vector<int> fds;
    for (size_t x = 0; x < kCount; ++x)
    {
        ASSERT_TRUE(sockets[x].MoveTo(kBase + int(x)));
        fds.push_back(sockets[x].fFD);
    }
    std::vector<uint8_t> ready(kCount);

    EXPECT_EQ(0, sSocket_WaitReadable(fds.data(), ready.data(), kCount, 0));

    Udp sender;
    ASSERT_TRUE(sSend(sender, sockets[67], "x"));
    ASSERT_EQ(1, sSocket_WaitReadable(fds.data(), ready.data(), kCount, 5000));
    for (size_t x = 0; x < kCount; ++x)
        EXPECT_EQ(x == 67 ? eSocket_Readable : eSocket_NotReady, ready[x]) << x;

    // A descriptor that is not open is reported, not waited on.
    sockets[3].Close();
    EXPECT_EQ(2, sSocket_WaitReadable(fds.data(), ready.data(), kCount, 5000));
    EXPECT_EQ(eSocket_Invalid, ready[3]);
}

TEST(ZPlatformSocket, ReceiveNeverBlocksAndKeepsTheWholeIPv6Source)
{
    Udp v4;
    char buffer[64];
    SocketAddress source;
    // A blocking socket with nothing waiting answers at once.
    EXPECT_EQ(-1, sSocket_ReceiveFrom(v4.fFD, buffer, sizeof(buffer), source));

    Udp a(AF_INET6), b(AF_INET6);
    if (a.fFD < 0 || b.fFD < 0)
        GTEST_SKIP() << "no IPv6 loopback";
    ASSERT_TRUE(sSend(a, b, "hello"));
    std::vector<uint8_t> ready(1);
    ASSERT_EQ(1, sSocket_WaitReadable(&b.fFD, ready.data(), 1, 5000));
    ASSERT_EQ(5, sSocket_ReceiveFrom(b.fFD, buffer, sizeof(buffer), source));
    EXPECT_EQ(0, std::memcmp(buffer, "hello", 5));
    ASSERT_EQ(int(sizeof(sockaddr_in6)), source.fLength);
    EXPECT_EQ(0, std::memcmp(source.fBytes, &a.fAddr, sizeof(sockaddr_in6)));
    // The reported source is a usable destination.
    ASSERT_TRUE(sSocket_SendTo(b.fFD, "back", 4, reinterpret_cast<const sockaddr*>(source.fBytes),
                               source.fLength));
    ASSERT_EQ(1, sSocket_WaitReadable(&a.fFD, ready.data(), 1, 5000));
    EXPECT_EQ(4, sSocket_ReceiveFrom(a.fFD, buffer, sizeof(buffer), source));
}
