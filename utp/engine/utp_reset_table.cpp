// The reset table. See utp_reset_table.h.
//
// Threads: one at a time (the caller serialises every engine call).

#include "utp/engine/utp_reset_table.h"
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

struct ResetTable
{
    ResetRecord* fRecords = nullptr;
    uint32_t fCount = 0;    // records in fRecords
    uint32_t fCapacity = 0; // room in fRecords
};

ResetTable sResets;

// Gives back the room expiry left unused; a failure to shrink keeps the larger array.
void spShrinkToFit()
{
    if (sResets.fCount == sResets.fCapacity)
        return;
    if (sResets.fCount == 0)
        return sResetTableFree();
    ResetRecord* records = static_cast<ResetRecord*>(
        std::realloc(sResets.fRecords, sResets.fCount * sizeof(ResetRecord)));
    if (records)
    {
        sResets.fRecords = records;
        sResets.fCapacity = sResets.fCount;
    }
}

} // namespace

ResetRecord* sResetTableFind(const PeerAddress& iAddr, uint32_t iConnId, uint16_t iAckNr)
{
    for (uint32_t i = 0; i < sResets.fCount; ++i)
    {
        ResetRecord& r = sResets.fRecords[i];
        if (r.fConnId == iConnId && r.fAckNr == iAckNr && r.fAddr == iAddr)
            return &r;
    }
    return nullptr;
}

bool sResetTableAdd(const PeerAddress& iAddr, uint32_t iConnId, uint16_t iAckNr, uint32_t iNow)
{
    if (sResets.fCount > kMaxResets)
        return false;
    sReserve(sResets.fRecords, sResets.fCapacity, sResets.fCount + 1);
    ResetRecord& r = sResets.fRecords[sResets.fCount++];
    r.fAddr = iAddr;
    r.fConnId = iConnId;
    r.fTime = iNow;
    r.fAckNr = iAckNr;
    return true;
}

void sResetTableExpire(uint32_t iNow)
{
    for (uint32_t i = 0; i < sResets.fCount;)
    {
        if (int32_t(iNow - sResets.fRecords[i].fTime) >= int32_t(kResetLifetime))
            sResets.fRecords[i] = sResets.fRecords[--sResets.fCount];
        else
            ++i;
    }
    spShrinkToFit();
}

size_t sResetTableCount()
{
    return sResets.fCount;
}

void sResetTableFree()
{
    std::free(sResets.fRecords);
    sResets = ResetTable();
}

} // namespace Engine
} // namespace UTP
} // namespace quillane
