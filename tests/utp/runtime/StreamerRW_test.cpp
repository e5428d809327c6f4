// Streams over real loopback sockets: reads, writes, the window against a slow reader, the end
// after every byte, and peers that ignore the window.

#include "tests/utp/runtime/runtime_test_support.h"

using namespace quillane::test;

TEST(StreamerRW, SlowReaderKeepsTheQueueWithinTheWindowAndLosesNothing)
{
    TestUdp a, b;
    StalledWriter w(a, b);
    // The queue stops growing once the window has closed.
    size_t before = 0, queued = w.fPair.fAccepted->CountQueued();
    for (int x = 0; x < 60 && queued != before; ++x)
    {
        before = queued;
        sPause(500);
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

TEST(StreamerRW, AWriteEndsWithItsCountWhenThePeerHasFinished)
{
    TestUdp a, b;
    StalledWriter w(a, b);
    w.fPair.fAccepted->Close();
    sWithin(60, [&] { sEventually([&] { return w.fDone.load(); }, 120); });
    EXPECT_GE(w.fWritten, w.fPair.fAccepted->CountQueued());
    EXPECT_LT(w.fWritten, w.fData.size());
}

TEST(StreamerRW, OverlappingWritesOnOneStreamDoNotInterleave)
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

// A peer that ignores the advertised window is reset once a queued connection holds
// kQueuedWindow bytes, and fails its stream once kReceiveLimit bytes are queued on a taken one,
// instead of making the process hold whatever it sends.
TEST(StreamerRW, APeerThatIgnoresTheWindowFailsItsStreamAtTheLimit)
{
    using namespace quillane::UTP::Engine;
    TestUdp a, peer;
    const ZRef<Manager> owner = sU().MakeManager(a.fFD);
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
TEST(StreamerRW, NothingIsHeldBackAndTheEndComesAfterEveryByte)
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
