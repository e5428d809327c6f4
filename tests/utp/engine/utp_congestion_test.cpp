// Congestion control and timer tests on the virtual clock: the delay-based window and its bounds,
// round-trip samples and Karn's rule, the retransmission schedules with their give-up points,
// fast resend from an EACK, the quota after idle.

#include "tests/utp/engine/utp_test_support.h"

using namespace quillane::test;

using UtpCongestion = UtpFixture;

TEST_F(UtpCongestion, WindowGrowsAndShrinksWithDelayWithinItsBounds)
{
    struct Row
    {
        uint32_t fMaxWindow, fSndBuf, fOurDelayUs;
        size_t fAcked;
        int64_t fMinRttUs;
        uint32_t fMsSinceFull, fExpected;
    };
    const Row rows[] = {
        {1382, 1000000, 0, 1382, 50000, 0, 4382},           // zero delay, full window: +3000
        {10000, 1000000, 200000, 10000, 300000, 0, 7000},   // 200 ms of delay: -3000
        {10000, 1000000, 200000, 10000, 50000, 0, 11500},   // the round trip caps our delay
        {20, 1000000, 200000, 20, 400000, 0, 10},           // never below the floor
        {4000, 5000, 0, 4000, 1000, 0, 5000},               // never above sndbuf
        {1382, 1000000, 0, 1382, 1000, 301, 1382},          // not full lately: no growth
        {3000, 1000000, 150000, 3000, 1000000, 301, 1500}}; // ... but shrinking still applies
    UTPSocket* s = Establish(&fRec);
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.fExpected);
        s->fCong.fMaxWindow = row.fMaxWindow;
        s->fSend.fSndBuf = row.fSndBuf;
        s->fCong.fLastWindowFull = sNow() - row.fMsSinceFull;
        for (uint32_t& d : s->fCong.fOurHistory.fCurrent)
            d = row.fOurDelayUs;
        sUpdateWindow(s, row.fAcked, row.fMinRttUs);
        EXPECT_EQ(row.fExpected, s->fCong.fMaxWindow);
    }
}

// The first sample sets the round trip and half of it as its variance (time-out: round trip + 4
// variances, at least 500 ms). A packet sent twice, or marked for resending by a time-out (it
// usually arrived long ago, and its late ACK measures the time-out, not the path), gives none.
TEST_F(UtpCongestion, RoundTripSamplesSkipResentAndMarkedPackets)
{
    UTPSocket* s = Establish(&fRec, 1, 200);
    EXPECT_EQ(200u, s->fCong.fRtt);
    EXPECT_EQ(100u, s->fCong.fRttVar);
    EXPECT_EQ(600u, s->fCong.fRto);
    s->fCong.fMaxWindow = 100000;
    Advance(50);
    fRec.fOutgoing.assign(3 * s->fPeer.fPacketSize, 'm');
    UTP_Write(s, fRec.fOutgoing.size());
    ASSERT_EQ(3u, s->fSend.fCurWindowPackets);
    Sweep(600); // all three marked, the oldest resent
    ASSERT_TRUE(s->fSend.fOutBuf.Get(uint16_t(sOldest(s) + 2))->fNeedResend);
    Advance(700);
    ASSERT_TRUE(Receive(Peer(s, ST_STATE)));
    EXPECT_EQ(0u, s->fSend.fCurWindowPackets);
    EXPECT_EQ(200u, s->fCong.fRtt);
    EXPECT_EQ(600u, s->fCong.fRto);
}

// Resends back off from the time-out (3 s for a SYN; 500 ms after a 10 ms round trip) until the
// next would reach 6 s (a SYN) or 30 s: then ETIMEDOUT, the window restarted at one packet. An
// unacknowledged FIN gives up alike, and its record goes. The peer's FIN while our data is
// unacknowledged ends the stream with ECONNRESET (60 ms, seen at the 100 ms sweep).
TEST_F(UtpCongestion, RetransmissionsBackOffThenGiveUp)
{
    const int kSyn = 0, kData = 1, kFin = 2, kDataAtPeersFin = 3;
    struct Row
    {
        int fWhat;
        std::vector<uint64_t> fResends;
        uint32_t fGiveUpMs;
        int fError;
    };
    const std::vector<uint64_t> backoff = {500, 1500, 3500, 7500, 15500};
    const Row rows[] = {{kSyn, {3000}, 9000, UTP_ETIMEDOUT},
                        {kData, backoff, 31500, UTP_ETIMEDOUT},
                        {kFin, backoff, 31500, UTP_ETIMEDOUT},
                        {kDataAtPeersFin, {}, 100, UTP_ECONNRESET}};
    for (const Row& row : rows)
    {
        SCOPED_TRACE(row.fWhat);
        Recorder r;
        UTPSocket* s = row.fWhat == kSyn ? Create(kPeer, &r) : Establish(&r);
        if (row.fWhat == kSyn)
            UTP_Connect(s);
        else
        {
            s->fCong.fMaxWindow = 100000;
            Sweep(50); // the send quota fills
            r.fOutgoing = "data";
            if (row.fWhat == kFin)
                UTP_Close(s);
            else
                UTP_Write(s, 4);
        }
        if (row.fWhat == kDataAtPeersFin)
        {
            PacketDraft fin = AckOf(s, 0);
            fin.fType = ST_FIN;
            EXPECT_TRUE(Receive(fin));
        }
        fSent.clear();
        const uint32_t start = sNow();
        EXPECT_EQ(row.fResends, Poll(40000, &r));
        EXPECT_EQ(std::vector<int>({row.fError}), r.fErrors);
        EXPECT_EQ(row.fGiveUpMs, sNow() - start);
        if (row.fWhat == kFin)
        {
            EXPECT_EQ(1, r.Count(STATE_CHANGE_DESTROYING));
            continue;
        }
        EXPECT_EQ(CS_RESET, UTP_GetState(s));
        EXPECT_EQ(row.fWhat == kDataAtPeersFin ? 100000u : s->fPeer.fPacketSize,
                  s->fCong.fMaxWindow);
        UTP_Close(s);
        Sweep();
    }
}

// Three later packets arrived: the two missing ones are resent once and the window decays; the
// same EACK again, or an ACK of nothing new, resends nothing; progress resets the duplicate
// count. The sequence numbers wrap in between.
TEST_F(UtpCongestion, FastResendFromEackOnce)
{
    UTPSocket* s = EstablishAndWrite(&fRec, 5, 65534);
    PacketDraft eack = AckOf(s, 0);
    eack.fFirstExt = EXT_EACK;
    eack.fExtensions = {0, 4, 0x0E, 0, 0, 0}; // bits 1-3 of a mask based at ack_nr + 2
    Advance(20);
    ASSERT_TRUE(Receive(eack));
    ASSERT_EQ(2u, fSent.size());
    EXPECT_EQ(65534, sHeaderOf(fSent[0].fBytes).fSeqNr);
    EXPECT_EQ(65535, sHeaderOf(fSent[1].fBytes).fSeqNr);
    EXPECT_EQ(5u, s->fSend.fCurWindowPackets); // the oldest still counts up to the newest
    EXPECT_EQ(1000000u / 2, s->fCong.fMaxWindow);
    fSent.clear();
    Advance(20);
    ASSERT_TRUE(Receive(eack));
    ASSERT_TRUE(Receive(AckOf(s, 0)));
    EXPECT_TRUE(fSent.empty());
    ASSERT_TRUE(Receive(AckOf(s, 1)));
    EXPECT_EQ(0, s->fSend.fDupAck);
    EXPECT_EQ(0, s->fSend.fFastResendSeqNr); // 65535 lies before 0: not moved back across the wrap
    EXPECT_EQ(4u, s->fSend.fCurWindowPackets);
}

// 255 mask bytes of 0xB6 (bits 0, 3 and 6 clear: missing) name far more than the 32 candidates
// kept: at most 4 go out, lowest first: ack_nr + 1, then the packets of bits 0, 3 and 6.
TEST_F(UtpCongestion, HostileLongEackMaskIsBounded)
{
    UTPSocket* s = EstablishAndWrite(&fRec, 300);
    const uint16_t first = sOldest(s);
    PacketDraft eack = AckOf(s, 0);
    eack.fFirstExt = EXT_EACK;
    eack.fExtensions.assign(257, 0xB6);
    eack.fExtensions[0] = 0;
    eack.fExtensions[1] = 255;
    ASSERT_TRUE(Receive(eack));
    ASSERT_EQ(4u, fSent.size());
    const int offsets[4] = {0, 1, 4, 7};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(uint16_t(first + offsets[i]), sHeaderOf(fSent[i].fBytes).fSeqNr);
}

TEST_F(UtpCongestion, QuotaIsCappedAfterIdle)
{
    UTPSocket* s = Establish(&fRec);
    Poll(10000);                  // idle: the quota grows by max_window * 100 every 50 ms
    EXPECT_TRUE(UTP_Write(s, 0)); // a sleeping connection's quota catches up here
    EXPECT_EQ(int32_t(100 * std::max(s->fCong.fMaxWindow / 2, 5 * s->fPeer.fPacketSize)),
              s->fCong.fQuota);
    // Growth between timer steps saturates instead of wrapping negative.
    s->fCong.fMaxWindow = 3000000;
    s->fCong.fQuota = INT32_MAX - 10;
    Advance(1000);
    sRefreshNow();
    sUpdateQuota(s);
    EXPECT_EQ(INT32_MAX, s->fCong.fQuota);
}
