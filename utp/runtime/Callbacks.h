// The engine's callbacks of the stream layer: its send function and accept function, both with
// an Endpoint (the local socket) as user data, and the table of a stream's callbacks, with the
// StreamerRW as user data. Each turns the engine's plain pointer into the object and calls its
// member. The engine calls them with the layer's lock held, on whichever thread called into it.
//
// No callback lets an exception out: one unwinding through the engine would leave its records
// half-updated. Allocation failures there fail the stream (or the new connection).

#ifndef QUILLANE_UTP_RUNTIME_CALLBACKS_H
#define QUILLANE_UTP_RUNTIME_CALLBACKS_H

#include "utp/engine/utp.h"

namespace quillane
{
namespace UTP
{

// Masks the datagram into the outbox of the thread that holds the lock (sent when it settles).
void sSendToProc(void* iEndpoint, const uint8_t* iBytes, size_t iLength,
                 const sockaddr* iAddress, int iAddressLength);

// An incoming connection: a stream is made for it and queued on its socket, or it is reset.
void sGotIncomingConnection(void* iEndpoint, UTPSocket* iUTPSocket);

// The callbacks every stream's engine connection gets.
extern const UTPCallbacks kStreamCallbacks;

} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_RUNTIME_CALLBACKS_H
