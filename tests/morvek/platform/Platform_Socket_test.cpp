// The socket facility's promises, the same on every system (the Windows file differs from the
// POSIX one in every call): buffers raised but never shrunk; a wait beyond select's limits that
// reports exactly the ready sockets and a closed one as invalid; receives that never block and
// leave the socket's mode as set; one datagram at a time (an empty one too) with its whole source
// address; batches that deliver exactly what a loop of single sends would (bytes, boundaries,
// order, addresses), whatever runs of sizes and addresses segmented sends group, and a refused
// datagram that costs only itself.

#include "morvek/platform/Platform_Socket.h"

#include "tests/support/TestUdp.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <vector>

using namespace Morvek;
using namespace Morvek::Platform;
using quillane::test::TestUdp;

namespace
{

const int kRequested = 131072;

// Runs iWork on a thread of its own; still running after iSeconds is a call that blocked for
// good, which ends the process (the thread cannot be brought back).
template <class F> void sWithin(double iSeconds, F iWork)
{
    std::future<void> done = std::async(std::launch::async, iWork);
    if (done.wait_for(std::chrono::duration<double>(iSeconds)) != std::future_status::ready)
    {
        std::fprintf(stderr, "Hung: still running after %.0f s\n", iSeconds);
        std::_Exit(1);
    }
}

std::string sReceive(const TestUdp& iSocket, size_t iCapacity, Platform::SocketAddress& oSource)
{
    std::vector<char> buffer(iCapacity + 1, '#');
    const ptrdiff_t length =
        Platform::sSocket_ReceiveFrom(iSocket.fFD, buffer.data(), iCapacity, oSource);
    EXPECT_EQ('#', buffer[iCapacity]) << "written beyond the capacity";
    return length < 0 ? std::string("(none)") : std::string(buffer.data(), size_t(length));
}

// The datagrams a batch receive into four slots takes.
std::vector<std::string> sReceiveBatch(const TestUdp& iSocket)
{
    char buffers[4][100];
    Platform::ReceiveSlot slots[4];
    for (size_t x = 0; x < 4; ++x)
        slots[x] = Platform::ReceiveSlot{buffers[x], sizeof(buffers[x]), 0, {}};
    const size_t filled = Platform::sSocket_ReceiveBatch(iSocket.fFD, slots, 4);
    std::vector<std::string> result;
    for (size_t x = 0; x < filled && x < 4; ++x)
        result.push_back(std::string(buffers[x], slots[x].fLength));
    return result;
}

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

TEST(Platform_Socket, RaisesSmallBuffersAndKeepsLargerOnes)
{
    TestUdp socket;
    for (const bool receive : {true, false})
    {
        SCOPED_TRACE(receive ? "receive buffer" : "send buffer");
        ASSERT_TRUE(socket.SetBufferSize(receive, 4096));
        ASSERT_TRUE(Platform::sSocket_RaiseBuffers(socket.fFD, kRequested));
        EXPECT_GE(socket.BufferSize(receive), kRequested);

        // Between the request and twice the request: a comparison with a doubled size (what
        // Linux reports) would shrink it on a system that reports sizes as set.
        ASSERT_TRUE(socket.SetBufferSize(receive, kRequested * 3 / 2));
        const int enlarged = socket.BufferSize(receive);
        ASSERT_TRUE(Platform::sSocket_RaiseBuffers(socket.fFD, kRequested));
        EXPECT_EQ(enlarged, socket.BufferSize(receive));
    }
    EXPECT_FALSE(Platform::sSocket_RaiseBuffers(-1, kRequested));
}

TEST(Platform_Socket, AWaitOnMoreThan64SocketsReportsExactlyTheReadyOnes)
{
    // More sockets than select's sets hold on Windows, at descriptors above its 1023 elsewhere.
    const size_t kCount = 100;
    const int kBase = 1100;
    const bool high = TestUdp::sAllowHighDescriptors(kBase + int(kCount));
    if (!high)
        std::fprintf(stderr, "Descriptors above 1023 not checked here\n");
    std::vector<std::unique_ptr<TestUdp>> sockets;
    std::vector<int> handles;
    for (size_t x = 0; x < kCount; ++x)
    {
        sockets.emplace_back(new TestUdp);
        ASSERT_GE(sockets.back()->fFD, 0);
        if (high)
        {
            ASSERT_TRUE(sockets.back()->MoveTo(kBase + int(x)));
        }
        handles.push_back(sockets.back()->fFD);
    }
    std::vector<uint8_t> ready(kCount, 0xEE);

    // Nothing waiting: the time runs out.
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, Platform::sSocket_WaitReadable(handles.data(), ready.data(), kCount, 100));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(90));
    EXPECT_EQ(std::vector<uint8_t>(kCount, Platform::eSocket_NotReady), ready);

    // Datagrams for sockets on both sides of the 64th; the 65th closed.
    std::vector<uint8_t> expected(kCount, Platform::eSocket_NotReady);
    TestUdp peer;
    for (size_t x : {3, 63, 70, 99})
    {
        ASSERT_TRUE(peer.SendTo(*sockets[x], "x", 1));
        expected[x] = Platform::eSocket_Readable;
    }
    sockets[64]->Close();
    expected[64] = Platform::eSocket_Invalid;
    // Loopback delivery may lag the sends: wait until every datagram is seen, never anything else.
    for (int attempt = 0; attempt < 100 && ready != expected; ++attempt)
    {
        const int count =
            Platform::sSocket_WaitReadable(handles.data(), ready.data(), kCount, 1000);
        int reported = 0;
        for (size_t x = 0; x < kCount; ++x)
        {
            reported += ready[x] != Platform::eSocket_NotReady;
            ASSERT_TRUE(ready[x] == Platform::eSocket_NotReady || ready[x] == expected[x])
                << "socket " << x << " reported " << int(ready[x]);
        }
        ASSERT_EQ(reported, count);
    }
    EXPECT_EQ(expected, ready);

    // Only closed sockets: reported at once.
    uint8_t closedReady = 0xEE;
    EXPECT_EQ(1, Platform::sSocket_WaitReadable(&handles[64], &closedReady, 1, 20000));
    EXPECT_EQ(Platform::eSocket_Invalid, closedReady);
}

TEST(Platform_Socket, AReceiveNeverBlocksAndLeavesTheModeAsFound)
{
    for (const bool blocking : {true, false})
    {
        SCOPED_TRACE(blocking ? "blocking socket" : "non-blocking socket");
        TestUdp socket, peer;
        ASSERT_TRUE(socket.SetBlocking(blocking));
        Platform::SocketAddress source;
        sWithin(20,
                [&]
                {
                    for (int x = 0; x < 3; ++x)
                        EXPECT_EQ("(none)", sReceive(socket, 100, source));
                    EXPECT_TRUE(sReceiveBatch(socket).empty());
                });
        EXPECT_EQ(blocking, socket.IsBlocking());

        ASSERT_TRUE(peer.SendTo(socket, "abc", 3));
        ASSERT_TRUE(socket.WaitReadable(10000));
        sWithin(20, [&] { EXPECT_EQ("abc", sReceive(socket, 100, source)); });
        EXPECT_EQ(blocking, socket.IsBlocking());

        // A batch with fewer datagrams waiting than slots takes them and returns.
        ASSERT_TRUE(peer.SendTo(socket, "de", 2));
        ASSERT_TRUE(socket.WaitReadable(10000));
        sWithin(20, [&] { EXPECT_EQ(std::vector<std::string>{"de"}, sReceiveBatch(socket)); });
        EXPECT_EQ(blocking, socket.IsBlocking());
    }
}

TEST(Platform_Socket, DatagramsComeOneAtATimeWithTheirWholeSourceAddress)
{
    for (const quillane::test::Family family : {quillane::test::eIPv4, quillane::test::eIPv6})
    {
        SCOPED_TRACE(family == quillane::test::eIPv6 ? "IPv6" : "IPv4");
        TestUdp socket(family), peer(family);
        if (family == quillane::test::eIPv6 && (socket.fFD < 0 || peer.fFD < 0))
        {
            std::fprintf(stderr, "No IPv6 loopback here: IPv6 not checked\n");
            continue;
        }
        ASSERT_GE(socket.fFD, 0);
        // An empty datagram must not block the ones behind it; a datagram longer than the
        // buffer is cut to its start, and its rest does not come as another datagram.
        for (const char* text : {"first", "", "0123456789abcdefghij", "last"})
            ASSERT_TRUE(peer.SendTo(socket, text, std::strlen(text)));
        for (const char* text : {"first", "", "0123456789", "last"})
        {
            ASSERT_TRUE(socket.WaitReadable(10000));
            Platform::SocketAddress source;
            std::memset(&source, 0xAB, sizeof(source));
            EXPECT_EQ(text, sReceive(socket, 10, source));
            ASSERT_EQ(peer.AddrLen(), source.fLength);
            EXPECT_EQ(0, std::memcmp(peer.Addr(), source.fBytes, size_t(source.fLength)));
        }
        Platform::SocketAddress source;
        EXPECT_EQ("(none)", sReceive(socket, 10, source));
    }
}


TEST(Platform_Socket, DeliversWhatSingleSendsWouldWhateverTheRunsOfSizesAndAddresses)
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

TEST(Platform_Socket, ARefusedDatagramIsLostAndTheRestStillGo)
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

TEST(Platform_Socket, ARunTheSystemWillNotSegmentGoesSingly)
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
