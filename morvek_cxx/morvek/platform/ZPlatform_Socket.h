// Platform layer, datagram-socket facility: the few calls a runner needs on UDP sockets that the
// application made and owns. Nothing here creates, binds, connects, closes or changes the mode of
// a socket. Implemented in ZPlatform_Socket_<platform>.cpp, which the build picks.
//
// A socket is named by the descriptor the application's runtime hands out (a file descriptor on
// POSIX, a SOCKET value on Windows). Socket addresses are the system's own sockaddr layouts,
// passed as a pointer and a length. Every call may be made from any thread; none keeps state
// between calls except a per-thread scratch array inside sSocket_WaitReadable.

#ifndef __Morvek_platform_ZPlatform_Socket_h__
#define __Morvek_platform_ZPlatform_Socket_h__ 1

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

} // namespace Platform
} // namespace Morvek

#endif // __Morvek_platform_ZPlatform_Socket_h__
