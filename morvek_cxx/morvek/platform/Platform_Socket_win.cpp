// Platform layer, datagram-socket facility, Win32 (Windows Sockets 2; the process has started
// them, since the application made its sockets with them):
// - the kind of socket: its protocol record (SO_PROTOCOL_INFOW); duplicates: WSADuplicateSocketW
//   for this process and a socket made from the record, identified by their local addresses.
// - buffer sizes: getsockopt and setsockopt. Windows reports the size that was set, not a doubled
//   one, so a buffer is compared with the number requested.
// - waiting: WSAPoll, which takes any number of sockets (select's sets hold 64 unless rebuilt).
// - receiving without blocking: Windows has no per-call non-blocking flag, and switching the
//   application's socket to non-blocking mode and back would change its mode under it (and race
//   with its own calls). Instead a receive is made only after a zero-time readiness check on the
//   calling thread, and is posted as an overlapped receive that is cancelled when it does not
//   complete at once (sSocket_ReceivePosted).
// - sending: sendto.
// - batches: loops over the single calls (Windows has no call that takes several datagrams to
//   several addresses), so a batch never blocks where a single call would not and reports every
//   source address whole, as the single calls do.
//
// Socket handles travel through the int interface: a SOCKET is a UINT_PTR (64 bits in a 64-bit
// process). The base provider's sockets are kernel handles, and Windows keeps kernel handle values
// within 32 bits in 64-bit processes too, so that 32- and 64-bit programs can share them: only
// the low 32 bits are significant, and a handle is widened by sign extension (the documented rule
// for handles passed between 32- and 64-bit processes). So the int is sign-extended back to a
// SOCKET, which maps -1 to INVALID_SOCKET. The SOCKET type itself promises less (any value but
// INVALID_SOCKET): a socket of a layered provider that is not a kernel handle could have a value
// above 2^31. Such providers are deprecated since Windows 8; a handle that does not fit an int
// cannot be passed in at all (the module's int conversion refuses it with OverflowError), so no
// wrong socket is ever used.

#include "morvek/platform/Platform_Socket.h"
#include "morvek/platform/Platform_Socket_win.h"

#define WIN32_LEAN_AND_MEAN 1
#define NOMINMAX 1
#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <cstring>
#include <vector>

namespace Morvek
{
namespace Platform
{

static_assert(sizeof(SOCKADDR_STORAGE) <= kSocketAddressCapacity,
              "SocketAddress must hold any address the system reports");

namespace
{

SOCKET spSocket(int iSocket)
{
    return SOCKET(intptr_t(iSocket));
}

int spClampLength(size_t iLength)
{
    return iLength > size_t(INT_MAX) ? INT_MAX : int(iLength);
}

// False when the size cannot be read (not an open socket).
bool spRaise(SOCKET iSocket, int iOption, int iBytes)
{
    int current = 0;
    int length = sizeof(current);
    if (::getsockopt(iSocket, SOL_SOCKET, iOption, reinterpret_cast<char*>(&current), &length) != 0)
    {
        return false;
    }
    if (current < iBytes)
    {
        ::setsockopt(iSocket, SOL_SOCKET, iOption, reinterpret_cast<const char*>(&iBytes),
                     sizeof(iBytes));
    }
    return true;
}

bool spIsSocket(SOCKET iSocket)
{
    int type = 0;
    int length = sizeof(type);
    return ::getsockopt(iSocket, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) == 0;
}

// Readable or erroneous: a receive returns at once (with a datagram, or with the error, which it
// clears). Closed handles report invalid.
uint8_t spReadiness(SHORT iRevents)
{
    if (iRevents & POLLNVAL)
        return eSocket_Invalid;
    if (iRevents & (POLLRDNORM | POLLERR | POLLHUP))
        return eSocket_Readable;
    return eSocket_NotReady;
}

// One WSAPoll over ioFDs; -1 when it failed (the error left in WSAGetLastError).
int spPoll(std::vector<WSAPOLLFD>& ioFDs, uint32_t iMilliseconds)
{
    const INT timeout = iMilliseconds > 0x7FFFFFFFu ? -1 : INT(iMilliseconds);
    for (WSAPOLLFD& entry : ioFDs)
        entry.revents = 0;
    return ::WSAPoll(ioFDs.data(), ULONG(ioFDs.size()), timeout);
}

// A wait that failed because a handle is no longer a socket (it was closed): the closed ones are
// reported invalid, as poll does on POSIX, together with whatever of the others is ready now.
// -1 when no handle was found closed (the wait failed for another reason).
int spWaitAfterFailure(const int* iSockets, uint8_t* oReady, size_t iCount)
{
    thread_local std::vector<WSAPOLLFD> sOpen;
    thread_local std::vector<size_t> sIndexes;
    sOpen.clear();
    sIndexes.clear();
    int invalid = 0;
    for (size_t x = 0; x < iCount; ++x)
    {
        const SOCKET theSocket = spSocket(iSockets[x]);
        if (theSocket != INVALID_SOCKET && !spIsSocket(theSocket))
        {
            oReady[x] = eSocket_Invalid;
            ++invalid;
            continue;
        }
        sOpen.push_back(WSAPOLLFD{theSocket, POLLRDNORM, 0});
        sIndexes.push_back(x);
    }
    if (!invalid)
        return -1;
    if (sOpen.empty() || spPoll(sOpen, 0) <= 0)
        return invalid;
    int ready = invalid;
    for (size_t x = 0; x < sOpen.size(); ++x)
    {
        oReady[sIndexes[x]] = spReadiness(sOpen[x].revents);
        if (oReady[sIndexes[x]] != eSocket_NotReady)
            ++ready;
    }
    return ready;
}

// A manual-reset event per thread, for the overlapped receives of that thread; null when none
// could be made.
class ThreadEvent
{
  public:
    ThreadEvent() : fEvent(::WSACreateEvent()) {}
    ~ThreadEvent()
    {
        if (fEvent != WSA_INVALID_EVENT)
            ::WSACloseEvent(fEvent);
    }
    ThreadEvent(const ThreadEvent&) = delete;
    ThreadEvent& operator=(const ThreadEvent&) = delete;

    WSAEVENT Get() const { return fEvent == WSA_INVALID_EVENT ? nullptr : fEvent; }

  private:
    const WSAEVENT fEvent;
};

// The source address's length as the system reported it, never more than the storage holds.
int spSourceLength(INT iLength)
{
    if (iLength < 0)
        return 0;
    return iLength > INT(kSocketAddressCapacity) ? int(kSocketAddressCapacity) : int(iLength);
}

} // namespace

int sSocket_UDPVersion(int iSocket)
{
    WSAPROTOCOL_INFOW info;
    int length = sizeof(info);
    if (::getsockopt(spSocket(iSocket), SOL_SOCKET, SO_PROTOCOL_INFOW,
                     reinterpret_cast<char*>(&info), &length) != 0 ||
        info.iSocketType != SOCK_DGRAM || info.iProtocol != IPPROTO_UDP)
    {
        return 0;
    }
    return info.iAddressFamily == AF_INET ? 4 : info.iAddressFamily == AF_INET6 ? 6 : 0;
}

int sSocket_Duplicate(int iSocket)
{
    WSAPROTOCOL_INFOW info;
    if (::WSADuplicateSocketW(spSocket(iSocket), ::GetCurrentProcessId(), &info) != 0)
        return -1;
    const SOCKET theDuplicate = ::WSASocketW(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO,
                                             FROM_PROTOCOL_INFO, &info, 0,
                                             WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (theDuplicate == INVALID_SOCKET)
        return -1;
    // Only a handle that survives the trip through an int can be used (see above).
    const int result = int(intptr_t(theDuplicate));
    if (spSocket(result) != theDuplicate)
    {
        ::closesocket(theDuplicate);
        return -1;
    }
    return result;
}

void sSocket_CloseDuplicate(int iSocket)
{
    ::closesocket(spSocket(iSocket));
}

bool sSocket_Same(int iA, int iB)
{
    SocketAddress a, b;
    INT lengthA = INT(sizeof(a.fBytes)), lengthB = INT(sizeof(b.fBytes));
    if (!spIsSocket(spSocket(iA)) || !spIsSocket(spSocket(iB)))
        return false;
    const bool boundA =
        ::getsockname(spSocket(iA), reinterpret_cast<sockaddr*>(a.fBytes), &lengthA) == 0;
    const bool boundB =
        ::getsockname(spSocket(iB), reinterpret_cast<sockaddr*>(b.fBytes), &lengthB) == 0;
    // Unbound, neither has an address yet: they are taken as the same socket.
    if (!boundA || !boundB)
        return boundA == boundB;
    return lengthA == lengthB && std::memcmp(a.fBytes, b.fBytes, size_t(lengthA)) == 0;
}

bool sSocket_RaiseBuffers(int iSocket, int iBytes)
{
    const SOCKET theSocket = spSocket(iSocket);
    if (!spRaise(theSocket, SO_RCVBUF, iBytes))
        return false;
    return spRaise(theSocket, SO_SNDBUF, iBytes);
}

int sSocket_WaitReadable(const int* iSockets, uint8_t* oReady, size_t iCount,
                         uint32_t iMilliseconds)
{
    for (size_t x = 0; x < iCount; ++x)
        oReady[x] = eSocket_NotReady;
    if (iCount == 0)
    {
        // WSAPoll refuses an empty set; poll would just wait.
        ::Sleep(iMilliseconds > 0x7FFFFFFFu ? INFINITE : DWORD(iMilliseconds));
        return 0;
    }
    // Kept per thread so that the runner's every pass does not allocate.
    thread_local std::vector<WSAPOLLFD> sPollFDs;
    sPollFDs.resize(iCount);
    for (size_t x = 0; x < iCount; ++x)
    {
        // POLLRDNORM only: WSAPoll refuses flags that a datagram socket does not support.
        sPollFDs[x].fd = spSocket(iSockets[x]);
        sPollFDs[x].events = POLLRDNORM;
    }
    const int result = spPoll(sPollFDs, iMilliseconds);
    if (result == SOCKET_ERROR)
        return spWaitAfterFailure(iSockets, oReady, iCount);
    if (result == 0)
        return 0;
    int ready = 0;
    for (size_t x = 0; x < iCount; ++x)
    {
        oReady[x] = spReadiness(sPollFDs[x].revents);
        if (oReady[x] != eSocket_NotReady)
            ++ready;
    }
    return ready;
}

ptrdiff_t sSocket_ReceiveFrom(int iSocket, void* oBuffer, size_t iCapacity, SocketAddress& oSource)
{
    oSource.fLength = 0;
    const SOCKET theSocket = spSocket(iSocket);
    // The check and the receive run on this thread back to back: the datagram seen waiting is
    // still there for the receive unless another thread or process read the same socket in
    // between, which spReceivePosted survives.
    WSAPOLLFD entry = {theSocket, POLLRDNORM, 0};
    if (::WSAPoll(&entry, 1, 0) != 1 || spReadiness(entry.revents) != eSocket_Readable)
        return -1;
    return sSocket_ReceivePosted(iSocket, oBuffer, iCapacity, oSource);
}

// The receive is posted as an overlapped operation, which is complete at once when a datagram is
// waiting. When none is (another reader took it after the readiness check), the operation is
// cancelled and waited for: either the cancel wins and nothing was received, or a datagram
// arrived first and is returned. Nothing is lost and nothing is written after return, since the
// buffer, the address and the OVERLAPPED are the caller's and this frame's.
// - The event's low bit is set: no completion is queued to a completion port the application
//   may have bound the socket to.
// - What remains of the race: a socket made without the overlapped attribute (WSASocket without
//   WSA_FLAG_OVERLAPPED; socket() and Python's sockets have it) ignores the OVERLAPPED and
//   receives like recvfrom, and so does, in effect, a socket of a layered provider whose handle
//   the cancel cannot reach. After the readiness check such a receive returns at once, except
//   when another reader took the datagram in between: then it waits for the next datagram on
//   that socket (the runner holding its lock meanwhile). Only a second reader of the socket,
//   never a remote peer, can bring that about.
ptrdiff_t sSocket_ReceivePosted(int iSocket, void* oBuffer, size_t iCapacity,
                                SocketAddress& oSource)
{
    oSource.fLength = 0;
    thread_local ThreadEvent sEvent;
    const WSAEVENT event = sEvent.Get();
    if (!event)
        return -1;
    const SOCKET theSocket = spSocket(iSocket);
    ::WSAResetEvent(event);
    WSAOVERLAPPED overlapped = {};
    overlapped.hEvent = WSAEVENT(uintptr_t(event) | 1);
    WSABUF buffer;
    buffer.len = ULONG(spClampLength(iCapacity));
    buffer.buf = static_cast<char*>(oBuffer);
    DWORD received = 0, flags = 0;
    INT sourceLength = INT(kSocketAddressCapacity);
    sockaddr* const source = reinterpret_cast<sockaddr*>(oSource.fBytes);
    if (::WSARecvFrom(theSocket, &buffer, 1, &received, &flags, source, &sourceLength, &overlapped,
                      nullptr) == 0)
    {
        oSource.fLength = spSourceLength(sourceLength);
        return ptrdiff_t(received);
    }
    const int error = ::WSAGetLastError();
    if (error == WSAEMSGSIZE) // truncated: the buffer holds the datagram's start
    {
        oSource.fLength = spSourceLength(sourceLength);
        return ptrdiff_t(buffer.len);
    }
    if (error != WSA_IO_PENDING)
        return -1;
    ::CancelIoEx(reinterpret_cast<HANDLE>(theSocket), &overlapped);
    ::WaitForSingleObject(event, INFINITE);
    if (!::WSAGetOverlappedResult(theSocket, &overlapped, &received, FALSE, &flags))
    {
        if (::WSAGetLastError() != WSAEMSGSIZE)
            return -1;
        received = buffer.len;
    }
    oSource.fLength = spSourceLength(sourceLength);
    return ptrdiff_t(received);
}

bool sSocket_SendTo(int iSocket, const void* iData, size_t iLength, const sockaddr* iAddress,
                    int iAddressLength)
{
    if (iAddressLength < 0 || iLength > size_t(INT_MAX))
        return false;
    return ::sendto(spSocket(iSocket), static_cast<const char*>(iData), int(iLength), 0, iAddress,
                    iAddressLength) != SOCKET_ERROR;
}

// No batch system calls for datagrams: each receive keeps its readiness check.
size_t sSocket_ReceiveBatch(int iSocket, ReceiveSlot* ioSlots, size_t iCount)
{
    return sSocket_ReceiveSingly(iSocket, ioSlots, iCount);
}

size_t sSocket_SendBatch(int iSocket, const SendItem* iItems, size_t iCount)
{
    return sSocket_SendSingly(iSocket, iItems, iCount);
}

} // namespace Platform
} // namespace Morvek
