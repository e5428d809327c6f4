// The slots and the batched send behind Outbox.

#include "utp/runtime/Outbox.h"

#include <cstring>

namespace quillane
{
namespace UTP
{

namespace Platform = Morvek::Platform;

Outbox::Outbox() : fBytes(new uint8_t[kDatagrams * kSlotBytes]), fCount(0) {}

uint8_t* Outbox::Add(int iSocket, size_t iLength, const sockaddr* iAddress, int iAddressLength)
{
    if (iLength > kSlotBytes || iAddressLength < 0 ||
        size_t(iAddressLength) > Platform::kSocketAddressCapacity)
    {
        return nullptr;
    }
    const size_t x = fCount++;
    uint8_t* const slot = fBytes.get() + x * kSlotBytes;
    Platform::SocketAddress& address = fAddresses[x];
    std::memcpy(address.fBytes, iAddress, size_t(iAddressLength));
    address.fLength = iAddressLength;
    fSockets[x] = iSocket;
    fItems[x].fData = slot;
    fItems[x].fLength = iLength;
    fItems[x].fAddress = reinterpret_cast<const sockaddr*>(address.fBytes);
    fItems[x].fAddressLength = iAddressLength;
    return slot;
}

size_t Outbox::Send()
{
    size_t refused = 0;
    for (size_t first = 0; first < fCount;)
    {
        size_t end = first + 1;
        while (end < fCount && fSockets[end] == fSockets[first])
            ++end;
        const size_t count = end - first;
        refused += count - Platform::sSocket_SendBatch(fSockets[first], fItems + first, count);
        first = end;
    }
    fCount = 0;
    return refused;
}

} // namespace UTP
} // namespace quillane
