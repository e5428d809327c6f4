// The runner, Managers and streams over real loopback sockets, and the datagram mask and receive
// queue they use. Each test runs in a process of its own (the runner is process-wide); a hang
// ends the process through sWithin. Times are generous: only a hang, or a wait of the order of
// the runner's idle second, fails.

#include "utp/runtime/ByteQueue.h"
#include "utp/runtime/DatagramMask.h"
#include "utp/runtime/StreamerRW_UTP.h"

#include "utp/engine/utp_packet.h"
#include "tests/support/TestUdp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <future>
#include <random>
#include <thread>
#include <vector>

using namespace quillane;
using namespace quillane::UTP;
using Morvek::ZRef;
using quillane::test::TestUdp;

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

// Runs iWork on a thread of its own; still running after iSeconds is a hang, which ends the
// process (a thread stuck in the layer cannot be brought back).
template <class F> void sWithin(double iSeconds, F iWork)
{
    std::future<void> done = std::async(std::launch::async, iWork);
    if (done.wait_for(std::chrono::duration<double>(iSeconds)) != std::future_status::ready)
    {
        std::fprintf(stderr, "Hung: still running after %.0f s\n", iSeconds);
        std::_Exit(1);
    }
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
    return sU().pMakeManager(iSocket)->Accept(nullptr);
}

ZRef<StreamerRW> sConnect(int iSocket, const TestUdp& iTo)
{
    return sU().pMakeManager(iSocket)->Connect(iTo.Addr(), iTo.AddrLen());
}

struct Pair
{
    ZRef<StreamerRW> fAccepted, fConnected;

    void Close()
    {
        fConnected->Close();
        fAccepted->Close();
    }
};

// fAccepted on iListen, fConnected on iConnect.
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

// A peer that speaks raw uTP (version 1) from a plain socket.
const uint16_t kRawSeq = 500;

// A masked packet: header, extension bits on a SYN, a time stamp whose low byte is the key, then
// iPayload bytes.
Bytes sRawPacket(int iType, uint32_t iConnId, uint16_t iSeqNr, uint16_t iAckNr,
                 size_t iPayload = 0)
{
    using namespace quillane::UTP::Engine;
    const bool syn = iType == ST_SYN;
    Bytes packet(kHeaderSizeV1 + (syn ? kExtBitsSize : 0) + iPayload, 0x5C);
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

// The next datagram on iSocket (waiting at most ten seconds), unmasked.
Bytes sRawReceive(const TestUdp& iSocket)
{
    Bytes datagram(2048);
    datagram.resize(size_t(std::max(0L, iSocket.Receive(datagram.data(), 2048, 10000))));
    sMaskDatagram(datagram.data(), datagram.size());
    return datagram;
}

// Answers the next datagram on iPeer, a SYN from iFrom, with a reset, as a refusing peer does.
void sRefuseNextSyn(const TestUdp& iPeer, const TestUdp& iFrom)
{
    using namespace quillane::UTP::Engine;
    const Bytes syn = sRawReceive(iPeer);
    ASSERT_EQ(kHeaderSizeV1 + kExtBitsSize, syn.size());
    ASSERT_EQ((ST_SYN << 4) | 1, syn[0]);
    sRawSend(iPeer, iFrom, sRawPacket(ST_RESET, sLoad16(&syn[2]), kRawSeq, sLoad16(&syn[16])));
}

// Sends iTo a packet for no connection and waits for the reset that answers it: by then the
// runner has processed everything sent to iTo before (an empty receive queue can precede
// loopback delivery). Returns the other datagrams iPeer got meanwhile, unmasked.
std::vector<Bytes> sBarrier(const TestUdp& iPeer, const TestUdp& iTo)
{
    using namespace quillane::UTP::Engine;
    static uint32_t sId = 40000;
    sRawSend(iPeer, iTo, sRawPacket(ST_DATA, ++sId, kRawSeq, 0));
    std::vector<Bytes> others;
    for (Bytes answer;;)
    {
        answer = sRawReceive(iPeer);
        EXPECT_FALSE(answer.empty());
        if (answer.empty() ||
            (answer.size() >= 4 && answer[0] >> 4 == ST_RESET && sLoad16(&answer[2]) == sId))
        {
            return others;
        }
        others.push_back(answer);
    }
}

// The connection ids of the datagrams of type iType among iDatagrams.
std::vector<uint16_t> sIdsOf(const std::vector<Bytes>& iDatagrams, int iType)
{
    std::vector<uint16_t> result;
    for (const Bytes& datagram : iDatagrams)
    {
        if (datagram.size() >= 20 && datagram[0] >> 4 == iType)
            result.push_back(quillane::UTP::Engine::sLoad16(&datagram[2]));
    }
    return result;
}

} // namespace

TEST(UtpDatagramMask, GoldenBytesShortDatagramsAndInverse)
{
    const Bytes cases[][2] = {
        {{0, 1, 2, 3, 4, 5, 6, 0xFF}, {0xFF, 0xFE, 0xFD, 0xFC, 0xFB, 0xFA, 0xF9, 0xFF}},
        {{0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70}, {0x10, 0x20, 0x30, 0x40, 0x50, 0x60, 0x70}},
        {{0x12, 0, 0, 0, 0, 0, 0, 0, 0x34}, {0x12, 0, 0, 0, 0, 0, 0, 0, 0x34}},
        {{1, 2, 3, 4, 5, 6, 7, 0x0F, 0xF0, 0x0F}, {14, 13, 12, 11, 10, 9, 8, 0x0F, 0xFF, 0x00}},
    };
    for (const auto& c : cases)
    {
        Bytes inPlace = c[0], copy(c[0].size());
        sMaskDatagram(inPlace.data(), inPlace.size());
        sMaskDatagramCopy(c[0].data(), copy.data(), copy.size());
        EXPECT_EQ(c[1], inPlace);
        EXPECT_EQ(c[1], copy);
        sMaskDatagram(inPlace.data(), inPlace.size());
        EXPECT_EQ(c[0], inPlace);
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
        // Phases of mostly appending and mostly taking: the ring wraps, grows while wrapped, and
        // runs empty from above the kept capacity.
        const bool filling = (step / 500) % 2 == 0;
        const size_t count = random() % 9000;
        Bytes bytes(count);
        if (random() % 4 != 0 ? filling : !filling)
        {
            for (uint8_t& b : bytes)
                model.push_back(b = next++);
            queue.Append(bytes.data(), bytes.size());
        }
        else
        {
            bytes.resize(queue.Take(bytes.data(), bytes.size()));
            ASSERT_EQ(std::min(count, model.size()), bytes.size());
            for (uint8_t b : bytes)
            {
                ASSERT_EQ(model.front(), b);
                model.pop_front();
            }
        }
        ASSERT_EQ(model.size(), queue.Size());
    }
}

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
        fPair.Close();
        fThread.join();
    }
};

TEST(UtpStreams, SlowReaderKeepsTheQueueWithinTheWindowAndLosesNothing)
{
    TestUdp a, b;
    StalledWriter w(a, b);
    // The queue stops growing once the window has closed.
    size_t before = 0, queued = w.fPair.fAccepted->CountQueued();
    for (int x = 0; x < 60 && queued != before; ++x)
    {
        before = queued;
        sSleep(0.5);
        queued = w.fPair.fAccepted->CountQueued();
    }
    // The window is 3.5 MiB. Bytes that arrive past a lost datagram are acknowledged selectively
    // but queued only when the gap fills, so the queue may pass the window by what sat out of
    // order (28 datagrams seen under Wine); without the window it would take the whole 24 MiB.
    EXPECT_LE(queued, size_t(3670016 + (512 << 10)));
    EXPECT_FALSE(w.fDone);
    sWithin(120, [&] { EXPECT_TRUE(sReadAll(w.fPair.fAccepted, w.fData.size()) == w.fData); });
    EXPECT_TRUE(sEventually([&] { return w.fDone.load(); }));
    EXPECT_EQ(w.fData.size(), w.fWritten);
}

TEST(UtpStreams, AWriteEndsWithItsCountWhenThePeerHasFinished)
{
    TestUdp a, b;
    StalledWriter w(a, b);
    w.fPair.fAccepted->Close();
    sWithin(60, [&] { sEventually([&] { return w.fDone.load(); }, 120); });
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
    p.Close();
}

// The connection's SYN is read by the socket's older Manager, yet queued for the socket, so a
// later listener takes it. The two Managers then share the (blocking) socket through small
// exchanges, which a runner blocking on the socket would stall.
TEST(UtpStreams, AnyListenerOfTheSocketTakesItsQueuedConnection)
{
    TestUdp a, b1, b2;
    Pair first = sPair(a, b1); // its stream keeps the first Manager of a alive
    const ZRef<StreamerRW> second = sConnect(b2.fFD, a);
    EXPECT_EQ(eState_Connected, second->GetState());
    EXPECT_EQ(1u, sU().CountPending(a.fFD));
    sWithin(30,
            [&]
            {
                const ZRef<StreamerRW> accepted = sAccept(a.fFD);
                for (int round = 0; round < 20; ++round)
                {
                    sWrite(second, sB("ping"));
                    EXPECT_EQ(sB("ping"), sReadAll(accepted, 4));
                    sWrite(accepted, sB("pong"));
                    EXPECT_EQ(sB("pong"), sReadAll(second, 4));
                }
                accepted->Close();
            });
    second->Close();
    first.Close();
}

// A socket nobody accepts on queues at most kBacklog connections. While full, a new one replaces
// the oldest that has delivered nothing (reset), and is refused before the engine makes anything
// once every queued one has delivered bytes; a queued connection advertises at most
// kQueuedWindow; one that is reset leaves the queue, one taken makes room, and the rest are reset
// once kQueueMilliseconds have passed.
TEST(UtpStreams, TheBacklogBoundsQueuedConnectionsAndTheyExpire)
{
    using namespace quillane::UTP::Engine;
    TestUdp a, peer;
    const ZRef<Manager> owner = sU().pMakeManager(a.fFD);
    const size_t before = sU().CountConnections();
    const uint32_t count = kBacklog + 10;
    std::vector<Bytes> seen;
    const Clock::time_point filled = Clock::now();
    for (uint32_t x = 0; x < count; ++x)
    {
        sRawSend(peer, a, sRawPacket(ST_SYN, 1000 + 2 * x, kRawSeq, 0));
        if (x % 40 == 39 || x + 1 == count)
        {
            const std::vector<Bytes> more = sBarrier(peer, a);
            seen.insert(seen.end(), more.begin(), more.end());
        }
    }
    EXPECT_EQ(kBacklog, sU().CountPending(a.fFD));
    EXPECT_EQ(std::vector<uint16_t>({1000, 1002, 1004, 1006, 1008, 1010, 1012, 1014, 1016, 1018}),
              sIdsOf(seen, ST_RESET));

    // Every queued one delivers a byte: a new SYN now makes nothing, not even an answer.
    for (uint32_t x = 10; x < count; ++x)
    {
        sRawSend(peer, a, sRawPacket(ST_DATA, 1000 + 2 * x + 1, uint16_t(kRawSeq + 1), 0, 1));
        if (x % 40 == 39)
            sBarrier(peer, a);
    }
    sSleep(0.3); // the acknowledgements of in-order data wait up to 100 ms
    seen = sBarrier(peer, a);
    EXPECT_FALSE(sIdsOf(seen, ST_STATE).empty());
    for (const Bytes& answer : seen)
        EXPECT_LE(sLoad32(&answer[12]), kQueuedWindow) << "the window of a queued connection";
    sRawSend(peer, a, sRawPacket(ST_SYN, 5000, kRawSeq, 0));
    EXPECT_TRUE(sIdsOf(sBarrier(peer, a), ST_STATE).empty());
    EXPECT_EQ(kBacklog, sU().CountPending(a.fFD));

    // A queued connection that is reset leaves the queue and the engine; taking one makes room.
    sRawSend(peer, a, sRawPacket(ST_RESET, 1020, kRawSeq + 1, 0));
    EXPECT_TRUE(sEventually([&] { return sU().CountPending(a.fFD) == kBacklog - 1; }));
    const ZRef<StreamerRW> taken = owner->MakeStreamerRW().DynamicCast<StreamerRW>();
    EXPECT_EQ(kBacklog - 2, sU().CountPending(a.fFD));
    EXPECT_EQ(Bytes(1, 0x5C), sReadAll(taken, 1));
    for (uint32_t id : {3000, 3002, 3004})
        sRawSend(peer, a, sRawPacket(ST_SYN, id, kRawSeq, 0));
    sBarrier(peer, a);
    EXPECT_EQ(kBacklog, sU().CountPending(a.fFD));
    EXPECT_LE(sU().CountConnections(), before + kBacklog + 1);

    // Nobody takes the rest.
    EXPECT_TRUE(sEventually([&] { return sU().CountPending(a.fFD) == 0; }, 60));
    EXPECT_GE(sSince(filled), kQueueMilliseconds / 1000.0 - 1);
    EXPECT_TRUE(sEventually([&] { return sU().CountConnections() == before + 1; }));
    taken->Close();
}

// With no Manager left, a socket's queue is reset and the socket given up once the engine has
// destroyed those connections.
TEST(UtpStreams, TheQueueAndTheSocketGoWithTheLastManager)
{
    using namespace quillane::UTP::Engine;
    TestUdp a, peer;
    const size_t before = sU().CountConnections();
    ZRef<Manager> owner = sU().pMakeManager(a.fFD);
    sRawSend(peer, a, sRawPacket(ST_SYN, 6000, kRawSeq, 0));
    sBarrier(peer, a);
    EXPECT_EQ(1u, sU().CountPending(a.fFD));
    owner.Clear();
    EXPECT_EQ(std::vector<uint16_t>({6000}), sIdsOf({sRawReceive(peer)}, ST_RESET));
    EXPECT_TRUE(sEventually(
        [&] { return sU().CountEndpoints() == 0 && sU().CountConnections() == before; }));
}

// A peer that ignores the advertised window is reset once a queued connection holds
// kQueuedWindow bytes, and fails its stream once kReceiveLimit bytes are queued on a taken one,
// instead of making the process hold whatever it sends.
TEST(UtpStreams, APeerThatIgnoresTheWindowFailsItsStreamAtTheLimit)
{
    using namespace quillane::UTP::Engine;
    TestUdp a, peer;
    const ZRef<Manager> owner = sU().pMakeManager(a.fFD);
    // In order, paced by barriers so that no datagram is lost at a full socket buffer.
    auto flood = [&](uint32_t iId, size_t iCount)
    {
        std::vector<Bytes> seen;
        for (size_t x = 1; x <= iCount; ++x)
        {
            sRawSend(peer, a, sRawPacket(ST_DATA, iId + 1, uint16_t(kRawSeq + x), 0, 1000));
            if (x % 25 == 0 || x == iCount)
            {
                const std::vector<Bytes> more = sBarrier(peer, a);
                seen.insert(seen.end(), more.begin(), more.end());
            }
        }
        return seen;
    };
    sRawSend(peer, a, sRawPacket(ST_SYN, 6998, kRawSeq, 0));
    sBarrier(peer, a);
    const std::vector<uint16_t> resets = sIdsOf(flood(6998, kQueuedWindow / 1000 + 5), ST_RESET);
    EXPECT_EQ(1, std::count(resets.begin(), resets.end(), 6998)); // then strays: 6999
    EXPECT_EQ(0u, sU().CountPending(a.fFD));

    sRawSend(peer, a, sRawPacket(ST_SYN, 7000, kRawSeq, 0));
    sBarrier(peer, a);
    const ZRef<StreamerRW> s = owner->MakeStreamerRW().DynamicCast<StreamerRW>();
    ASSERT_TRUE(s);
    flood(7000, kReceiveLimit / 1000 + 100);
    EXPECT_EQ(eState_Failed, s->GetState());
    EXPECT_LE(s->CountQueued(), kReceiveLimit);
    s->Close();
}

// Over IPv6 where there is a loopback (whole source addresses both ways). Every stream call
// hands the datagrams it made (data, acknowledgements and window updates, a FIN) to the system
// before it returns; the reader gets every byte, then the end; a second close, and a close after
// the engine destroyed the connection, do nothing.
TEST(UtpStreams, NothingIsHeldBackAndTheEndComesAfterEveryByte)
{
    TestUdp a6(quillane::test::eIPv6), b6(quillane::test::eIPv6), a4, b4;
    const bool six = a6.fFD >= 0 && b6.fFD >= 0;
    if (!six)
        std::fprintf(stderr, "No IPv6 loopback here: IPv4 only\n");
    Pair p = six ? sPair(a6, b6) : sPair(a4, b4);
    EXPECT_EQ(0u, sU().CountUnsent());
    const Bytes data = sPattern(300000, 9);
    sWithin(60,
            [&]
            {
                EXPECT_EQ(data.size(), sWrite(p.fConnected, data));
                EXPECT_EQ(0u, sU().CountUnsent());
                p.fConnected->Close();
                EXPECT_EQ(0u, sU().CountUnsent());
                p.fConnected->Close();
                EXPECT_TRUE(sReadAll(p.fAccepted, data.size() + 1) == data);
                EXPECT_EQ(0u, sU().CountUnsent());
                p.fAccepted->Close();
                EXPECT_EQ(0u, sU().CountUnsent());
            });
    EXPECT_TRUE(sEventually([&] { return p.fConnected->GetState() == eState_Destroyed; }));
    p.fConnected->Close();
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
        std::thread refuser([&] { sRefuseNextSyn(peer, a); });
        const Clock::time_point start = Clock::now();
        ZRef<StreamerRW> refused;
        sWithin(30, [&] { refused = sConnect(a.fFD, peer); });
        total += sSince(start);
        refuser.join();
        EXPECT_EQ(eState_Failed, refused->GetState());
        refused->Close();
    }
    EXPECT_LT(total, 1.0);
}
