// The Outbox: the datagrams batched while the stream layer's lock is held go out in order per
// socket, and one that does not fit a slot is left to the caller.

#include "utp/runtime/Outbox.h"

#include "morvek/platform/Platform_Socket.h"
#include "tests/support/TestUdp.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <vector>

using namespace Morvek::Platform;
using quillane::UTP::Outbox;
using quillane::test::TestUdp;

namespace
{

typedef std::vector<uint8_t> Bytes;
typedef std::vector<Bytes> Datagrams;

Bytes sDatagram(size_t iSize, int iSerial)
{
    Bytes result(iSize);
    for (size_t x = 0; x < iSize; ++x)
        result[x] = uint8_t(iSerial * 7 + x);
    return result;
}

// What arrives at iTo (until nothing comes for half a second) from each of iFrom, in order.
std::vector<Datagrams> sReceive(const TestUdp& iTo, std::vector<const TestUdp*> iFrom)
{
    std::vector<Datagrams> result(iFrom.size());
    Bytes buffer(65536);
    while (iTo.WaitReadable(500))
    {
        SocketAddress source;
        const ptrdiff_t length = sSocket_ReceiveFrom(iTo.fFD, buffer.data(), buffer.size(), source);
        for (size_t s = 0; length >= 0 && s < iFrom.size(); ++s)
        {
            if (source.fLength == iFrom[s]->AddrLen() &&
                std::memcmp(source.fBytes, iFrom[s]->Addr(), size_t(source.fLength)) == 0)
                result[s].push_back(Bytes(buffer.begin(), buffer.begin() + length));
        }
    }
    return result;
}

} // namespace

TEST(Outbox, SendsInOrderPerSocketAndLeavesWhatDoesNotFitASlotToTheCaller)
{
    TestUdp first, second, to;
    const TestUdp* from[] = {&first, &second};
    Outbox outbox;
    Datagrams expected[2];
    for (int x = 0; !outbox.Full(); ++x)
    {
        const Bytes datagram = sDatagram(x % 3 ? 1402 : 200, x);
        const int which = (x / 5) % 2; // runs of five from each socket
        uint8_t* slot = outbox.Add(from[which]->fFD, datagram.size(), to.Addr(), to.AddrLen());
        ASSERT_TRUE(slot);
        std::memcpy(slot, datagram.data(), datagram.size());
        expected[which].push_back(datagram);
    }
    EXPECT_EQ(0u, outbox.Send());
    EXPECT_TRUE(outbox.Empty());
    const std::vector<Datagrams> got = sReceive(to, {&first, &second});
    EXPECT_TRUE(expected[0] == got[0] && expected[1] == got[1]);

    EXPECT_FALSE(outbox.Add(first.fFD, Outbox::kSlotBytes + 1, to.Addr(), to.AddrLen()));
    EXPECT_FALSE(outbox.Add(first.fFD, 10, to.Addr(), -1));
    EXPECT_FALSE(outbox.Add(first.fFD, 10, to.Addr(), int(kSocketAddressCapacity) + 1));
    EXPECT_TRUE(outbox.Empty());
}
