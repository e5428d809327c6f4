// SeqRing: the send buffer's and the reorder buffer's storage, a ring of pointers indexed by 16-bit
// sequence number.
//
// Invariants: the capacity (fMask + 1) is a power of two, at least 16 and at most 65536, so
// sequence number n lives in slot n & fMask and the ring follows the 16-bit wrap; an empty slot
// holds null. The ring owns only its slot array: what the slots point to belongs to the caller.
//
// Threads: one at a time (the caller serialises every engine call).

#ifndef QUILLANE_UTP_ENGINE_UTP_SEQ_RING_H
#define QUILLANE_UTP_ENGINE_UTP_SEQ_RING_H

#include <cstdint>

namespace quillane
{
namespace UTP
{
namespace Engine
{

// The untyped operations behind SeqRing<T>.
void sSeqRingInit(void**& oSlots, uint32_t& oMask);
void sSeqRingGrow(void**& ioSlots, uint32_t& ioMask, uint32_t iItem, uint32_t iIndex);
void sSeqRingFree(void**& ioSlots, uint32_t& ioMask);

template <class T> struct SeqRing
{
    void** fSlots;  // fMask + 1 slots
    uint32_t fMask; // capacity - 1

    // 16 empty slots.
    void Init() { sSeqRingInit(fSlots, fMask); }
    void Free() { sSeqRingFree(fSlots, fMask); }
    uint32_t Capacity() const { return fMask + 1; }

    T* Get(uint32_t iSeq) const { return static_cast<T*>(fSlots[iSeq & fMask]); }
    // The item in slot i (0 <= i < Capacity()), whatever its sequence number.
    T* Slot(uint32_t i) const { return static_cast<T*>(fSlots[i]); }
    void Put(uint32_t iSeq, T* iItem) { fSlots[iSeq & fMask] = iItem; }

    // Grows so that an item at distance iIndex from the start of the live range fits; the live
    // range starts at iItem - iIndex and keeps its items at their sequence numbers.
    void Grow(uint32_t iItem, uint32_t iIndex) { sSeqRingGrow(fSlots, fMask, iItem, iIndex); }
};

} // namespace Engine
} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_ENGINE_UTP_SEQ_RING_H
