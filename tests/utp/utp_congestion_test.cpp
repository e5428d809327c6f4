// Congestion control and timer tests on the virtual clock: the delay-based window and its bounds,
// the first round-trip samples and Karn's rule, fast resend from an EACK with dup_ack, the quota
// cap after idle, and the retransmission schedules with their give-up points.

#include "utp_test_support.h"

using namespace quillane::UTP::Engine;
using namespace utptest;

namespace
{

class UtpCongestion : public UtpFixture
{
};

struct WindowRow
{
    uint32_t fMaxWindow, fSndBuf, fOurDelayUs;
    size_t fAcked;
    int64_t fMinRttUs;
    uint32_t fMsSinceFull, fExpected;
};

} // namespace

TEST_F(UtpCongestion, WindowGrowsAndShrinksWithDelayWithinItsBounds)
{
    const WindowRow rows[] = {
        {1382, 1000000, 0, 1382, 50000, 0, 4382},           // zero delay, full window: +3000
        {10000, 1000000, 200000, 10000, 300000, 0, 7000},   // 200 ms of delay: -3000
        {10000, 1000000, 200000, 10000, 50000, 0, 11500},   // the round trip caps our delay
        {20, 1000000, 200000, 20, 400000, 0, 10},           // never below the floor
        {4000, 5000, 0, 4000, 1000, 0, 5000},               // never above sndbuf
        {1382, 1000000, 0, 1382, 1000, 301, 1382},          // not full lately: no growth
        {3000, 1000000, 150000, 3000, 1000000, 301, 1500}}; // ... but shrinking still applies
    Recorder r;
    UTPSocket* s = Establish(&r);
    for (const WindowRow& row : rows)
    {
        SCOPED_TRACE(row.fExpected);
        s->fMaxWindow = row.fMaxWindow;
        s->fSndBuf = row.fSndBuf;
        s->fLastWindowFull = sNow() - row.fMsSinceFull;
        for (uint32_t& d : s->fOurHistory.fCurrent)
            d = row.fOurDelayUs;
        sUpdateWindow(s, row.fAcked, row.fMinRttUs);
        EXPECT_EQ(row.fExpected, s->fMaxWindow);
    }
}

TEST_F(UtpCongestion, FirstRoundTripSamplesSetTheTimeout)
{
    Recorder r;
    UTPSocket* s = Establish(&r, 1, 200);
    EXPECT_EQ(200u, s->fRtt);
    EXPECT_EQ(100u, s->fRttVar);
    EXPECT_EQ(600u, s->fRto); // the 500 ms floor: the 10 ms paths below
}

TEST_F(UtpCongestion, RetransmittedSynIsNotSampledButRestartsTheTimer)
{
    Recorder r;
    UTPSocket* s = Create(kPeer, &r);
    UTP_Connect(s);
    EXPECT_EQ(std::vector<uint64_t>({3000}), Poll(3000)); // the SYN again at 3 s
    EXPECT_EQ(6000u, s->fBackoffTimeout);
    Advance(100);
    ASSERT_TRUE(Receive(SynAnswer(s)));
    EXPECT_EQ(CS_CONNECTED, UTP_GetState(s));
    EXPECT_EQ(0u, s->fRtt);
    EXPECT_EQ(3000u, s->fRto);
    EXPECT_EQ(3000u, s->fBackoffTimeout);
    EXPECT_EQ(sNow() + 3000, s->fTimeoutAt);
}

TEST_F(UtpCongestion, PacketsMarkedByATimeoutAreNotSampled)
{
    Recorder r;
    UTPSocket* s = Establish(&r, 1, 10);
    s->fMaxWindow = 100000;
    Advance(50);
    r.fOutgoing.assign(3 * s->fPacketSize, 'm');
    UTP_Write(s, r.fOutgoing.size());
    ASSERT_EQ(3u, s->fCurWindowPackets);
    Advance(500);
    UTP_CheckTimeouts(); // all three marked, only the oldest resent
    ASSERT_TRUE(s->fOutBuf.Get(uint16_t(sOldest(s) + 2))->fNeedResend);
    ASSERT_EQ(1u, s->fOutBuf.Get(uint16_t(sOldest(s) + 2))->fTransmissions);
    Advance(700);
    ASSERT_TRUE(Receive(PeerPacket(s, ST_STATE))); // one ACK for all: none measures the path
    EXPECT_EQ(0u, s->fCurWindowPackets);
    EXPECT_EQ(10u, s->fRtt);
    EXPECT_EQ(500u, s->fRto);
}

TEST_F(UtpCongestion, SynRetriesThenGivesUpAtNineSeconds)
{
    Recorder r;
    UTPSocket* s = Create(kPeer, &r);
    UTP_Connect(s);
    EXPECT_EQ(std::vector<uint64_t>({3000}), Poll(10000, &r));
    ASSERT_EQ(std::vector<int>({UTP_ETIMEDOUT}), r.fErrors);
    EXPECT_EQ(CS_RESET, UTP_GetState(s));
    EXPECT_EQ(kStartUs / 1000 + 9000, sNow()); // 3 s, then 6 s of back-off; 12 s would exceed
}

TEST_F(UtpCongestion, DataGivesUpAfterDoublingBackoff)
{
    Recorder r;
    UTPSocket* s = Establish(&r, 1, 10);
    ASSERT_EQ(500u, s->fRto);
    Advance(50); // let the send quota fill
    r.fOutgoing = "data";
    UTP_Write(s, 4);
    ASSERT_EQ(1u, fSent.size());
    const uint64_t start = sNow();
    // Resent after 0.5, 1, 2, 4 and 8 s; give-up 16 s later.
    EXPECT_EQ(std::vector<uint64_t>({500, 1500, 3500, 7500, 15500}), Poll(40000, &r));
    ASSERT_EQ(std::vector<int>({UTP_ETIMEDOUT}), r.fErrors);
    EXPECT_EQ(31500u, sNow() - start);
    EXPECT_EQ(CS_RESET, UTP_GetState(s));
    EXPECT_EQ(s->fPacketSize, s->fMaxWindow); // a time-out restarts the window at one packet
}

TEST_F(UtpCongestion, FastResendFromEackOnceUntilDupAckResetsAcrossTheWrap)
{
    Recorder r;
    UTPSocket* s = EstablishAndWrite(&r, 5, 65534); // every sequence comparison must wrap
    fSent.clear();
    // The last three arrived: bits 1, 2, 3 of a mask based at ack_nr + 2.
    PacketDraft eack = AckOf(s, 0);
    eack.fFirstExt = EXT_EACK;
    eack.fExtensions = {0, 4, 0x0E, 0, 0, 0};
    Advance(20);
    ASSERT_TRUE(Receive(eack));
    ASSERT_EQ(2u, fSent.size());
    EXPECT_EQ(65534, sHeaderOf(fSent[0].fBytes).fSeqNr);
    EXPECT_EQ(65535, sHeaderOf(fSent[1].fBytes).fSeqNr);
    EXPECT_EQ(3, s->fDupAck);
    EXPECT_EQ(0, s->fFastResendSeqNr);
    EXPECT_EQ(5u, s->fCurWindowPackets); // the oldest still counts up to the newest
    EXPECT_EQ(2u * s->fPacketSize, s->fCurWindow);
    EXPECT_EQ(1000000u / 2, s->fMaxWindow); // decayed once

    fSent.clear();
    Advance(20);
    ASSERT_TRUE(Receive(eack));
    ASSERT_TRUE(
        Receive(AckOf(s, 0))); // nothing new: dup_ack kept, fast_resend_seq_nr not moved back
    EXPECT_TRUE(fSent.empty());
    EXPECT_EQ(3, s->fDupAck);
    EXPECT_EQ(0, s->fFastResendSeqNr);

    ASSERT_TRUE(Receive(AckOf(s, 1))); // ack_nr moves forward: dup_ack reset
    EXPECT_EQ(0, s->fDupAck);
    EXPECT_EQ(0, s->fFastResendSeqNr);
    EXPECT_EQ(4u, s->fCurWindowPackets);
    EXPECT_EQ(1u * s->fPacketSize, s->fCurWindow);
}

TEST_F(UtpCongestion, HostileLongEackMaskIsBounded)
{
    Recorder r;
    UTPSocket* s = EstablishAndWrite(&r, 300);
    const uint16_t first = sOldest(s);
    fSent.clear();
    // 255 bytes of 0xB6 (bits 0, 3, 6 clear = missing): far more than 32 candidates. At most 4
    // go out, lowest first: ack_nr + 1, then the packets of bits 0, 3 and 6.
    PacketDraft eack = AckOf(s, 0);
    eack.fFirstExt = EXT_EACK;
    eack.fExtensions = {0, 255};
    eack.fExtensions.insert(eack.fExtensions.end(), 255, 0xB6);
    ASSERT_TRUE(Receive(eack));
    ASSERT_EQ(4u, fSent.size());
    const int offsets[4] = {0, 1, 4, 7};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(uint16_t(first + offsets[i]), sHeaderOf(fSent[i].fBytes).fSeqNr);
    EXPECT_EQ(uint16_t(first + 8), s->fFastResendSeqNr);
}

TEST_F(UtpCongestion, QuotaIsCappedAfterIdle)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    Poll(10000);                  // idle: the quota grows by max_window * 100 every 50 ms
    EXPECT_TRUE(UTP_Write(s, 0)); // a sleeping connection's quota catches up here
    EXPECT_EQ(int32_t(100 * std::max(s->fMaxWindow / 2, 5 * s->fPacketSize)), s->fQuota);
    // Growth between timer steps saturates instead of wrapping negative.
    s->fMaxWindow = 3000000;
    s->fQuota = INT32_MAX - 10;
    Advance(1000);
    sRefreshNow();
    sUpdateQuota(s);
    EXPECT_EQ(INT32_MAX, s->fQuota);
}

TEST_F(UtpCongestion, DelayHistoryKeepsTheMinuteBase)
{
    DelayHistory h;
    h.Clear(0);
    uint32_t t = 0;
    for (uint32_t sample : {5000u, 7000u, 6000u, 9000u})
        h.Add(sample, t += 10);
    EXPECT_EQ(5000u, h.fBase);
    EXPECT_EQ(1000u, h.Value()); // smallest of the last three: 2000, 1000, 4000
    h.Add(8000, 60010);          // a new minute opens a slot; the base is the smallest of all slots
    EXPECT_EQ(1u, h.fBaseIndex);
    EXPECT_EQ(5000u, h.fBase);
    // Wrapping comparison: a sample just below the 32-bit wrap is "less" than 100.
    h.Clear(0);
    h.Add(100, 0);
    h.Add(0xFFFFFFF0u, 1);
    EXPECT_EQ(0xFFFFFFF0u, h.fBase);
    h.Shift(0x20);
    EXPECT_EQ(0x10u, h.fBase);
}
