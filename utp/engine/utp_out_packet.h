// OutPacket: one packet of the send buffer with its wire bytes, and the process-wide cache of
// freed packet blocks.
//
// Invariants: every block has room for the largest datagram the engine builds, so an unsent packet
// grows in place as more bytes are queued; a freed block goes to the cache (at most
// kPacketCacheMax blocks) and is handed out again before anything is allocated.
//
// Threads: one at a time (the caller serialises every engine call).

#ifndef QUILLANE_UTP_ENGINE_UTP_OUT_PACKET_H
#define QUILLANE_UTP_ENGINE_UTP_OUT_PACKET_H

#include "utp/engine/utp_packet.h"

#include <cstddef>
#include <cstdint>

namespace quillane
{
namespace UTP
{
namespace Engine
{

// Bytes of one block's wire buffer: the largest datagram the engine builds (a SYN is smaller).
const size_t kPacketCapacity = kMaxDatagramIPv4;
// Freed blocks kept for reuse; more are given back to the allocator.
const uint32_t kPacketCacheMax = 1024;

struct OutPacket
{
    uint32_t fLength;             // bytes on the wire: header and payload
    uint32_t fPayload;            // payload bytes
    uint64_t fTimeSent;           // µs of the engine's clock at the last transmission
    uint32_t fTransmissions : 31; // times sent; 0 = queued, never sent
    uint32_t fNeedResend : 1; // a time-out declared it lost: its bytes no longer count in flight
    uint8_t fData[kPacketCapacity]; // the datagram, fLength bytes of it used
};

// An empty, never-sent packet: from the cache, else newly allocated.
OutPacket* sNewOutPacket();
// Gives a packet back (to the cache while it has room); null is ignored.
void sFreeOutPacket(OutPacket* iPacket);
// Frees every cached block.
void sFreePacketCache();

} // namespace Engine
} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_ENGINE_UTP_OUT_PACKET_H
