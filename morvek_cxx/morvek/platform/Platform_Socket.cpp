// Platform layer, datagram-socket facility, the part common to every system: the batch calls as
// loops over the single calls of Platform_Socket_<platform>.cpp.

#include "morvek/platform/Platform_Socket.h"

namespace Morvek
{
namespace Platform
{

size_t sSocket_ReceiveSingly(int iSocket, ReceiveSlot* ioSlots, size_t iCount)
{
    size_t filled = 0;
    for (; filled < iCount; ++filled)
    {
        ReceiveSlot& slot = ioSlots[filled];
        const ptrdiff_t length =
            sSocket_ReceiveFrom(iSocket, slot.fBuffer, slot.fCapacity, slot.fSource);
        if (length < 0)
            break;
        slot.fLength = size_t(length);
    }
    return filled;
}

size_t sSocket_SendSingly(int iSocket, const SendItem* iItems, size_t iCount)
{
    size_t accepted = 0;
    for (size_t x = 0; x < iCount; ++x)
    {
        if (sSocket_SendTo(iSocket, iItems[x].fData, iItems[x].fLength, iItems[x].fAddress,
                           iItems[x].fAddressLength))
        {
            ++accepted;
        }
    }
    return accepted;
}

} // namespace Platform
} // namespace Morvek
