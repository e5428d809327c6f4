// Congestion control and timer tests on the virtual clock: the LEDBAT window and its bounds, the
// first round-trip samples and Karn's rule, fast resend from an EACK with dup_ack, the quota cap
// after idle, and the retransmission schedules with their give-up points.

#include "utp_test_support.h"

using namespace quillane::UTP;
using namespace utptest;

namespace
{

class UtpCongestion : public UtpFixture
{
  protected:
    // Polls the timers every 50 ms (as the runner does) until iMs have passed; returns the
    // times (ms after the start of polling) at which the engine sent something.
    std::vector<uint64_t> Poll(uint64_t iMs, Recorder* iStopOnError = nullptr)
    {
        std::vector<uint64_t> times;
        for (uint64_t t = 0; t <= iMs; t += 50)
        {
            fSent.clear();
            UTP_CheckTimeouts();
            if (!fSent.empty())
                times.push_back(t);
            if (iStopOnError && !iStopOnError->fErrors.empty())
                break;
            Advance(50);
        }
        return times;
    }

    void SetOurDelay(UTPSocket* s, uint32_t iDelay)
    {
        for (uint32_t& d : s->fOurHistory.fCurrent)
            d = iDelay;
    }
};

} // namespace

TEST_F(UtpCongestion, WindowGrowsAndShrinksWithDelay)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    // Zero delay, a full window acknowledged, window full just now: +3000.
    s->fMaxWindow = 1382;
    s->fLastWindowFull = sNow();
    SetOurDelay(s, 0);
    sUpdateWindow(s, 1382, 50000);
    EXPECT_EQ(4382u, s->fMaxWindow);

    // 200 ms of delay (the smaller of history and round trip) shrinks by 3000.
    s->fMaxWindow = 10000;
    SetOurDelay(s, 200000);
    sUpdateWindow(s, 10000, 300000);
    EXPECT_EQ(7000u, s->fMaxWindow);
    // The round trip bounds our delay from above: 50 ms -> half the gain.
    s->fMaxWindow = 10000;
    s->fLastWindowFull = sNow();
    sUpdateWindow(s, 10000, 50000);
    EXPECT_EQ(11500u, s->fMaxWindow);

    // Never below 10, never above sndbuf.
    s->fMaxWindow = 20;
    sUpdateWindow(s, 20, 400000);
    EXPECT_EQ(10u, s->fMaxWindow);
    s->fSndBuf = 5000;
    s->fMaxWindow = 4000;
    SetOurDelay(s, 0);
    sUpdateWindow(s, 4000, 1000);
    EXPECT_EQ(5000u, s->fMaxWindow);
}

TEST_F(UtpCongestion, NoGrowthWhenTheWindowWasNotFullLately)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    SetOurDelay(s, 0);
    s->fMaxWindow = 1382;
    s->fLastWindowFull = sNow();
    Advance(301);
    sRefreshNow();
    sUpdateWindow(s, 1382, 1000);
    EXPECT_EQ(1382u, s->fMaxWindow);
    // Shrinking is not locked out: 150 ms of delay, half of B = max_window -> -1500.
    s->fMaxWindow = 3000;
    SetOurDelay(s, 150000);
    sUpdateWindow(s, 3000, 1000000);
    EXPECT_EQ(1500u, s->fMaxWindow);
}

TEST_F(UtpCongestion, FirstRoundTripSamplesSetTheTimeout)
{
    Recorder r;
    UTPSocket* s = Establish(&r, 1, 200);
    EXPECT_EQ(200u, s->fRtt);
    EXPECT_EQ(100u, s->fRttVar);
    EXPECT_EQ(600u, s->fRto);
    UTP_FreeAll();
    UTPSocket* t = Establish(&r, 1, 50);
    EXPECT_EQ(50u, t->fRtt);
    EXPECT_EQ(500u, t->fRto);
}

TEST_F(UtpCongestion, RetransmittedPacketIsNotSampledButRestartsTheTimer)
{
    Recorder r;
    UTPSocket* s = Create(kPeer, &r);
    UTP_Connect(s);
    EXPECT_EQ(1u, fSent.size());
    EXPECT_EQ(1u, Poll(3000).size()); // the SYN again at 3 s
    EXPECT_EQ(6000u, s->fBackoffTimeout);
    Advance(100);
    PacketSpec answer = PeerPacket(s, ST_STATE);
    answer.fSeqNr = 1000;
    ASSERT_TRUE(Receive(sBuild(answer), kPeer));
    EXPECT_EQ(CS_CONNECTED, UTP_GetState(s));
    EXPECT_EQ(0u, s->fRtt);
    EXPECT_EQ(3000u, s->fRto);
    EXPECT_EQ(3000u, s->fBackoffTimeout);
    EXPECT_EQ(sNow() + 3000, s->fTimeoutAt);
}

TEST_F(UtpCongestion, SynRetriesThenGivesUpAtNineSeconds)
{
    Recorder r;
    UTPSocket* s = Create(kPeer, &r);
    UTP_Connect(s);
    std::vector<uint64_t> times = Poll(10000, &r);
    EXPECT_EQ(std::vector<uint64_t>({3000}), times); // the SYN again at 3 s, nothing more
    ASSERT_EQ(std::vector<int>({UTP_ETIMEDOUT}), r.fErrors);
    EXPECT_EQ(CS_RESET, UTP_GetState(s));
    // The give-up came at 9 s: 3 s, then 6 s of back-off; 12 s would exceed 6 s.
    EXPECT_EQ(kStartUs / 1000 + 9000, sNow());
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
    std::vector<uint64_t> times = Poll(40000, &r);
    // Retransmissions after 0.5, 1, 2, 4 and 8 s; give-up 16 s later.
    EXPECT_EQ(std::vector<uint64_t>({500, 1500, 3500, 7500, 15500}), times);
    ASSERT_EQ(std::vector<int>({UTP_ETIMEDOUT}), r.fErrors);
    EXPECT_EQ(31500u, sNow() - start);
    EXPECT_EQ(CS_RESET, UTP_GetState(s));
    // After a time-out the window restarted at one packet.
    EXPECT_EQ(s->fPacketSize, s->fMaxWindow);
}

TEST_F(UtpCongestion, FastResendFromEackOnceUntilDupAckResets)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    s->fMaxWindow = 100000;
    s->fQuota = 10000000;
    r.fOutgoing.assign(5 * s->fPacketSize, 'x');
    UTP_Write(s, r.fOutgoing.size());
    ASSERT_EQ(5u, fSent.size());
    ASSERT_EQ(5u, s->fCurWindowPackets);
    const uint16_t first = sOldest(s);
    fSent.clear();

    // Packets first+2 .. first+4 arrived: bits 1, 2, 3 of a mask based at ack_nr + 2.
    PacketSpec eack = PeerPacket(s, ST_STATE);
    eack.fAckNr = uint16_t(first - 1);
    eack.fFirstExt = EXT_EACK;
    eack.fExtensions = {0, 4, 0x0E, 0, 0, 0};
    Advance(20);
    ASSERT_TRUE(Receive(sBuild(eack), kPeer));
    ASSERT_EQ(2u, fSent.size());
    EXPECT_EQ(first, sHeaderOf(fSent[0].fBytes, 1).fSeqNr);
    EXPECT_EQ(uint16_t(first + 1), sHeaderOf(fSent[1].fBytes, 1).fSeqNr);
    EXPECT_EQ(3, s->fDupAck);
    // The three are released, but the oldest still counts the packets up to the newest.
    EXPECT_EQ(5u, s->fCurWindowPackets);
    EXPECT_EQ(2u * s->fPacketSize, s->fCurWindow);
    EXPECT_EQ(100000u / 2, s->fMaxWindow); // decayed once

    fSent.clear();
    Advance(20);
    ASSERT_TRUE(Receive(sBuild(eack), kPeer));
    EXPECT_TRUE(fSent.empty());

    // An ACK that moves ack_nr forward resets dup_ack.
    PacketSpec ack = PeerPacket(s, ST_STATE);
    ack.fAckNr = first;
    ASSERT_TRUE(Receive(sBuild(ack), kPeer));
    EXPECT_EQ(0, s->fDupAck);
    EXPECT_EQ(4u, s->fCurWindowPackets);
    EXPECT_EQ(1u * s->fPacketSize, s->fCurWindow);
}

TEST_F(UtpCongestion, HostileLongEackMaskIsBounded)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    s->fMaxWindow = 1000000;
    s->fQuota = 100000000;
    s->fSndBuf = 1000000;
    r.fOutgoing.assign(300 * s->fPacketSize, 'y');
    UTP_Write(s, r.fOutgoing.size());
    ASSERT_EQ(300u, s->fCurWindowPackets);
    const uint16_t first = sOldest(s);
    fSent.clear();

    // A 255-byte mask of 0xB6 bytes (bits 0, 3 and 6 of each byte clear: those packets are
    // missing): far more than 32 candidates. The lowest ones are kept, and at most 4 are resent:
    // the first missing (ack_nr + 1), then the packets of bits 0, 3 and 6.
    PacketSpec eack = PeerPacket(s, ST_STATE);
    eack.fAckNr = uint16_t(first - 1);
    eack.fFirstExt = EXT_EACK;
    eack.fExtensions = {0, 255};
    for (int i = 0; i < 255; ++i)
        eack.fExtensions.push_back(0xB6);
    ASSERT_TRUE(Receive(sBuild(eack), kPeer));
    ASSERT_EQ(4u, fSent.size());
    const uint16_t expected[4] = {first, uint16_t(first + 1), uint16_t(first + 4),
                                  uint16_t(first + 7)};
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(expected[i], sHeaderOf(fSent[i].fBytes, 1).fSeqNr);
    EXPECT_EQ(uint16_t(first + 8), s->fFastResendSeqNr);
}

TEST_F(UtpCongestion, QuotaIsCappedAfterIdle)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    Poll(10000); // idle, the quota grows by max_window * 100 every 50 ms
    EXPECT_TRUE(UTP_Write(s, 0)); // (an idle connection is not stepped: its quota catches up)
    const int32_t limit = int32_t(100 * std::max(s->fMaxWindow / 2, 5 * s->fPacketSize));
    EXPECT_EQ(limit, s->fQuota);
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
    EXPECT_EQ(0u, h.Value());
    h.Add(5000, 0);
    h.Add(7000, 10);
    h.Add(6000, 20);
    EXPECT_EQ(5000u, h.fBase);
    EXPECT_EQ(0u, h.Value());
    h.Add(9000, 30);
    EXPECT_EQ(1000u, h.Value()); // 2000, 1000, 4000
    // A new minute starts a slot; the base stays the smallest of all 13 slots.
    h.Add(8000, 60001);
    EXPECT_EQ(1u, h.fBaseIndex);
    EXPECT_EQ(5000u, h.fBase);
    // Wrapping comparison: a sample just below the 32-bit wrap is "less" than 100.
    DelayHistory w;
    w.Clear(0);
    w.Add(100, 0);
    w.Add(0xFFFFFFF0u, 1);
    EXPECT_EQ(0xFFFFFFF0u, w.fBase);
    w.Shift(0x20);
    EXPECT_EQ(0x10u, w.fBase);
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
    UTP_CheckTimeouts(); // time-out: all three marked, the oldest resent
    ASSERT_TRUE(s->fOutBuf.Get(uint16_t(sOldest(s) + 2))->fNeedResend);
    ASSERT_EQ(1u, s->fOutBuf.Get(uint16_t(sOldest(s) + 2))->fTransmissions);
    Advance(700);
    // One cumulative ACK for all three: none of them measures the path.
    PacketSpec ack = PeerPacket(s, ST_STATE);
    ASSERT_TRUE(Receive(sBuild(ack), kPeer));
    EXPECT_EQ(0u, s->fCurWindowPackets);
    EXPECT_EQ(10u, s->fRtt);
    EXPECT_EQ(500u, s->fRto);
}
