// Platform layer, datagram-socket facility, POSIX: getsockopt/setsockopt for the buffer sizes,
// poll for readiness (no limit on descriptor values or their number, unlike select's fd_set),
// recvfrom with MSG_DONTWAIT (non-blocking for this call only, the socket's mode untouched) into
// a sockaddr_storage, and sendto.

#include "morvek/platform/ZPlatform_Socket.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include <poll.h>
#include <sys/socket.h>

namespace Morvek
{
namespace Platform
{

static_assert(sizeof(sockaddr_storage) <= kSocketAddressCapacity,
              "SocketAddress must hold any address the system reports");

namespace
{

// The size that getsockopt reports after a request for iBytes. Linux doubles every request (the
// extra half is its own bookkeeping) and reports the doubled size, so a buffer is compared with
// what the request would really give, not with the number requested.
int spGrantedFor(int iBytes)
{
#if defined(__linux__)
    return iBytes > 0x3FFFFFFF ? 0x7FFFFFFF : iBytes * 2;
#else
    return iBytes;
#endif
}

// False when the size cannot be read (not an open socket).
bool spRaise(int iSocket, int iOption, int iBytes)
{
    int current = 0;
    socklen_t length = sizeof(current);
    if (::getsockopt(iSocket, SOL_SOCKET, iOption, &current, &length) != 0)
        return false;
    if (current < spGrantedFor(iBytes))
        ::setsockopt(iSocket, SOL_SOCKET, iOption, &iBytes, sizeof(iBytes));
    return true;
}

} // namespace

bool sSocket_RaiseBuffers(int iSocket, int iBytes)
{
    if (!spRaise(iSocket, SO_RCVBUF, iBytes))
        return false;
    return spRaise(iSocket, SO_SNDBUF, iBytes);
}

int sSocket_WaitReadable(const int* iSockets, uint8_t* oReady, size_t iCount,
                         uint32_t iMilliseconds)
{
    // Kept per thread so that the runner's every pass does not allocate.
    thread_local std::vector<pollfd> sPollFDs;
    sPollFDs.resize(iCount);
    for (size_t x = 0; x < iCount; ++x)
    {
        sPollFDs[x].fd = iSockets[x];
        sPollFDs[x].events = POLLIN;
        sPollFDs[x].revents = 0;
        oReady[x] = eSocket_NotReady;
    }
    const int timeout = iMilliseconds > 0x7FFFFFFFu ? -1 : int(iMilliseconds);
    const int result = ::poll(sPollFDs.data(), nfds_t(iCount), timeout);
    if (result <= 0)
        return result < 0 ? -1 : 0;
    int ready = 0;
    for (size_t x = 0; x < iCount; ++x)
    {
        const short revents = sPollFDs[x].revents;
        if (revents & POLLNVAL)
            oReady[x] = eSocket_Invalid;
        else if (revents & (POLLIN | POLLERR | POLLHUP))
            oReady[x] = eSocket_Readable;
        if (oReady[x] != eSocket_NotReady)
            ++ready;
    }
    return ready;
}

ptrdiff_t sSocket_ReceiveFrom(int iSocket, void* oBuffer, size_t iCapacity, SocketAddress& oSource)
{
    socklen_t length = sizeof(oSource.fBytes);
    ssize_t result;
    do
    {
        result = ::recvfrom(iSocket, oBuffer, iCapacity, MSG_DONTWAIT,
                            reinterpret_cast<sockaddr*>(oSource.fBytes), &length);
    } while (result < 0 && errno == EINTR);
    if (result < 0)
    {
        oSource.fLength = 0;
        return -1;
    }
    // The system reports the address's full length even when it had to truncate it; never
    // claim more bytes than the storage holds.
    oSource.fLength = length > sizeof(oSource.fBytes) ? int(sizeof(oSource.fBytes)) : int(length);
    return ptrdiff_t(result);
}

bool sSocket_SendTo(int iSocket, const void* iData, size_t iLength, const sockaddr* iAddress,
                    int iAddressLength)
{
    if (iAddressLength < 0)
        return false;
    ssize_t result;
    do
    {
        result =
            ::sendto(iSocket, iData, iLength, MSG_NOSIGNAL, iAddress, socklen_t(iAddressLength));
    } while (result < 0 && errno == EINTR);
    return result >= 0;
}

} // namespace Platform
} // namespace Morvek
