// Platform layer, datagram-socket facility: the few calls a runner needs on UDP sockets that the
// application made and owns. Nothing here creates, binds, connects, closes or changes the mode of
// a socket. Implemented in Platform_Socket_<platform>.cpp, which the build picks.
//
// A socket is named by the descriptor the application's runtime hands out (a file descriptor on
// POSIX, a SOCKET value on Windows). Socket addresses are the system's own sockaddr layouts,
// passed as a pointer and a length. Every call may be made from any thread; none keeps state
// between calls except a per-thread scratch array inside sSocket_WaitReadable (and, on POSIX, a
// process-wide note that the system refused segmented sends; see the _posix file).

#ifndef QUILLANE_MORVEK_PLATFORM_PLATFORM_SOCKET_H
#define QUILLANE_MORVEK_PLATFORM_PLATFORM_SOCKET_H

#include <cstddef>
#include <cstdint>

struct sockaddr;

namespace Morvek
{
namespace Platform
{

// Storage for any socket address the system can report, IPv6 included.
const size_t kSocketAddressCapacity = 128;

struct SocketAddress
{
    alignas(8) unsigned char fBytes[kSocketAddressCapacity];
    int fLength; // bytes of fBytes that hold the address
};

// The IP version of an open UDP socket: 4 or 6; 0 for anything else (a TCP socket, a pipe, a
// file, a closed descriptor).
int sSocket_UDPVersion(int iSocket);

// A second descriptor of the same socket, owned by the caller: it keeps the socket open after
// the application closed its own descriptor, so a number the application's runtime hands out
// again never reaches the holder. Not inherited by programs the process starts. -1 when none can
// be made.
int sSocket_Duplicate(int iSocket);

// Closes a descriptor that sSocket_Duplicate made.
void sSocket_CloseDuplicate(int iSocket);

// True when both descriptors are open and name the same socket. On POSIX systems this is exact;
// on Windows the two must report the same local address (while a duplicate holds a socket, no
// other socket can be bound to its address, short of the address-sharing options).
bool sSocket_Same(int iA, int iB);

// Raises the socket's receive buffer, then its send buffer, to what a request for iBytes gives,
// when it is smaller; a buffer that is already at least that large (the application enlarged it)
// is left alone. False only when iSocket is not an open socket (its sizes cannot be read).
bool sSocket_RaiseBuffers(int iSocket, int iBytes);

// What sSocket_WaitReadable reports for each socket.
enum
{
    eSocket_NotReady = 0,
    eSocket_Readable = 1, // a datagram (or a pending error, which a receive clears) is waiting
    eSocket_Invalid = 2   // not an open descriptor; waiting on it again answers at once
};

// Waits at most iMilliseconds until at least one of iCount sockets is readable (any number of
// sockets, any descriptor values) and stores one of the values above for each in oReady. Returns
// the number of sockets whose value is not eSocket_NotReady: 0 after the time ran out, -1 when
// the wait failed (oReady all eSocket_NotReady then).
int sSocket_WaitReadable(const int* iSockets, uint8_t* oReady, size_t iCount,
                         uint32_t iMilliseconds);

// Receives one datagram without blocking, whatever the socket's mode, into oBuffer (at most
// iCapacity bytes) and its source address into oSource. Returns the number of bytes filled (0
// for an empty datagram), or -1 when no datagram was waiting or the receive failed.
ptrdiff_t sSocket_ReceiveFrom(int iSocket, void* oBuffer, size_t iCapacity, SocketAddress& oSource);

// Sends one datagram to the address (iAddressLength bytes). False when the system refused it;
// the datagram is then lost. May block while the socket's send buffer is full, as the socket's
// own mode decides.
bool sSocket_SendTo(int iSocket, const void* iData, size_t iLength, const sockaddr* iAddress,
                    int iAddressLength);

// The batch forms of the two calls above: the same effect as a loop over the single call (which
// is a valid implementation), with fewer system calls where the system allows.

// One slot of a batch receive: the caller sets fBuffer and fCapacity; a receive fills fLength
// and fSource.
struct ReceiveSlot
{
    void* fBuffer;
    size_t fCapacity;
    size_t fLength;
    SocketAddress fSource;
};

// Receives up to iCount datagrams without blocking, in arrival order, each as
// sSocket_ReceiveFrom receives one, into ioSlots[0], ioSlots[1], ... Stops at the first receive
// that finds no datagram or fails. Returns the number of slots filled.
size_t sSocket_ReceiveBatch(int iSocket, ReceiveSlot* ioSlots, size_t iCount);

// One datagram of a batch send.
struct SendItem
{
    const void* fData;
    size_t fLength;
    const sockaddr* fAddress;
    int fAddressLength;
};

// Sends iCount datagrams in order, each as sSocket_SendTo sends one: a datagram the system
// refuses is lost and the rest are still sent; the call may block as sSocket_SendTo may.
// Returns the number of datagrams the system accepted.
size_t sSocket_SendBatch(int iSocket, const SendItem* iItems, size_t iCount);

// The batch calls as loops over the single calls (Platform_Socket.cpp): the batch calls of a
// system without batch system calls, and the fallback of one that refuses them.
size_t sSocket_ReceiveSingly(int iSocket, ReceiveSlot* ioSlots, size_t iCount);
size_t sSocket_SendSingly(int iSocket, const SendItem* iItems, size_t iCount);

} // namespace Platform
} // namespace Morvek

#endif // QUILLANE_MORVEK_PLATFORM_PLATFORM_SOCKET_H
