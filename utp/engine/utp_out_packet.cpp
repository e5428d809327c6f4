// Packet blocks and their cache. See utp_out_packet.h.
//
// Threads: one at a time (the caller serialises every engine call).

#include "utp/engine/utp_out_packet.h"
#include "utp/engine/utp_memory.h"

#include <cstdlib>

namespace quillane
{
namespace UTP
{
namespace Engine
{

namespace
{

struct PacketCache
{
    OutPacket* fBlocks[kPacketCacheMax];
    uint32_t fCount = 0; // blocks in fBlocks
};

PacketCache sCache;

} // namespace

OutPacket* sNewOutPacket()
{
    OutPacket* p = sCache.fCount ? sCache.fBlocks[--sCache.fCount]
                                 : static_cast<OutPacket*>(sAllocate(sizeof(OutPacket)));
    p->fLength = 0;
    p->fPayload = 0;
    p->fTimeSent = 0;
    p->fTransmissions = 0;
    p->fNeedResend = 0;
    return p;
}

void sFreeOutPacket(OutPacket* iPacket)
{
    if (!iPacket)
        return;
    if (sCache.fCount < kPacketCacheMax)
        sCache.fBlocks[sCache.fCount++] = iPacket;
    else
        std::free(iPacket);
}

void sFreePacketCache()
{
    while (sCache.fCount)
        std::free(sCache.fBlocks[--sCache.fCount]);
}

} // namespace Engine
} // namespace UTP
} // namespace quillane
