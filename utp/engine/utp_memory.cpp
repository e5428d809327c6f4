// Allocation that ends the process when memory runs out. See utp_memory.h.
//
// Threads: stateless.

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

void* spOrAbort(void* iBlock)
{
    if (!iBlock)
        std::abort();
    return iBlock;
}

} // namespace

void* sAllocate(size_t iSize)
{
    return spOrAbort(std::malloc(iSize));
}

void* sAllocateZeroed(size_t iCount, size_t iSize)
{
    return spOrAbort(std::calloc(iCount, iSize));
}

void* sReallocate(void* iBlock, size_t iSize)
{
    return spOrAbort(std::realloc(iBlock, iSize));
}

} // namespace Engine
} // namespace UTP
} // namespace quillane
