// The tests' platform layer, TestUdp's socket calls on Windows (tests/support/TestUdp.h):
// Windows Sockets 2, started once by the first socket. Socket handles are kernel handles, which
// fit an int (sign-extended back); a socket whose handle does not is closed and reported as
// none.

#include "tests/support/TestUdp.h"

#define WIN32_LEAN_AND_MEAN 1
#define NOMINMAX 1
#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <cstdint>

namespace quillane::test
{

namespace
{

SOCKET spSocket(int iFD)
{
    return SOCKET(intptr_t(iFD));
}

} // namespace

int TestUdp::spOpenBound(TestAddress& ioAddress)
{
    static const bool sStarted = []
    {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!sStarted)
        return -1;
    sockaddr* const address = reinterpret_cast<sockaddr*>(ioAddress.fBytes);
    const SOCKET theSocket = ::socket(address->sa_family, SOCK_DGRAM, 0);
    if (theSocket == INVALID_SOCKET)
        return -1;
    if (SOCKET(intptr_t(int(theSocket))) != theSocket ||
        ::bind(theSocket, address, ioAddress.fLength) != 0 ||
        ::getsockname(theSocket, address, &ioAddress.fLength) != 0)
    {
        ::closesocket(theSocket);
        return -1;
    }
    return int(theSocket);
}

void TestUdp::Close()
{
    if (fFD >= 0)
        ::closesocket(spSocket(fFD));
    fFD = -1;
}

bool TestUdp::MoveTo(int)
{
    return false;
}

bool TestUdp::sAllowHighDescriptors(int)
{
    return false;
}

bool TestUdp::SendTo(const sockaddr* iAddress, int iAddressLength, const void* iData,
                     size_t iLength) const
{
    return iLength <= size_t(INT_MAX) &&
           ::sendto(spSocket(fFD), static_cast<const char*>(iData), int(iLength), 0, iAddress,
                    iAddressLength) == int(iLength);
}

bool TestUdp::WaitReadable(int iMilliseconds) const
{
    WSAPOLLFD entry = {spSocket(fFD), POLLRDNORM, 0};
    return ::WSAPoll(&entry, 1, iMilliseconds) == 1;
}

long TestUdp::Receive(void* oBuffer, size_t iCapacity, int iMilliseconds) const
{
    if (!WaitReadable(iMilliseconds))
        return -1;
    const int capacity = iCapacity > size_t(INT_MAX) ? INT_MAX : int(iCapacity);
    const int result = ::recv(spSocket(fFD), static_cast<char*>(oBuffer), capacity, 0);
    if (result == SOCKET_ERROR)
        return ::WSAGetLastError() == WSAEMSGSIZE ? capacity : -1; // truncated, as on POSIX
    return long(result);
}

bool TestUdp::SetBlocking(bool iBlocking) const
{
    u_long nonBlocking = iBlocking ? 0 : 1;
    return ::ioctlsocket(spSocket(fFD), FIONBIO, &nonBlocking) == 0;
}

bool TestUdp::IsBlocking() const
{
    DWORD timeout = 200; // milliseconds
    ::setsockopt(spSocket(fFD), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                 sizeof(timeout));
    char byte;
    const int result = ::recv(spSocket(fFD), &byte, 1, 0);
    const int error = ::WSAGetLastError();
    timeout = 0;
    ::setsockopt(spSocket(fFD), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                 sizeof(timeout));
    return result == SOCKET_ERROR && error == WSAETIMEDOUT;
}

int TestUdp::BufferSize(bool iReceive) const
{
    int size = 0;
    int length = sizeof(size);
    if (::getsockopt(spSocket(fFD), SOL_SOCKET, iReceive ? SO_RCVBUF : SO_SNDBUF,
                     reinterpret_cast<char*>(&size), &length) != 0)
    {
        return -1;
    }
    return size;
}

bool TestUdp::SetBufferSize(bool iReceive, int iBytes) const
{
    return ::setsockopt(spSocket(fFD), SOL_SOCKET, iReceive ? SO_RCVBUF : SO_SNDBUF,
                        reinterpret_cast<const char*>(&iBytes), sizeof(iBytes)) == 0;
}

bool TestUdp::SendWithoutChecksums() const
{
    // Windows has an option of its own (UDP_NOCHECKSUM), but its batch sends are loops of single
    // sends, so the case a test would make of it (segmenting refused) cannot arise here.
    return false;
}

} // namespace quillane::test
