// The tests' platform layer, UDP facility, Win32: Windows Sockets 2, started once by the first
// socket. Socket handles are kernel handles, which fit an int (sign-extended back); a socket
// whose handle does not is closed and reported as none.

#include "tests/support/platform/Platform_TestUdp.h"

#define WIN32_LEAN_AND_MEAN 1
#define NOMINMAX 1
#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <cstdint>

namespace quillane::test::Platform
{

namespace
{

SOCKET spSocket(int iSocket)
{
    return SOCKET(intptr_t(iSocket));
}

} // namespace

int sTestUdp_OpenBound(sockaddr* ioAddress, int& ioLength)
{
    static const bool sStarted = []
    {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    if (!sStarted)
        return -1;
    const SOCKET theSocket = ::socket(ioAddress->sa_family, SOCK_DGRAM, 0);
    if (theSocket == INVALID_SOCKET)
        return -1;
    if (SOCKET(intptr_t(int(theSocket))) != theSocket ||
        ::bind(theSocket, ioAddress, ioLength) != 0 ||
        ::getsockname(theSocket, ioAddress, &ioLength) != 0)
    {
        ::closesocket(theSocket);
        return -1;
    }
    return int(theSocket);
}

void sTestUdp_Close(int iSocket)
{
    ::closesocket(spSocket(iSocket));
}

bool sTestUdp_MoveTo(int, int)
{
    return false;
}

bool sTestUdp_AllowHighDescriptors(int)
{
    return false;
}

bool sTestUdp_SendTo(int iSocket, const sockaddr* iAddress, int iAddressLength, const void* iData,
                     size_t iLength)
{
    return iLength <= size_t(INT_MAX) &&
           ::sendto(spSocket(iSocket), static_cast<const char*>(iData), int(iLength), 0, iAddress,
                    iAddressLength) == int(iLength);
}

bool sTestUdp_WaitReadable(int iSocket, int iMilliseconds)
{
    WSAPOLLFD entry = {spSocket(iSocket), POLLRDNORM, 0};
    return ::WSAPoll(&entry, 1, iMilliseconds) == 1;
}

long sTestUdp_Receive(int iSocket, void* oBuffer, size_t iCapacity)
{
    const int capacity = iCapacity > size_t(INT_MAX) ? INT_MAX : int(iCapacity);
    const int result = ::recv(spSocket(iSocket), static_cast<char*>(oBuffer), capacity, 0);
    if (result == SOCKET_ERROR)
        return ::WSAGetLastError() == WSAEMSGSIZE ? capacity : -1; // truncated, as on POSIX
    return long(result);
}

bool sTestUdp_SetBlocking(int iSocket, bool iBlocking)
{
    u_long nonBlocking = iBlocking ? 0 : 1;
    return ::ioctlsocket(spSocket(iSocket), FIONBIO, &nonBlocking) == 0;
}

bool sTestUdp_IsBlocking(int iSocket)
{
    DWORD timeout = 200; // milliseconds
    ::setsockopt(spSocket(iSocket), SOL_SOCKET, SO_RCVTIMEO,
                 reinterpret_cast<const char*>(&timeout), sizeof(timeout));
    char byte;
    const int result = ::recv(spSocket(iSocket), &byte, 1, 0);
    const int error = ::WSAGetLastError();
    timeout = 0;
    ::setsockopt(spSocket(iSocket), SOL_SOCKET, SO_RCVTIMEO,
                 reinterpret_cast<const char*>(&timeout), sizeof(timeout));
    return result == SOCKET_ERROR && error == WSAETIMEDOUT;
}

int sTestUdp_BufferSize(int iSocket, bool iReceive)
{
    int size = 0;
    int length = sizeof(size);
    if (::getsockopt(spSocket(iSocket), SOL_SOCKET, iReceive ? SO_RCVBUF : SO_SNDBUF,
                     reinterpret_cast<char*>(&size), &length) != 0)
    {
        return -1;
    }
    return size;
}

bool sTestUdp_SetBufferSize(int iSocket, bool iReceive, int iBytes)
{
    return ::setsockopt(spSocket(iSocket), SOL_SOCKET, iReceive ? SO_RCVBUF : SO_SNDBUF,
                        reinterpret_cast<const char*>(&iBytes), sizeof(iBytes)) == 0;
}

bool sTestUdp_SendWithoutChecksums(int)
{
    // Windows has an option of its own (UDP_NOCHECKSUM), but its batch sends are loops of single
    // sends, so the case a test would make of it (segmenting refused) cannot arise here.
    return false;
}

} // namespace quillane::test::Platform
