// Platform layer, datagram-socket facility, Win32 only: the step of sSocket_ReceiveFrom that
// follows its readiness check, on its own, so that the Windows tests can drive it on a socket
// with nothing waiting (which the check otherwise keeps it from seeing). Not for other callers.

#ifndef QUILLANE_MORVEK_PLATFORM_PLATFORM_SOCKET_WIN_H
#define QUILLANE_MORVEK_PLATFORM_PLATFORM_SOCKET_WIN_H

#include "morvek/platform/Platform_Socket.h"

namespace Morvek
{
namespace Platform
{

// Receives one datagram as sSocket_ReceiveFrom does, without looking first whether one is
// waiting: an overlapped receive, cancelled when it does not complete at once. Returns -1 then
// (and for a failed receive), having received and lost nothing. A socket without the overlapped
// attribute waits here for a datagram instead.
ptrdiff_t sSocket_ReceivePosted(int iSocket, void* oBuffer, size_t iCapacity,
                                SocketAddress& oSource);

} // namespace Platform
} // namespace Morvek

#endif // QUILLANE_MORVEK_PLATFORM_PLATFORM_SOCKET_WIN_H
