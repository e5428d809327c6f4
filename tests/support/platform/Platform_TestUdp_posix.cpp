// The tests' platform layer, UDP facility, POSIX: the socket calls themselves.

#include "tests/support/platform/Platform_TestUdp.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quillane::test::Platform
{

int sTestUdp_OpenBound(sockaddr* ioAddress, int& ioLength)
{
    const int theSocket = ::socket(ioAddress->sa_family, SOCK_DGRAM, 0);
    socklen_t length = socklen_t(ioLength);
    if (theSocket < 0 || ::bind(theSocket, ioAddress, length) != 0 ||
        ::getsockname(theSocket, ioAddress, &length) != 0)
    {
        if (theSocket >= 0)
            ::close(theSocket);
        return -1;
    }
    ioLength = int(length);
    return theSocket;
}

void sTestUdp_Close(int iSocket)
{
    ::close(iSocket);
}

bool sTestUdp_MoveTo(int iSocket, int iTarget)
{
    if (::dup2(iSocket, iTarget) != iTarget)
        return false;
    ::close(iSocket);
    return true;
}

bool sTestUdp_AllowHighDescriptors(int iHighest)
{
    rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    return ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur > rlim_t(iHighest);
}

bool sTestUdp_SendTo(int iSocket, const sockaddr* iAddress, int iAddressLength, const void* iData,
                     size_t iLength)
{
    return ::sendto(iSocket, iData, iLength, 0, iAddress, socklen_t(iAddressLength)) ==
           ssize_t(iLength);
}

bool sTestUdp_WaitReadable(int iSocket, int iMilliseconds)
{
    pollfd entry = {iSocket, POLLIN, 0};
    return ::poll(&entry, 1, iMilliseconds) == 1;
}

long sTestUdp_Receive(int iSocket, void* oBuffer, size_t iCapacity)
{
    return long(::recv(iSocket, oBuffer, iCapacity, MSG_DONTWAIT));
}

bool sTestUdp_SetBlocking(int iSocket, bool iBlocking)
{
    const int flags = ::fcntl(iSocket, F_GETFL);
    return flags != -1 &&
           ::fcntl(iSocket, F_SETFL, iBlocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}

bool sTestUdp_IsBlocking(int iSocket)
{
    return !(::fcntl(iSocket, F_GETFL) & O_NONBLOCK);
}

int sTestUdp_BufferSize(int iSocket, bool iReceive)
{
    int size = 0;
    socklen_t length = sizeof(size);
    if (::getsockopt(iSocket, SOL_SOCKET, iReceive ? SO_RCVBUF : SO_SNDBUF, &size, &length) != 0)
        return -1;
    return size;
}

bool sTestUdp_SetBufferSize(int iSocket, bool iReceive, int iBytes)
{
    return ::setsockopt(iSocket, SOL_SOCKET, iReceive ? SO_RCVBUF : SO_SNDBUF, &iBytes,
                        sizeof(iBytes)) == 0;
}

bool sTestUdp_SendWithoutChecksums(int iSocket)
{
#if defined(SO_NO_CHECK)
    const int on = 1;
    return ::setsockopt(iSocket, SOL_SOCKET, SO_NO_CHECK, &on, sizeof(on)) == 0;
#else
    (void)iSocket;
    return false;
#endif
}

} // namespace quillane::test::Platform
