// Atomic operations on a signed 32-bit word and on pointer-sized words: the ground on which the
// reference counts, the broadcast condition, the benaphore and the thread-local key rest.
//
// Every operation is sequentially consistent, i.e. a full barrier: a count change made by one
// thread is ordered with everything that thread did before it. Any thread may call any of them
// at any time; nothing here blocks or allocates.

#ifndef QUILLANE_MORVEK_ZATOMIC_H
#define QUILLANE_MORVEK_ZATOMIC_H

#include <atomic>
#include <cstdint>

namespace Morvek
{

typedef std::atomic<int32_t> ZAtomic_t;

// Plain (but ordered) read of the value.
inline int32_t sAtomic_Get(const ZAtomic_t* iAtomic)
{
    return iAtomic->load(std::memory_order_seq_cst);
}

// Plain (but ordered) store; used only where no other thread can be changing the word.
inline void sAtomic_Set(ZAtomic_t* iAtomic, int32_t iValue)
{
    iAtomic->store(iValue, std::memory_order_seq_cst);
}

// Adds iAmount; returns the value before the addition.
inline int32_t sAtomic_Add(ZAtomic_t* iAtomic, int32_t iAmount)
{
    return iAtomic->fetch_add(iAmount, std::memory_order_seq_cst);
}

inline void sAtomic_Increment(ZAtomic_t* iAtomic)
{
    iAtomic->fetch_add(1, std::memory_order_seq_cst);
}

// Subtracts 1; true when the result is 0.
inline bool sAtomic_DecrementAndTest(ZAtomic_t* iAtomic)
{
    return iAtomic->fetch_sub(1, std::memory_order_seq_cst) == 1;
}

// Stores iNew when the word holds iOld; true when it stored.
inline bool sAtomic_CompareAndSwap(ZAtomic_t* iAtomic, int32_t iOld, int32_t iNew)
{
    return iAtomic->compare_exchange_strong(iOld, iNew, std::memory_order_seq_cst);
}

// The same on a pointer-sized word.
template <class P> inline bool sAtomic_CompareAndSwapPtr(std::atomic<P*>* iAtomic, P* iOld, P* iNew)
{
    return iAtomic->compare_exchange_strong(iOld, iNew, std::memory_order_seq_cst);
}

} // namespace Morvek

#endif // QUILLANE_MORVEK_ZATOMIC_H
