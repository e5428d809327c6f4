// Memory for the engine's records, buffers and tables, and the one growth rule of its arrays.
//
// An allocation that fails ends the process (std::abort): a half-built connection or a lost packet
// would corrupt a stream silently, and the engine has no path on which to report it (utp.h: nothing
// returns an error code).
//
// Threads: stateless.

#ifndef QUILLANE_UTP_ENGINE_UTP_MEMORY_H
#define QUILLANE_UTP_ENGINE_UTP_MEMORY_H

#include <cstddef>
#include <cstdint>

namespace quillane
{
namespace UTP
{
namespace Engine
{

// std::malloc, std::calloc and std::realloc that never return null.
void* sAllocate(size_t iSize);
void* sAllocateZeroed(size_t iCount, size_t iSize);
void* sReallocate(void* iBlock, size_t iSize);

// Makes room for iNeeded items in ioArray, which holds ioCapacity: the capacity doubles, to at
// least 16, until they fit; the items already there are kept. Nothing happens when they fit.
template <class T> void sReserve(T*& ioArray, uint32_t& ioCapacity, uint32_t iNeeded)
{
    if (iNeeded <= ioCapacity)
        return;
    uint32_t capacity = ioCapacity * 2 > 16 ? ioCapacity * 2 : 16;
    while (capacity < iNeeded)
        capacity *= 2;
    ioArray = static_cast<T*>(sReallocate(ioArray, capacity * sizeof(T)));
    ioCapacity = capacity;
}

} // namespace Engine
} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_ENGINE_UTP_MEMORY_H
