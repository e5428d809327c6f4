// Reorder-buffer blocks. See utp_in_block.h.
//
// Threads: stateless.

#include "utp/engine/utp_in_block.h"
#include "utp/engine/utp_memory.h"

#include <cstdlib>
#include <cstring>

namespace quillane
{
namespace UTP
{
namespace Engine
{

InBlock* sNewInBlock(const uint8_t* iBytes, size_t iLength)
{
    InBlock* b = static_cast<InBlock*>(sAllocate(offsetof(InBlock, fBytes) + iLength + 1));
    b->fLength = uint32_t(iLength);
    if (iLength)
        std::memcpy(b->fBytes, iBytes, iLength);
    return b;
}

void sFreeInBlock(InBlock* iBlock)
{
    std::free(iBlock);
}

} // namespace Engine
} // namespace UTP
} // namespace quillane
