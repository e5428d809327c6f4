// SeqRing's storage: creation, growth that keeps every live item at its sequence number, release.
// See utp_seq_ring.h.
//
// Threads: one at a time (the caller serialises every engine call).

#include "utp/engine/utp_seq_ring.h"
#include "utp/engine/utp_memory.h"

#include <cstdlib>

namespace quillane
{
namespace UTP
{
namespace Engine
{

void sSeqRingInit(void**& oSlots, uint32_t& oMask)
{
    oSlots = static_cast<void**>(sAllocateZeroed(16, sizeof(void*)));
    oMask = 15;
}

void sSeqRingGrow(void**& ioSlots, uint32_t& ioMask, uint32_t iItem, uint32_t iIndex)
{
    const uint32_t oldCapacity = ioMask + 1;
    uint32_t capacity = oldCapacity * 2;
    while (capacity <= iIndex)
        capacity *= 2;
    void** slots = static_cast<void**>(sAllocateZeroed(capacity, sizeof(void*)));
    const uint32_t start = iItem - iIndex;
    for (uint32_t i = 0; i < oldCapacity; ++i)
        slots[(start + i) & (capacity - 1)] = ioSlots[(start + i) & ioMask];
    std::free(ioSlots);
    ioSlots = slots;
    ioMask = capacity - 1;
}

void sSeqRingFree(void**& ioSlots, uint32_t& ioMask)
{
    std::free(ioSlots);
    ioSlots = nullptr;
    ioMask = 0;
}

} // namespace Engine
} // namespace UTP
} // namespace quillane
