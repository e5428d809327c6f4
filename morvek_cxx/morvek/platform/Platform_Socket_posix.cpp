// Platform layer, datagram-socket facility, POSIX: getsockopt/setsockopt for the buffer sizes and
// the kind of socket, fcntl(F_DUPFD_CLOEXEC) for duplicates and fstat's inode for their identity,
// poll for readiness (no limit on descriptor values or their number, unlike select's fd_set),
// recvfrom with MSG_DONTWAIT (non-blocking for this call only, the socket's mode untouched) into
// a sockaddr_storage, and sendto.
//
// The batch calls use recvmmsg and sendmmsg where the system has them (Linux), and plain loops
// elsewhere. On Linux a batch send also hands each run of datagrams of one size to one address
// to the system as one segmented send (UDP_SEGMENT), which the stack splits back into the same
// datagrams; the receiver cannot tell. A segmented send the system refuses is sent again as
// single datagrams, and after a refusal that says the system cannot segment (EINVAL, EIO,
// ENOPROTOOPT, EOPNOTSUPP) the process sends without segmenting from then on.

#include "morvek/platform/Platform_Socket.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#if defined(__linux__)
#include <netinet/udp.h>
#define MORVEK_SOCKET_MMSG 1
#if defined(UDP_SEGMENT)
#define MORVEK_SOCKET_SEGMENT 1
#endif
#endif

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

// The system reports an address's full length even when it had to truncate it; never claim
// more bytes than the storage holds.
void spSetSource(SocketAddress& oSource, socklen_t iLength)
{
    oSource.fLength = iLength > sizeof(oSource.fBytes) ? int(sizeof(oSource.fBytes)) : int(iLength);
}

} // namespace

int sSocket_UDPVersion(int iSocket)
{
    int type = 0;
    socklen_t length = sizeof(type);
    if (::getsockopt(iSocket, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_DGRAM)
        return 0;
#if defined(SO_PROTOCOL)
    // Datagram sockets of other protocols exist (ICMP echo sockets, for one).
    int protocol = 0;
    length = sizeof(protocol);
    if (::getsockopt(iSocket, SOL_SOCKET, SO_PROTOCOL, &protocol, &length) != 0 ||
        protocol != IPPROTO_UDP)
    {
        return 0;
    }
#endif
    // An unbound socket reports its family with the any-address.
    sockaddr_storage address;
    length = sizeof(address);
    std::memset(&address, 0, sizeof(address));
    if (::getsockname(iSocket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return address.ss_family == AF_INET ? 4 : address.ss_family == AF_INET6 ? 6 : 0;
}

int sSocket_Duplicate(int iSocket)
{
    return ::fcntl(iSocket, F_DUPFD_CLOEXEC, 0);
}

void sSocket_CloseDuplicate(int iSocket)
{
    // Not retried on EINTR: the descriptor is released whatever close reports.
    ::close(iSocket);
}

bool sSocket_Same(int iA, int iB)
{
    struct stat a, b;
    return ::fstat(iA, &a) == 0 && ::fstat(iB, &b) == 0 && S_ISSOCK(a.st_mode) &&
           a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

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
    spSetSource(oSource, length);
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

// =================================================================================================
// Batches

namespace
{

// Datagrams handed to the system in one call, at most.
const size_t kBatch = 64;

} // namespace

#if defined(MORVEK_SOCKET_MMSG)

size_t sSocket_ReceiveBatch(int iSocket, ReceiveSlot* ioSlots, size_t iCount)
{
    size_t filled = 0;
    while (filled < iCount)
    {
        const size_t n = iCount - filled < kBatch ? iCount - filled : kBatch;
        mmsghdr messages[kBatch];
        iovec pieces[kBatch];
        std::memset(messages, 0, n * sizeof(mmsghdr));
        for (size_t x = 0; x < n; ++x)
        {
            ReceiveSlot& slot = ioSlots[filled + x];
            pieces[x].iov_base = slot.fBuffer;
            pieces[x].iov_len = slot.fCapacity;
            messages[x].msg_hdr.msg_name = slot.fSource.fBytes;
            messages[x].msg_hdr.msg_namelen = sizeof(slot.fSource.fBytes);
            messages[x].msg_hdr.msg_iov = &pieces[x];
            messages[x].msg_hdr.msg_iovlen = 1;
        }
        int result;
        do
        {
            result = ::recvmmsg(iSocket, messages, unsigned(n), MSG_DONTWAIT, nullptr);
        } while (result < 0 && errno == EINTR);
        if (result <= 0)
            break;
        for (int x = 0; x < result; ++x)
        {
            ReceiveSlot& slot = ioSlots[filled + size_t(x)];
            slot.fLength = messages[x].msg_len;
            spSetSource(slot.fSource, messages[x].msg_hdr.msg_namelen);
        }
        filled += size_t(result);
        if (size_t(result) < n)
            break; // nothing more was waiting
    }
    return filled;
}

namespace
{

#if defined(MORVEK_SOCKET_SEGMENT)

// Cleared once the system has refused a segmented send for want of support.
std::atomic<bool> sSegmenting(true);

// A segmented send covers at most this many datagrams and bytes (the system's limits are 64
// segments at least, and one IP packet's worth of payload).
const size_t kMaxSegments = 64;
const size_t kMaxSegmentedBytes = 65000;

bool spSameAddress(const SendItem& iA, const SendItem& iB)
{
    return iA.fAddressLength == iB.fAddressLength &&
           (iA.fAddress == iB.fAddress ||
            std::memcmp(iA.fAddress, iB.fAddress, size_t(iA.fAddressLength)) == 0);
}

// How many datagrams from iItems[0] on one segmented send can carry: a run to one address, all
// of the first one's size except perhaps a shorter last one.
size_t spRunLength(const SendItem* iItems, size_t iCount)
{
    const size_t size = iItems[0].fLength;
    if (size == 0 || !sSegmenting.load(std::memory_order_relaxed))
        return 1;
    size_t count = 1, bytes = size;
    while (count < iCount && count < kMaxSegments)
    {
        const SendItem& next = iItems[count];
        if (next.fLength == 0 || next.fLength > size || bytes + next.fLength > kMaxSegmentedBytes ||
            !spSameAddress(iItems[0], next))
        {
            break;
        }
        bytes += next.fLength;
        ++count;
        if (next.fLength < size)
            break; // only the last segment may be shorter
    }
    return count;
}

#else

size_t spRunLength(const SendItem*, size_t)
{
    return 1;
}

#endif

// One message per run of datagrams (see spRunLength).
struct Message
{
    size_t fFirst; // index of its first datagram
    size_t fCount; // datagrams in it
};

// Sends iCount (at most kBatch) datagrams with as few calls as the system allows.
size_t spSendChunk(int iSocket, const SendItem* iItems, size_t iCount)
{
    Message messages[kBatch];
    mmsghdr headers[kBatch];
    iovec pieces[kBatch];
#if defined(MORVEK_SOCKET_SEGMENT)
    alignas(cmsghdr) unsigned char controls[kBatch][CMSG_SPACE(sizeof(uint16_t))];
#endif
    std::memset(headers, 0, sizeof(headers));
    size_t count = 0;
    for (size_t x = 0; x < iCount; x += messages[count++].fCount)
    {
        messages[count].fFirst = x;
        messages[count].fCount = spRunLength(iItems + x, iCount - x);
        msghdr& header = headers[count].msg_hdr;
        header.msg_name = const_cast<sockaddr*>(iItems[x].fAddress);
        header.msg_namelen = socklen_t(iItems[x].fAddressLength);
        header.msg_iov = &pieces[x];
        header.msg_iovlen = messages[count].fCount;
        for (size_t y = x; y < x + messages[count].fCount; ++y)
        {
            pieces[y].iov_base = const_cast<void*>(iItems[y].fData);
            pieces[y].iov_len = iItems[y].fLength;
        }
#if defined(MORVEK_SOCKET_SEGMENT)
        if (messages[count].fCount > 1)
        {
            header.msg_control = controls[count];
            header.msg_controllen = sizeof(controls[count]);
            cmsghdr* control = CMSG_FIRSTHDR(&header);
            control->cmsg_level = IPPROTO_UDP;
            control->cmsg_type = UDP_SEGMENT;
            control->cmsg_len = CMSG_LEN(sizeof(uint16_t));
            const uint16_t segment = uint16_t(iItems[x].fLength);
            std::memcpy(CMSG_DATA(control), &segment, sizeof(segment));
        }
#endif
    }

    size_t accepted = 0;
    for (size_t m = 0; m < count;)
    {
        const int result = ::sendmmsg(iSocket, headers + m, unsigned(count - m), MSG_NOSIGNAL);
        if (result > 0)
        {
            for (size_t end = m + size_t(result); m < end; ++m)
                accepted += messages[m].fCount;
            continue;
        }
        if (result < 0 && errno == EINTR)
            continue;
        // Message m was refused. A single datagram is lost; a segmented one goes again singly.
        const Message& refused = messages[m];
        if (refused.fCount > 1)
        {
#if defined(MORVEK_SOCKET_SEGMENT)
            if (errno == EINVAL || errno == EIO || errno == ENOPROTOOPT || errno == EOPNOTSUPP)
                sSegmenting.store(false, std::memory_order_relaxed);
#endif
            accepted += sSocket_SendSingly(iSocket, iItems + refused.fFirst, refused.fCount);
        }
        ++m;
    }
    return accepted;
}

} // namespace

size_t sSocket_SendBatch(int iSocket, const SendItem* iItems, size_t iCount)
{
    size_t accepted = 0;
    for (size_t x = 0; x < iCount; x += kBatch)
    {
        // Checked here: a negative length would become a huge unsigned one in the header.
        const size_t n = iCount - x < kBatch ? iCount - x : kBatch;
        bool valid = true;
        for (size_t y = x; y < x + n; ++y)
            valid = valid && iItems[y].fAddressLength >= 0;
        accepted +=
            valid ? spSendChunk(iSocket, iItems + x, n) : sSocket_SendSingly(iSocket, iItems + x, n);
    }
    return accepted;
}

#else // no recvmmsg and sendmmsg: loops over the single calls

size_t sSocket_ReceiveBatch(int iSocket, ReceiveSlot* ioSlots, size_t iCount)
{
    return sSocket_ReceiveSingly(iSocket, ioSlots, iCount);
}

size_t sSocket_SendBatch(int iSocket, const SendItem* iItems, size_t iCount)
{
    return sSocket_SendSingly(iSocket, iItems, iCount);
}

#endif

} // namespace Platform
} // namespace Morvek
