// The socket facility's batch calls and the Outbox over loopback: a batch delivers exactly what a
// loop of single sends would (bytes, boundaries, order, addresses), whatever runs of sizes and
// addresses segmented sends group, and a refused datagram costs only itself.

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

// A datagram of iSize bytes that no other datagram of a test shares.
Bytes sDatagram(size_t iSize, int iSerial)
{
    Bytes result(iSize);
    for (size_t x = 0; x < iSize; ++x)
        result[x] = uint8_t(iSerial * 7 + x * 13 + (x >> 8));
    return result;
}

// Everything waiting on iSocket (until none arrives for half a second), received in batches of
// iBatch and sorted by source: element i holds, in arrival order, what came from iSources[i].
std::vector<Datagrams> sReceive(const TestUdp& iSocket, std::vector<const TestUdp*> iSources,
                                size_t iBatch)
{
    std::vector<Datagrams> result(iSources.size());
    std::vector<Bytes> buffers(iBatch, Bytes(65536));
    std::vector<ReceiveSlot> slots(iBatch);
    while (iSocket.WaitReadable(500))
    {
        for (size_t x = 0; x < iBatch; ++x)
            slots[x] = ReceiveSlot{buffers[x].data(), buffers[x].size(), 0, SocketAddress()};
        const size_t got = sSocket_ReceiveBatch(iSocket.fFD, slots.data(), iBatch);
        EXPECT_LT(0u, got);
        for (size_t x = 0; x < got; ++x)
        {
            size_t s = 0;
            while (s < iSources.size() &&
                   (slots[x].fSource.fLength != iSources[s]->AddrLen() ||
                    std::memcmp(slots[x].fSource.fBytes, iSources[s]->Addr(),
                                size_t(iSources[s]->AddrLen())) != 0))
                ++s;
            if (s == iSources.size())
                ADD_FAILURE() << "a datagram from an unknown source";
            else
                result[s].push_back(Bytes(buffers[x].begin(), buffers[x].begin() + slots[x].fLength));
        }
    }
    return result;
}

} // namespace

TEST(SocketBatch, DeliversWhatSingleSendsWouldWhateverTheRunsOfSizesAndAddresses)
{
    for (quillane::test::Family family : {quillane::test::eIPv4, quillane::test::eIPv6})
    {
        TestUdp from(family), a(family), b(family);
        if (from.fFD < 0)
            continue; // no loopback of this family here
        const TestUdp* to[] = {&a, &b};
        // Runs longer than one system call or one segmented send takes, a shorter last segment,
        // a longer datagram after a run, empty datagrams, alternating addresses.
        std::vector<std::pair<size_t, int>> plan(70, {1402, 0}); // size, receiver
        for (size_t size : {700, 1402, 1500, 0, 0})
            plan.push_back({size, 0});
        for (int x = 0; x < 5; ++x)
            plan.push_back({20, x % 2});
        plan.insert(plan.end(), 70, {1000, 1});

        Datagrams datagrams, expected[2];
        for (size_t x = 0; x < plan.size(); ++x)
        {
            datagrams.push_back(sDatagram(plan[x].first, int(x)));
            expected[plan[x].second].push_back(datagrams.back());
        }
        std::vector<SendItem> items;
        for (size_t x = 0; x < plan.size(); ++x)
        {
            const TestUdp& target = *to[plan[x].second];
            items.push_back(
                {datagrams[x].data(), datagrams[x].size(), target.Addr(), target.AddrLen()});
        }
        EXPECT_EQ(items.size(), sSocket_SendBatch(from.fFD, items.data(), items.size()));
        // Batches that do and do not divide what is waiting, and one larger than a system call.
        EXPECT_TRUE(expected[0] == sReceive(a, {&from}, 100)[0]) << family;
        EXPECT_TRUE(expected[1] == sReceive(b, {&from}, 7)[0]) << family;
    }
}

TEST(SocketBatch, ARefusedDatagramIsLostAndTheRestStillGo)
{
    TestUdp from, to, v6(quillane::test::eIPv6);
    const Bytes good = sDatagram(1402, 1), largest = sDatagram(65507, 2), huge(70000, 0x5A);
    const SendItem kGood{good.data(), good.size(), to.Addr(), to.AddrLen()};
    // Too large for any datagram; an address of another family; the largest payload IPv4
    // allows, right after a run of smaller ones.
    std::vector<SendItem> items(6, kGood);
    items[1].fData = huge.data();
    items[1].fLength = huge.size();
    if (v6.fFD >= 0)
        items[3] = SendItem{good.data(), good.size(), v6.Addr(), v6.AddrLen()};
    items.push_back(SendItem{largest.data(), largest.size(), to.Addr(), to.AddrLen()});
    const size_t refused = v6.fFD >= 0 ? 2 : 1;
    EXPECT_EQ(items.size() - refused, sSocket_SendBatch(from.fFD, items.data(), items.size()));
    // A negative address length (checked before the system sees it); a socket that is none.
    SendItem negative[] = {kGood, kGood};
    negative[0].fAddressLength = -1;
    EXPECT_EQ(1u, sSocket_SendBatch(from.fFD, negative, 2));
    EXPECT_EQ(0u, sSocket_SendBatch(-1, negative + 1, 1));

    Datagrams expected(items.size() - refused - 1, good);
    expected.push_back(largest);
    expected.push_back(good);
    EXPECT_TRUE(expected == sReceive(to, {&from}, 8)[0]);
}

TEST(SocketBatch, ARunTheSystemWillNotSegmentGoesSingly)
{
    // A socket that sends without UDP checksums cannot send segmented.
    TestUdp unchecked, to;
    if (!unchecked.SendWithoutChecksums())
        GTEST_SKIP() << "no socket here refuses segmented sends";
    const Bytes good = sDatagram(1402, 1);
    const std::vector<SendItem> run(10,
                                    SendItem{good.data(), good.size(), to.Addr(), to.AddrLen()});
    EXPECT_EQ(run.size(), sSocket_SendBatch(unchecked.fFD, run.data(), run.size()));
    EXPECT_TRUE(Datagrams(run.size(), good) == sReceive(to, {&unchecked}, 8)[0]);
}

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
    const std::vector<Datagrams> got = sReceive(to, {&first, &second}, 16);
    EXPECT_TRUE(expected[0] == got[0] && expected[1] == got[1]);

    EXPECT_FALSE(outbox.Add(first.fFD, Outbox::kSlotBytes + 1, to.Addr(), to.AddrLen()));
    EXPECT_FALSE(outbox.Add(first.fFD, 10, to.Addr(), -1));
    EXPECT_FALSE(outbox.Add(first.fFD, 10, to.Addr(), int(kSocketAddressCapacity) + 1));
    EXPECT_TRUE(outbox.Empty());
}
