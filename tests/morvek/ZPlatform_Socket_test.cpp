// The socket facility's promises, held the same way on every system (the Windows file differs
// from the POSIX one in every call): buffers are raised but never shrunk; a wait serves more
// sockets than select's sets hold and reports exactly the ready ones, and a closed one as
// invalid; a receive (single or batch) never blocks and leaves the socket's mode as the
// application set it; a single receive takes one datagram at a time (an empty one included) with
// its whole source address; a send reaches its peer. The peers are plain sockets (TestUdp), not
// the facility itself.

#include "morvek/platform/ZPlatform_Socket.h"

#include "TestUdp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace Morvek;
using testsupport::TestAddress;
using testsupport::TestUdp;

namespace
{

typedef std::chrono::steady_clock Clock;

const int kRequested = 131072;

// Runs iWork on a thread of its own; work still running after iSeconds is a call that blocked
// for good: the test fails and the process ends, since the thread cannot be brought back.
template <class F> void sWithin(double iSeconds, F iWork)
{
    std::atomic<bool> done(false);
    std::thread worker(
        [&]
        {
            iWork();
            done = true;
        });
    const Clock::time_point start = Clock::now();
    while (!done && std::chrono::duration<double>(Clock::now() - start).count() < iSeconds)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (!done)
    {
        std::fprintf(stderr, "Hung: still running after %.0f s\n", iSeconds);
        std::_Exit(1);
    }
    worker.join();
}

// Waits (generously) until iSocket has a datagram waiting.
bool sWaitFor(const TestUdp& iSocket)
{
    uint8_t ready = 0;
    return Platform::sSocket_WaitReadable(&iSocket.fFD, &ready, 1, 10000) == 1 &&
           ready == Platform::eSocket_Readable;
}

std::string sReceive(const TestUdp& iSocket, size_t iCapacity, Platform::SocketAddress& oSource)
{
    std::vector<char> buffer(iCapacity + 1, '#');
    const ptrdiff_t length =
        Platform::sSocket_ReceiveFrom(iSocket.fFD, buffer.data(), iCapacity, oSource);
    EXPECT_EQ('#', buffer[iCapacity]) << "written beyond the capacity";
    return length < 0 ? std::string("(none)") : std::string(buffer.data(), size_t(length));
}

// The datagrams a batch receive into iSlots slots takes.
std::vector<std::string> sReceiveBatch(const TestUdp& iSocket, size_t iSlots)
{
    std::vector<std::vector<char>> buffers(iSlots, std::vector<char>(100));
    std::vector<Platform::ReceiveSlot> slots(iSlots);
    for (size_t x = 0; x < iSlots; ++x)
        slots[x] = Platform::ReceiveSlot{buffers[x].data(), buffers[x].size(), 0, {}};
    const size_t filled = Platform::sSocket_ReceiveBatch(iSocket.fFD, slots.data(), iSlots);
    std::vector<std::string> result;
    for (size_t x = 0; x < filled && x < iSlots; ++x)
        result.push_back(std::string(buffers[x].data(), slots[x].fLength));
    return result;
}

} // namespace

TEST(ZPlatformSocket, RaisesSmallBuffersAndKeepsLargerOnes)
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

TEST(ZPlatformSocket, AWaitOnMoreThan64SocketsReportsExactlyTheReadyOnes)
{
    const size_t kCount = 100;
    std::vector<std::unique_ptr<TestUdp>> sockets;
    std::vector<int> handles;
    for (size_t x = 0; x < kCount; ++x)
    {
        sockets.emplace_back(new TestUdp);
        ASSERT_GE(sockets.back()->fFD, 0);
        handles.push_back(sockets.back()->fFD);
    }
    std::vector<uint8_t> ready(kCount, 0xEE);

    // Nothing waiting: the time runs out.
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(0, Platform::sSocket_WaitReadable(handles.data(), ready.data(), kCount, 100));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(90));
    EXPECT_EQ(std::vector<uint8_t>(kCount, Platform::eSocket_NotReady), ready);

    // Datagrams for sockets on both sides of the 64th; the 65th closed.
    const std::vector<size_t> targets = {3, 63, 70, 99};
    TestUdp peer;
    for (size_t x : targets)
        ASSERT_TRUE(peer.SendTo(*sockets[x], "x", 1));
    sockets[64]->Close();
    std::vector<uint8_t> expected(kCount, Platform::eSocket_NotReady);
    for (size_t x : targets)
        expected[x] = Platform::eSocket_Readable;
    expected[64] = Platform::eSocket_Invalid;
    // Loopback delivery need not be complete when the sends return: wait until every datagram is
    // seen, and never anything else.
    for (int attempt = 0; attempt < 100 && ready != expected; ++attempt)
    {
        const int count =
            Platform::sSocket_WaitReadable(handles.data(), ready.data(), kCount, 1000);
        int reported = 0;
        for (size_t x = 0; x < kCount; ++x)
        {
            if (ready[x] != Platform::eSocket_NotReady)
                ++reported;
            ASSERT_TRUE(ready[x] == Platform::eSocket_NotReady || ready[x] == expected[x])
                << "socket " << x << " reported " << int(ready[x]);
        }
        ASSERT_EQ(reported, count);
    }
    EXPECT_EQ(expected, ready);

    // Only closed sockets: reported at once.
    const int closed = handles[64];
    uint8_t closedReady = 0xEE;
    EXPECT_EQ(1, Platform::sSocket_WaitReadable(&closed, &closedReady, 1, 20000));
    EXPECT_EQ(Platform::eSocket_Invalid, closedReady);
}

TEST(ZPlatformSocket, AReceiveNeverBlocksAndLeavesTheModeAsFound)
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
                    EXPECT_TRUE(sReceiveBatch(socket, 4).empty());
                });
        EXPECT_EQ(blocking, socket.IsBlocking());

        ASSERT_TRUE(peer.SendTo(socket, "abc", 3));
        ASSERT_TRUE(sWaitFor(socket));
        sWithin(20, [&] { EXPECT_EQ("abc", sReceive(socket, 100, source)); });
        EXPECT_EQ(blocking, socket.IsBlocking());

        // A batch with fewer datagrams waiting than slots takes them and returns.
        ASSERT_TRUE(peer.SendTo(socket, "de", 2));
        ASSERT_TRUE(sWaitFor(socket));
        sWithin(20, [&] { EXPECT_EQ(std::vector<std::string>{"de"}, sReceiveBatch(socket, 4)); });
        EXPECT_EQ(blocking, socket.IsBlocking());
    }
}

TEST(ZPlatformSocket, DatagramsComeOneAtATimeWithTheirWholeSourceAddress)
{
    for (const testsupport::Family family : {testsupport::eIPv4, testsupport::eIPv6})
    {
        SCOPED_TRACE(family == testsupport::eIPv6 ? "IPv6" : "IPv4");
        TestUdp socket(family), peer(family);
        if (family == testsupport::eIPv6 && (socket.fFD < 0 || peer.fFD < 0))
        {
            std::fprintf(stderr, "No IPv6 loopback here: IPv6 not checked\n");
            continue;
        }
        ASSERT_GE(socket.fFD, 0);
        const char kLong[] = "0123456789abcdefghij";
        // An empty datagram must not block the ones behind it; a datagram longer than the
        // buffer is cut to its start, and its rest does not come as another datagram.
        ASSERT_TRUE(peer.SendTo(socket, "first", 5));
        ASSERT_TRUE(peer.SendTo(socket, "", 0));
        ASSERT_TRUE(peer.SendTo(socket, kLong, 20));
        ASSERT_TRUE(peer.SendTo(socket, "last", 4));
        const char* const expected[] = {"first", "", "0123456789", "last"};
        for (const char* text : expected)
        {
            ASSERT_TRUE(sWaitFor(socket));
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

TEST(ZPlatformSocket, SendsReachThePeerAndAFailedSendSaysSo)
{
    TestUdp socket, peer;
    ASSERT_TRUE(Platform::sSocket_SendTo(socket.fFD, "hello", 5, peer.Addr(), peer.AddrLen()));
    char buffer[16];
    TestAddress from;
    ASSERT_EQ(5, peer.ReceiveFrom(buffer, sizeof(buffer), 10000, &from));
    EXPECT_EQ("hello", std::string(buffer, 5));
    ASSERT_EQ(socket.AddrLen(), from.fLength);
    EXPECT_EQ(0, std::memcmp(socket.Addr(), from.fBytes, size_t(from.fLength)));

    EXPECT_FALSE(Platform::sSocket_SendTo(socket.fFD, "x", 1, peer.Addr(), -1));
    EXPECT_FALSE(Platform::sSocket_SendTo(-1, "x", 1, peer.Addr(), peer.AddrLen()));
}
