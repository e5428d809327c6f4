// A first-in first-out queue of bytes: a ring that grows by doubling and copies with memcpy (at
// most two pieces per operation, however the contents wrap). A stream's received bytes wait
// here until a reader takes them.
//
// Invariants: fSize <= fCapacity; the contents start at fHead and wrap at fCapacity; fCapacity
// is 0 or a power of two. Storage above kKeepCapacity is given back when the queue runs empty,
// so an idle stream does not hold what a burst made it grow to; the next growth then starts at
// kKeepCapacity rather than climbing again from the smallest size, copying at every step.
//
// Threads: none of its own; the owner locks.

#ifndef QUILLANE_UTP_RUNTIME_BYTEQUEUE_H
#define QUILLANE_UTP_RUNTIME_BYTEQUEUE_H

#include <cstddef>
#include <cstdint>
#include <memory>

namespace quillane
{
namespace UTP
{

class ByteQueue
{
  public:
    static const size_t kKeepCapacity = 1024 * 1024;

    ByteQueue();

    size_t Size() const { return fSize; }
    bool Empty() const { return fSize == 0; }

    // Appends iCount bytes at the back. Throws std::bad_alloc (the queue is then unchanged).
    void Append(const uint8_t* iSource, size_t iCount);

    // Moves up to iCount bytes from the front to oDest; returns how many.
    size_t Take(uint8_t* oDest, size_t iCount);

  private:
    void pGrow(size_t iNeeded);

    std::unique_ptr<uint8_t[]> fData;
    size_t fCapacity;
    size_t fFirstCapacity; // what growth from no storage starts at
    size_t fHead;
    size_t fSize;
};

} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_RUNTIME_BYTEQUEUE_H
