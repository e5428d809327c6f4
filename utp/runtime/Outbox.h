// Datagrams built while the stream layer's lock is held, masked and waiting to be handed to the
// system together: one batch call per run of datagrams for one socket, instead of one call per
// datagram. The owner sends them (Send) before it gives the lock up or waits, so no datagram is
// held back across a wait; a full outbox is sent before another datagram is added. Order is kept.
//
// Invariants: fCount <= kDatagrams; datagram x occupies the first fItems[x].fLength bytes of slot
// x (kSlotBytes bytes from fBytes + x * kSlotBytes), its address fAddresses[x], its socket
// fSockets[x].
//
// Threads: none of its own; the owner locks.

#ifndef QUILLANE_UTP_RUNTIME_OUTBOX_H
#define QUILLANE_UTP_RUNTIME_OUTBOX_H

#include "morvek/platform/Platform_Socket.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace quillane
{
namespace UTP
{

class Outbox
{
  public:
    static const size_t kDatagrams = 64;
    // Larger than any datagram the engine builds.
    static const size_t kSlotBytes = 2048;

    Outbox();

    size_t Count() const { return fCount; }
    bool Empty() const { return fCount == 0; }
    bool Full() const { return fCount == kDatagrams; }

    // The slot for a datagram of iLength bytes to iAddress over iSocket, for the caller to fill.
    // Null when the datagram does not fit a slot or the address does not fit its storage (or
    // its length is negative): such a datagram is for the caller to send itself. Must not be
    // called while Full.
    uint8_t* Add(int iSocket, size_t iLength, const struct sockaddr* iAddress, int iAddressLength);

    // Hands every datagram to the system in order and empties the outbox. Returns how many the
    // system refused (each of them is lost).
    size_t Send();

  private:
    std::unique_ptr<uint8_t[]> fBytes; // kDatagrams slots of kSlotBytes
    int fSockets[kDatagrams];
    Morvek::Platform::SocketAddress fAddresses[kDatagrams];
    Morvek::Platform::SendItem fItems[kDatagrams];
    size_t fCount;
};

} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_RUNTIME_OUTBOX_H
