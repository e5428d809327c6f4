// The tests' platform layer, TestUdp's socket calls on POSIX systems (tests/support/TestUdp.h).

#include "tests/support/TestUdp.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quillane::test
{

int TestUdp::spOpenBound(TestAddress& ioAddress)
{
    sockaddr* const address = reinterpret_cast<sockaddr*>(ioAddress.fBytes);
    const int theSocket = ::socket(address->sa_family, SOCK_DGRAM, 0);
    socklen_t length = socklen_t(ioAddress.fLength);
    if (theSocket < 0 || ::bind(theSocket, address, length) != 0 ||
        ::getsockname(theSocket, address, &length) != 0)
    {
        if (theSocket >= 0)
            ::close(theSocket);
        return -1;
    }
    ioAddress.fLength = int(length);
    return theSocket;
}

void TestUdp::Close()
{
    if (fFD >= 0)
        ::close(fFD);
    fFD = -1;
}

bool TestUdp::MoveTo(int iTarget)
{
    if (::dup2(fFD, iTarget) != iTarget)
        return false;
    ::close(fFD);
    fFD = iTarget;
    return true;
}

bool TestUdp::sAllowHighDescriptors(int iHighest)
{
    rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    return ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur > rlim_t(iHighest);
}

bool TestUdp::SendTo(const sockaddr* iAddress, int iAddressLength, const void* iData,
                     size_t iLength) const
{
    return ::sendto(fFD, iData, iLength, 0, iAddress, socklen_t(iAddressLength)) ==
           ssize_t(iLength);
}

bool TestUdp::WaitReadable(int iMilliseconds) const
{
    pollfd entry = {fFD, POLLIN, 0};
    return ::poll(&entry, 1, iMilliseconds) == 1;
}

long TestUdp::Receive(void* oBuffer, size_t iCapacity, int iMilliseconds) const
{
    return WaitReadable(iMilliseconds) ? long(::recv(fFD, oBuffer, iCapacity, MSG_DONTWAIT)) : -1;
}

bool TestUdp::SetBlocking(bool iBlocking) const
{
    const int flags = ::fcntl(fFD, F_GETFL);
    return flags != -1 &&
           ::fcntl(fFD, F_SETFL, iBlocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK) == 0;
}

bool TestUdp::IsBlocking() const
{
    return !(::fcntl(fFD, F_GETFL) & O_NONBLOCK);
}

int TestUdp::BufferSize(bool iReceive) const
{
    int size = 0;
    socklen_t length = sizeof(size);
    if (::getsockopt(fFD, SOL_SOCKET, iReceive ? SO_RCVBUF : SO_SNDBUF, &size, &length) != 0)
        return -1;
    return size;
}

bool TestUdp::SetBufferSize(bool iReceive, int iBytes) const
{
    return ::setsockopt(fFD, SOL_SOCKET, iReceive ? SO_RCVBUF : SO_SNDBUF, &iBytes,
                        sizeof(iBytes)) == 0;
}

bool TestUdp::SendWithoutChecksums() const
{
#if defined(SO_NO_CHECK)
    const int on = 1;
    return ::setsockopt(fFD, SOL_SOCKET, SO_NO_CHECK, &on, sizeof(on)) == 0;
#else
    return false;
#endif
}

} // namespace quillane::test
