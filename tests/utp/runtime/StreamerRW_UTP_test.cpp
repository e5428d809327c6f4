// The runner, Managers and streams over real loopback sockets, plus the datagram mask and the
// receive queue they use. Each test runs in a process of its own (the runner and the engine are
// process-wide); a fault that would hang a test ends the process through sWithin instead.
// Times are generous: only a hang, or a wait of the order of the runner's idle second, fails.

#include "runtime/ByteQueue.h"
#include "runtime/DatagramMask.h"
#include "runtime/StreamerRW_UTP.h"

#include "engine/utp_packet.h"
#include "support/TestUdp.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <random>
#include <thread>
#include <vector>

using namespace quillane;
using namespace quillane::UTP;
using Morvek::ZRef;
using Morvek::ZStreamerRW;
using testsupport::TestUdp;

namespace
{

typedef std::chrono::steady_clock Clock;
typedef std::vector<uint8_t> Bytes;

double sSince(Clock::time_point iStart)
{
    return std::chrono::duration<double>(Clock::now() - iStart).count();
}

void sSleep(double iSeconds)
{
    std::this_thread::sleep_for(std::chrono::duration<double>(iSeconds));
}

template <class F> bool sEventually(F iDone, double iSeconds = 20)
{
    const Clock::time_point start = Clock::now();
    while (!iDone() && sSince(start) < iSeconds)
        sSleep(0.002);
    return iDone();
}

// Runs iWork on a thread of its own. Work still running after iSeconds is a hang: the test fails
// and the process ends, since a thread stuck in the layer cannot be brought back.
template <class F> void sWithin(double iSeconds, F iWork)
{
    std::atomic<bool> done(false);
    std::thread worker(
        [&]
        {
            iWork();
            done = true;
        });
    if (!sEventually([&] { return done.load(); }, iSeconds))
    {
        std::fprintf(stderr, "Hung: still running after %.0f s\n", iSeconds);
        std::_Exit(1);
    }
    worker.join();
}

Ubermeister& sU()
{
    return Ubermeister::sGet();
}

Bytes sPattern(size_t iSize, uint8_t iSeed)
{
    Bytes result(iSize);
    for (size_t x = 0; x < iSize; ++x)
        result[x] = uint8_t(x * 131 + iSeed + (x >> 12));
    return result;
}

size_t sWrite(const ZRef<StreamerRW>& iStream, const Bytes& iBytes)
{
    size_t written = 0;
    iStream->GetStreamW().Write(iBytes.data(), iBytes.size(), &written);
    return written;
}

Bytes sB(const char* iText)
{
    return Bytes(iText, iText + std::strlen(iText));
}

// Reads until iCount bytes arrived or the stream ended.
Bytes sReadAll(const ZRef<StreamerRW>& iStream, size_t iCount)
{
    Bytes result(iCount);
    size_t got = 0;
    iStream->GetStreamR().ReadAll(result.data(), iCount, &got);
    result.resize(got);
    return result;
}

ZRef<StreamerRW> sAccept(int iSocket)
{
    return sUTP_Make(iSocket, std::string(), 0, true).DynamicCast<StreamerRW>();
}

ZRef<StreamerRW> sConnect(int iSocket, const TestUdp& iTo)
{
    return sU().pMakeManager(iSocket)->Connect(iTo.Addr(), iTo.AddrLen());
}

// A connected pair: fAccepted on iListen, fConnected on iConnect.
struct Pair
{
    ZRef<StreamerRW> fAccepted;
    ZRef<StreamerRW> fConnected;
};

Pair sPair(const TestUdp& iListen, const TestUdp& iConnect)
{
    Pair result;
    sWithin(30,
            [&]
            {
                std::thread listener([&] { result.fAccepted = sAccept(iListen.fFD); });
                result.fConnected = sConnect(iConnect.fFD, iListen);
                listener.join();
            });
    EXPECT_TRUE(result.fAccepted && result.fConnected);
    return result;
}

// ---------------------------------------------------------------------------------------------
// A peer that speaks raw uTP (version 1) from a plain socket.

const uint16_t kRawSeq = 500;

// A masked packet: header, optional extension bits, a time stamp whose low byte is the key.
Bytes sRawPacket(int iType, uint32_t iConnId, uint16_t iSeqNr, uint16_t iAckNr)
{
    using namespace quillane::UTP::Engine;
    const bool syn = iType == ST_SYN;
    Bytes packet(kHeaderSizeV1 + (syn ? kExtBitsSize : 0));
    sWriteHeader(packet.data(), 1, iType, syn ? EXT_BITS : EXT_NONE, iConnId, 1 << 20, iSeqNr,
                 iAckNr);
    if (syn)
        sWriteExtensionBits(packet.data() + kHeaderSizeV1);
    if (iType != ST_RESET)
        sStore32(packet.data() + 4, 0x0A0B0C5A);
    sMaskDatagram(packet.data(), packet.size());
    return packet;
}

void sRawSend(const TestUdp& iFrom, const TestUdp& iTo, const Bytes& iPacket)
{
    ASSERT_TRUE(iFrom.SendTo(iTo, iPacket.data(), iPacket.size()));
}

// Answers the next datagram on iSocket, a masked SYN, with a reset, as a refusing peer does.
void sRefuseNextSyn(const TestUdp& iSocket)
{
    using namespace quillane::UTP::Engine;
    Bytes syn(2048);
    testsupport::TestAddress from;
    const long length = iSocket.ReceiveFrom(syn.data(), syn.size(), 10000, &from);
    ASSERT_GE(length, 0);
    syn.resize(size_t(length));
    sMaskDatagram(syn.data(), syn.size());
    ASSERT_EQ(kHeaderSizeV1 + kExtBitsSize, syn.size());
    ASSERT_EQ((ST_SYN << 4) | 1, syn[0]);
    const Bytes reset = sRawPacket(ST_RESET, sLoad16(&syn[2]), kRawSeq, sLoad16(&syn[16]));
    iSocket.SendTo(from.Get(), from.fLength, reset.data(), reset.size());
}

// Sends iTo a packet for no connection and waits for the reset that answers it: by then the
// runner has processed every datagram sent to iTo before it. (A socket's receive queue can look
// empty before loopback delivery has even put the datagrams there.)
void sBarrier(const TestUdp& iPeer, const TestUdp& iTo)
{
    using namespace quillane::UTP::Engine;
    static uint32_t sId = 40000;
    sRawSend(iPeer, iTo, sRawPacket(ST_DATA, ++sId, kRawSeq, 0));
    for (;;)
    {
        Bytes answer(2048);
        const long length = iPeer.ReceiveFrom(answer.data(), answer.size(), 10000);
        ASSERT_GE(length, 0);
        answer.resize(size_t(length));
        sMaskDatagram(answer.data(), answer.size());
        if (answer.size() >= 4 && answer[0] >> 4 == ST_RESET && sLoad16(&answer[2]) == sId)
            return;
    }
}

} // namespace

// =================================================================================================

TEST(UtpDatagramMask, GoldenBytesShortDatagramsAndInverse)
{
    struct Case
    {
        Bytes fIn, fOut;
    } cases[] = {
        {{0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0xFF},
         {0xFF, 0xFE, 0xFD, 0xFC, 0xFB, 0xFA, 0xF9, 0xFF}},
        {{0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70}, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70}},
        {{0x12, 0, 0, 0, 0, 0, 0, 0x00, 0x34}, {0x12, 0, 0, 0, 0, 0, 0, 0x00, 0x34}},
        {{1, 2, 3, 4, 5, 6, 7, 0x0F, 0xF0, 0x0F}, {14, 13, 12, 11, 10, 9, 8, 0x0F, 0xFF, 0x00}},
    };
    for (const Case& c : cases)
    {
        Bytes inPlace = c.fIn, copy(c.fIn.size());
        sMaskDatagram(inPlace.data(), inPlace.size());
        sMaskDatagramCopy(c.fIn.data(), copy.data(), copy.size());
        EXPECT_EQ(c.fOut, inPlace);
        EXPECT_EQ(c.fOut, copy);
        sMaskDatagram(inPlace.data(), inPlace.size());
        EXPECT_EQ(c.fIn, inPlace);
    }
}

TEST(UtpByteQueue, MatchesAModelAcrossWrapsGrowthAndRelease)
{
    std::mt19937 random(7);
    ByteQueue queue;
    std::deque<uint8_t> model;
    uint8_t next = 0;
    for (int step = 0; step < 4000; ++step)
    {
        // Phases of mostly appending and mostly taking, so the ring wraps, grows while wrapped,
        // and runs empty from above the kept capacity.
        const bool filling = (step / 500) % 2 == 0;
        const size_t count = random() % 9000;
        if (random() % 4 != 0 ? filling : !filling)
        {
            Bytes in(count);
            for (uint8_t& b : in)
                model.push_back(b = next++);
            queue.Append(in.data(), in.size());
        }
        else
        {
            Bytes out(count);
            out.resize(queue.Take(out.data(), count));
            ASSERT_EQ(std::min(count, model.size()), out.size());
            for (uint8_t b : out)
            {
                ASSERT_EQ(model.front(), b);
                model.pop_front();
            }
        }
        ASSERT_EQ(model.size(), queue.Size());
    }
}

// =================================================================================================

// A writer of 24 MiB on fConnected while fAccepted reads nothing: returns once the receiver
// holds more than 1 MiB.
struct StalledWriter
{
    Pair fPair;
    const Bytes fData = sPattern(24 << 20, 3);
    std::atomic<size_t> fWritten{0};
    std::atomic<bool> fDone{false};
    std::thread fThread;

    StalledWriter(const TestUdp& iA, const TestUdp& iB) : fPair(sPair(iA, iB))
    {
        fThread = std::thread(
            [this]
            {
                fWritten = sWrite(fPair.fConnected, fData);
                fDone = true;
            });
        EXPECT_TRUE(sEventually([&] { return fPair.fAccepted->CountQueued() > (1u << 20); }));
    }
    ~StalledWriter()
    {
        fPair.fConnected->Close();
        fPair.fAccepted->Close();
        fThread.join();
    }
};

TEST(UtpStreams, SlowReaderKeepsTheQueueWithinTheWindowAndLosesNothing)
{
    TestUdp a, b;
    StalledWriter w(a, b);
    // Wait until the queue stops growing: the window has closed.
    size_t before = 0, queued = w.fPair.fAccepted->CountQueued();
    for (int x = 0; x < 60 && queued != before; ++x)
    {
        before = queued;
        sSleep(0.5);
        queued = w.fPair.fAccepted->CountQueued();
    }
    EXPECT_LE(queued, size_t(3670016 + 16 * 1402));
    EXPECT_FALSE(w.fDone);
    sWithin(120, [&] { EXPECT_TRUE(sReadAll(w.fPair.fAccepted, w.fData.size()) == w.fData); });
    EXPECT_TRUE(sEventually([&] { return w.fDone.load(); }));
    EXPECT_EQ(w.fData.size(), w.fWritten);
}

TEST(UtpStreams, AWriteEndsWhenThePeerHasFinished)
{
    TestUdp a, b;
    StalledWriter w(a, b);
    w.fPair.fAccepted->Close();
    if (!sEventually([&] { return w.fDone.load(); }, 60))
    {
        std::fprintf(stderr, "Hung: the write did not end\n");
        std::_Exit(1);
    }
    EXPECT_GE(w.fWritten, w.fPair.fAccepted->CountQueued());
    EXPECT_LT(w.fWritten, w.fData.size());
}

TEST(UtpStreams, OverlappingWritesOnOneStreamDoNotInterleave)
{
    TestUdp a, b;
    Pair p = sPair(a, b);
    const size_t kSize = 1 << 20;
    sWithin(60,
            [&]
            {
                std::thread x([&] { EXPECT_EQ(kSize, sWrite(p.fConnected, Bytes(kSize, 'x'))); });
                std::thread y([&] { EXPECT_EQ(kSize, sWrite(p.fConnected, Bytes(kSize, 'y'))); });
                const Bytes got = sReadAll(p.fAccepted, 2 * kSize);
                x.join();
                y.join();
                ASSERT_EQ(2 * kSize, got.size());
                const uint8_t first = got[0], second = first == 'x' ? 'y' : 'x';
                EXPECT_EQ(Bytes(kSize, first), Bytes(got.begin(), got.begin() + kSize));
                EXPECT_EQ(Bytes(kSize, second), Bytes(got.begin() + kSize, got.end()));
            });
    p.fConnected->Close();
    p.fAccepted->Close();
}

// =================================================================================================

TEST(UtpStreams, ListeningTakesAConnectionThatAnOlderManagerReadFirst)
{
    TestUdp a, b1, b2;
    Pair first = sPair(a, b1); // its stream keeps the first Manager of a alive
    // Only that Manager reads a now, so it reads the new connection's SYN.
    const ZRef<StreamerRW> second = sConnect(b2.fFD, a);
    EXPECT_EQ(eState_Connected, second->GetState());
    EXPECT_EQ(1u, sU().CountPending(a.fFD));
    sWithin(20,
            [&]
            {
                const ZRef<StreamerRW> accepted = sAccept(a.fFD);
                sWrite(second, sB("second"));
                EXPECT_EQ(sB("second"), sReadAll(accepted, 6));
                accepted->Close();
            });
    second->Close();
    first.fAccepted->Close();
    first.fConnected->Close();
}

TEST(UtpStreams, TheBacklogBoundsQueuedConnectionsAndAResetOneLeavesIt)
{
    using namespace quillane::UTP::Engine;
    TestUdp a, peer;
    const ZRef<Manager> owner = sU().pMakeManager(a.fFD);
    const size_t before = sU().CountConnections();
    for (uint32_t x = 0; x < 200; ++x)
    {
        sRawSend(peer, a, sRawPacket(ST_SYN, 1000 + 2 * x, kRawSeq, 0));
        if (x % 40 == 39)
            sBarrier(peer, a);
    }
    // SYNs beyond the backlog made nothing, not even an engine connection.
    EXPECT_EQ(kBacklog, sU().CountPending(a.fFD));
    EXPECT_LE(sU().CountConnections(), before + kBacklog);

    // A queued connection that is reset leaves the queue and the engine.
    sRawSend(peer, a, sRawPacket(ST_RESET, 1000, kRawSeq + 1, 0));
    EXPECT_TRUE(sEventually(
        [&]
        {
            return sU().CountPending(a.fFD) == kBacklog - 1 &&
                   sU().CountConnections() <= before + kBacklog - 1;
        }));
    // Taking one makes room for one more.
    const ZRef<StreamerRW> taken = owner->MakeStreamerRW().DynamicCast<StreamerRW>();
    EXPECT_EQ(kBacklog - 2, sU().CountPending(a.fFD));
    for (uint32_t id : {3000, 3002, 3004})
        sRawSend(peer, a, sRawPacket(ST_SYN, id, kRawSeq, 0));
    sBarrier(peer, a);
    EXPECT_EQ(kBacklog, sU().CountPending(a.fFD));
    EXPECT_LE(sU().CountConnections(), before + kBacklog + 1);
}

// =================================================================================================

TEST(UtpStreams, SeveralManagersOnOneBlockingSocketNeverStallTheRunner)
{
    TestUdp a, b;
    // Two more Managers on a: each pass would read the blocking socket three times.
    const ZRef<Manager> extra1 = sU().pMakeManager(a.fFD), extra2 = sU().pMakeManager(a.fFD);
    Pair p = sPair(a, b);
    sWithin(30,
            [&]
            {
                for (int round = 0; round < 20; ++round)
                {
                    sWrite(p.fAccepted, sB("ping"));
                    EXPECT_EQ(sB("ping"), sReadAll(p.fConnected, 4));
                    sWrite(p.fConnected, sB("pong"));
                    EXPECT_EQ(sB("pong"), sReadAll(p.fAccepted, 4));
                }
            });
    p.fConnected->Close();
    p.fAccepted->Close();
}

TEST(UtpStreams, ServesMoreThan64SocketsAtHighDescriptors)
{
    // Descriptors above select's 1024 where they can be chosen; on Windows the system hands
    // out the handles, and the point is their number (select's sets hold 64 there).
    const int kPairs = 35, kBase = 1100;
    if (!TestUdp::sAllowSockets(kBase + 2 * kPairs + 10))
        GTEST_SKIP() << "descriptor limit too low";
    std::vector<std::unique_ptr<TestUdp>> sockets;
    std::vector<Pair> pairs;
    for (int x = 0; x < 2 * kPairs; ++x)
    {
        sockets.emplace_back(new TestUdp);
        ASSERT_GE(sockets.back()->fFD, 0);
        if (TestUdp::sCanMove())
        {
            ASSERT_TRUE(sockets.back()->MoveTo(kBase + x));
        }
    }
    for (int x = 0; x < kPairs; ++x)
        pairs.push_back(sPair(*sockets[2 * x], *sockets[2 * x + 1]));
    sWithin(60,
            [&]
            {
                for (int x = 0; x < kPairs; ++x)
                    sWrite(pairs[x].fConnected, sPattern(3000, uint8_t(x)));
                for (int x = 0; x < kPairs; ++x)
                    EXPECT_TRUE(sReadAll(pairs[x].fAccepted, 3000) == sPattern(3000, uint8_t(x)))
                        << x;
            });
    for (Pair& p : pairs)
    {
        p.fConnected->Close();
        p.fAccepted->Close();
    }
}

TEST(UtpStreams, ConnectsOverIPv6WithWholeSourceAddresses)
{
    TestUdp a(testsupport::eIPv6), b(testsupport::eIPv6);
    if (a.fFD < 0 || b.fFD < 0)
        GTEST_SKIP() << "no IPv6 loopback";
    Pair p = sPair(a, b);
    sWithin(20,
            [&]
            {
                sWrite(p.fConnected, sB("over six"));
                EXPECT_EQ(sB("over six"), sReadAll(p.fAccepted, 8));
                sWrite(p.fAccepted, sB("and back"));
                EXPECT_EQ(sB("and back"), sReadAll(p.fConnected, 8));
            });
    p.fConnected->Close();
    p.fAccepted->Close();
}

TEST(UtpStreams, AnIdleRunnerServesANewSocketAtOnce)
{
    // Each trial starts with the runner idle (no Manager); a refused connect returns when the
    // runner has read the reset. A runner that noticed the socket only at its next wake-up
    // would spend about half a second per trial.
    TestUdp peer;
    double total = 0;
    for (int trial = 0; trial < 6; ++trial)
    {
        if (!sEventually([] { return sU().CountManagers() == 0; }))
            GTEST_SKIP() << "earlier tests left streams open in this process; run it alone";
        sSleep(0.2);
        TestUdp a;
        std::thread refuser([&] { sRefuseNextSyn(peer); });
        const Clock::time_point start = Clock::now();
        ZRef<StreamerRW> refused;
        sWithin(30, [&] { refused = sConnect(a.fFD, peer); });
        total += sSince(start);
        refuser.join();
        EXPECT_EQ(eState_Failed, refused->GetState());
        EXPECT_TRUE(sReadAll(refused, 10).empty());
        EXPECT_EQ(0u, sWrite(refused, sB("x")));
        refused->Close();
    }
    EXPECT_LT(total, 1.0);
}
