// The ring behind ByteQueue.

#include "utp/runtime/ByteQueue.h"

#include <cstring>
#include <new>

namespace quillane
{
namespace UTP
{

ByteQueue::ByteQueue() : fCapacity(0), fFirstCapacity(4096), fHead(0), fSize(0) {}

void ByteQueue::pGrow(size_t iNeeded)
{
    size_t capacity = fCapacity ? fCapacity : fFirstCapacity;
    while (capacity < iNeeded)
    {
        if (capacity > (~size_t(0) >> 1))
            throw std::bad_alloc();
        capacity *= 2;
    }
    std::unique_ptr<uint8_t[]> data(new uint8_t[capacity]);
    // Unwrap the contents to the start of the new ring.
    const size_t first = fSize < fCapacity - fHead ? fSize : fCapacity - fHead;
    if (first)
        std::memcpy(data.get(), fData.get() + fHead, first);
    if (fSize > first)
        std::memcpy(data.get() + first, fData.get(), fSize - first);
    fData = std::move(data);
    fCapacity = capacity;
    fHead = 0;
}

void ByteQueue::Append(const uint8_t* iSource, size_t iCount)
{
    if (iCount == 0)
        return;
    if (iCount > fCapacity - fSize)
    {
        if (iCount > ~size_t(0) - fSize)
            throw std::bad_alloc();
        pGrow(fSize + iCount);
    }
    const size_t tail = (fHead + fSize) & (fCapacity - 1);
    const size_t first = iCount < fCapacity - tail ? iCount : fCapacity - tail;
    std::memcpy(fData.get() + tail, iSource, first);
    if (iCount > first)
        std::memcpy(fData.get(), iSource + first, iCount - first);
    fSize += iCount;
}

size_t ByteQueue::Take(uint8_t* oDest, size_t iCount)
{
    const size_t n = iCount < fSize ? iCount : fSize;
    if (n == 0)
        return 0;
    const size_t first = n < fCapacity - fHead ? n : fCapacity - fHead;
    std::memcpy(oDest, fData.get() + fHead, first);
    if (n > first)
        std::memcpy(oDest + first, fData.get(), n - first);
    fHead = (fHead + n) & (fCapacity - 1);
    fSize -= n;
    if (fSize == 0)
    {
        fHead = 0;
        if (fCapacity > kKeepCapacity)
        {
            fData.reset();
            fCapacity = 0;
            fFirstCapacity = kKeepCapacity;
        }
    }
    return n;
}

} // namespace UTP
} // namespace quillane
