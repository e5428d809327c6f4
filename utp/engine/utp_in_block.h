// InBlock: one out-of-order payload waiting in the reorder buffer until the packets before it
// arrive.
//
// Invariant: a block holds exactly the payload it was made with (fLength bytes, possibly none,
// as a FIN's); it is allocated with its bytes and freed whole.
//
// Threads: stateless.

#ifndef QUILLANE_UTP_ENGINE_UTP_IN_BLOCK_H
#define QUILLANE_UTP_ENGINE_UTP_IN_BLOCK_H

#include <cstddef>
#include <cstdint>

namespace quillane
{
namespace UTP
{
namespace Engine
{

struct InBlock
{
    uint32_t fLength;  // payload bytes
    uint8_t fBytes[1]; // fLength bytes, allocated past the end
};

// A block holding a copy of iLength bytes.
InBlock* sNewInBlock(const uint8_t* iBytes, size_t iLength);
// Null is ignored.
void sFreeInBlock(InBlock* iBlock);

} // namespace Engine
} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_ENGINE_UTP_IN_BLOCK_H
