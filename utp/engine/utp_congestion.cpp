// Congestion control and timers. See utp_congestion.h.
//
// Threads: one at a time (the caller serialises every engine call).

#include "utp/engine/utp_congestion.h"
#include "utp/engine/utp_clock.h"
#include "utp/engine/utp_send.h"
#include "utp/engine/utp_socket.h"

#include <algorithm>
#include <climits>

namespace quillane
{
namespace UTP
{
namespace Engine
{

namespace
{

const uint32_t kTargetDelay = 100000; // µs of queuing delay the window aims at
const double kMaxGain = 3000.0;       // bytes per window of acknowledged bytes at zero delay
const uint32_t kGrowthLockout =
    300; // ms since the window was last full after which it stops growing
const uint32_t kDecayInterval = 100;     // ms between two halvings of the window for losses
const uint32_t kClockDriftLimit = 10000; // µs: a fall of their base up to this is our clock's drift
const uint32_t kMaxResendCandidates = 32; // packets an EACK may name for fast resend
const uint32_t kMaxFastResends = 4;       // packets one EACK resends at most
const uint32_t kQuietHorizon = 60000;     // ms a quiet connection sleeps at most

// True when iSeq lies in the send buffer after the oldest packet.
bool spInFlightAfterOldest(const UTPSocket* s, uint16_t iSeq)
{
    return int(uint16_t(s->fSend.fSeqNr - iSeq - 1)) < int(s->fSend.fCurWindowPackets) - 1;
}

bool spMaskBit(const uint8_t* iMask, size_t iBit)
{
    return (iMask[iBit >> 3] >> (iBit & 7)) & 1;
}

// The quota a timer step leaves at most: 100 * max(max_window / 2, 5 * packet_size).
int64_t spQuotaLimit(const UTPSocket* s)
{
    const int32_t half = int32_t(s->fCong.fMaxWindow / 2);
    const int32_t fivePackets = int32_t(5 * s->fPeer.fPacketSize);
    return int64_t(100) * (half > fivePackets ? half : fivePackets);
}

void spAddQuota(UTPSocket* s, uint32_t iAdd)
{
    // Saturate: between two timer steps (which cap it) the quota must not wrap negative.
    const int64_t sum = int64_t(s->fCong.fQuota) + int64_t(iAdd);
    s->fCong.fQuota = sum > INT32_MAX ? INT32_MAX : int32_t(sum);
}

// The newest round trip of a packet sent once, in ms, into rtt, its variance and rto.
void spRoundTripSample(UTPSocket* s, uint32_t iSample)
{
    if (s->fCong.fRtt == 0)
    {
        s->fCong.fRtt = iSample;
        s->fCong.fRttVar = iSample / 2;
    }
    else
    {
        const int32_t diff = int32_t(s->fCong.fRtt - iSample);
        const int32_t delta = (diff < 0 ? -diff : diff) - int32_t(s->fCong.fRttVar);
        s->fCong.fRttVar = uint32_t(int32_t(s->fCong.fRttVar) + delta / 4);
        s->fCong.fRtt = s->fCong.fRtt - s->fCong.fRtt / 8 + iSample / 8;
        s->fCong.fRttHistory.Add(iSample, sNow());
    }
    const uint32_t rto = s->fCong.fRtt + 4 * s->fCong.fRttVar;
    s->fCong.fRto = rto > kMinRto ? rto : kMinRto;
}

// Counts a sent packet that the peer acknowledges: its payload into ioBytes, its round trip (µs)
// into the least, ioMinRtt. Slots without a sent packet count nothing.
void spSample(const OutPacket* iPacket, uint64_t iNowUs, size_t& ioBytes, int64_t& ioMinRtt)
{
    if (!iPacket || iPacket->fTransmissions == 0)
        return;
    ioBytes += iPacket->fPayload;
    const int64_t rtt = int64_t(iNowUs - iPacket->fTimeSent);
    if (rtt < ioMinRtt)
        ioMinRtt = rtt;
}

void spDecayWindow(UTPSocket* s)
{
    const uint32_t now = sNow();
    if (int32_t(now - s->fCong.fLastDecay) < int32_t(kDecayInterval))
        return;
    s->fCong.fMaxWindow = uint32_t(s->fCong.fMaxWindow * 0.5);
    s->fCong.fLastDecay = now;
    if (s->fCong.fMaxWindow < kMinWindow)
        s->fCong.fMaxWindow = kMinWindow;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Quota and writability

void sCatchUpQuota(UTPSocket* s)
{
    if (!s->fCong.fQuotaCatchUp)
        return;
    s->fCong.fQuotaCatchUp = false;
    const uint32_t now = sNow();
    const uint32_t dt = now - s->fCong.fLastQuotaUpdate;
    s->fCong.fLastQuotaUpdate = now;
    // The skipped steps would each have added their share and capped the sum, and an asleep
    // connection's window does not change: one addition (without the 32-bit wrap of a single
    // long step) and one cap give the same result.
    const uint64_t base = s->fCong.fRttHistory.fBase ? s->fCong.fRttHistory.fBase : 50;
    const uint64_t add = uint64_t(s->fCong.fMaxWindow) * dt * 100 / base;
    const int64_t limit = spQuotaLimit(s);
    if (s->fCong.fQuota < limit)
        s->fCong.fQuota =
            int32_t(std::min<int64_t>(int64_t(s->fCong.fQuota) + int64_t(add), limit));
}

void sUpdateQuota(UTPSocket* s)
{
    if (s->fCong.fQuotaCatchUp)
        return sCatchUpQuota(s);
    const uint32_t now = sNow();
    const uint32_t dt = now - s->fCong.fLastQuotaUpdate;
    if (dt == 0)
        return;
    s->fCong.fLastQuotaUpdate = now;
    const uint32_t base = s->fCong.fRttHistory.fBase ? s->fCong.fRttHistory.fBase : 50;
    uint32_t add = s->fCong.fMaxWindow * dt * 100 / base;
    if (add > s->fCong.fMaxWindow * 100 && add > 300000)
        add = s->fCong.fMaxWindow;
    spAddQuota(s, add);
}

bool sWritable(UTPSocket* s, uint32_t iCount)
{
    uint32_t maxSend =
        s->fCong.fMaxWindow < s->fSend.fSndBuf ? s->fCong.fMaxWindow : s->fSend.fSndBuf;
    if (s->fSend.fPeerWindow < maxSend)
        maxSend = s->fSend.fPeerWindow;
    if (s->fSend.fCurWindow + s->fPeer.fPacketSize >= s->fCong.fMaxWindow)
        s->fCong.fLastWindowFull = sNow();
    if (s->fCong.fQuota / 100 < int64_t(iCount))
        return false;
    if (s->fSend.fCurWindowPackets >= kMaxSendPackets)
        return false;
    if (s->fSend.fCurWindow + s->fPeer.fPacketSize <= maxSend)
        return true;
    return s->fCong.fMaxWindow < iCount && s->fSend.fCurWindow < s->fCong.fMaxWindow &&
           s->fSend.fCurWindowPackets == 0;
}

// ---------------------------------------------------------------------------------------------
// Acknowledgements and round trips

int sAckPacket(UTPSocket* s, uint16_t iSeq, uint64_t iNowUs)
{
    OutPacket* p = s->fSend.fOutBuf.Get(iSeq);
    if (!p)
        return 1;
    if (p->fTransmissions == 0)
        return 2;
    s->fSend.fOutBuf.Put(iSeq, nullptr);
    // Only a packet sent once gives an unambiguous sample, and only while no time-out has
    // declared it lost: a marked packet was usually received long ago, and its late
    // acknowledgement (after the resend of an older packet filled the hole) measures the
    // time-out, not the path, and would inflate rto until one time-out ends the connection.
    if (p->fTransmissions == 1 && !p->fNeedResend)
        spRoundTripSample(s, uint32_t((iNowUs - p->fTimeSent) / 1000));
    s->fTimers.fBackoffTimeout = s->fCong.fRto;
    s->fTimers.fTimeoutAt = sNow() + s->fCong.fRto;
    if (!p->fNeedResend)
        s->fSend.fCurWindow -= p->fPayload;
    sFreeOutPacket(p);
    return 0;
}

size_t sAckedBytes(UTPSocket* s, uint32_t iCount, uint16_t iAckNr, const uint8_t* iEack,
                   size_t iEackLength, uint64_t iNowUs, int64_t& oMinRtt)
{
    size_t acked = 0;
    oMinRtt = INT64_MAX;
    const uint16_t oldest = sOldest(s);
    for (uint32_t i = 0; i < iCount; ++i)
        spSample(s->fSend.fOutBuf.Get(uint16_t(oldest + i)), iNowUs, acked, oMinRtt);
    // Bit i of the mask names ack_nr + 2 + i.
    const uint16_t base = uint16_t(iAckNr + 2);
    for (size_t i = iEack ? iEackLength * 8 : 0; i-- > 0;)
    {
        const uint16_t v = uint16_t(base + i);
        if (spInFlightAfterOldest(s, v) && spMaskBit(iEack, i))
            spSample(s->fSend.fOutBuf.Get(v), iNowUs, acked, oMinRtt);
    }
    return acked;
}

// ---------------------------------------------------------------------------------------------
// Delay and the congestion window

void sDelayAndWindow(UTPSocket* s, const PacketHeader& iHeader, uint64_t iNowUs, size_t iAckedBytes,
                     int64_t iMinRtt)
{
    const uint32_t now = sNow();
    const uint32_t sample = iHeader.fTimestamp ? uint32_t(iNowUs) - iHeader.fTimestamp : 0;
    s->fCong.fReplyDelay = sample;

    const uint32_t b0 = s->fCong.fTheirHistory.fBase;
    if (sample != 0)
        s->fCong.fTheirHistory.Add(sample, now);
    const uint32_t b1 = s->fCong.fTheirHistory.fBase;
    // Their base falling a little means our clock drifted against theirs: mirror it into ours.
    if (b0 != 0 && sWrappingLess(b1, b0) && b0 - b1 <= kClockDriftLimit)
        s->fCong.fOurHistory.Shift(b0 - b1);

    const uint32_t reported = iHeader.fReplyDelay == kNoDelay ? 0 : iHeader.fReplyDelay;
    if (reported != 0)
        s->fCong.fOurHistory.Add(reported, now);

    const uint32_t minRtt = uint32_t(uint64_t(iMinRtt));
    const uint32_t ours = s->fCong.fOurHistory.Value();
    if (ours > minRtt)
        s->fCong.fOurHistory.Shift(ours - minRtt);

    if (reported != 0 && iAckedBytes > 0)
        sUpdateWindow(s, iAckedBytes, iMinRtt);
}

void sUpdateWindow(UTPSocket* s, size_t iAckedBytes, int64_t iMinRtt)
{
    const uint32_t minRtt = uint32_t(uint64_t(iMinRtt));
    const uint32_t ours = s->fCong.fOurHistory.Value();
    const uint32_t ourDelay = ours < minRtt ? ours : minRtt;
    const int32_t offTarget = int32_t(kTargetDelay - ourDelay);
    const double acked = double(iAckedBytes);
    const double window = double(s->fCong.fMaxWindow);
    const double windowFactor =
        (acked < window ? acked : window) / (acked > window ? acked : window);
    const double delayFactor = double(offTarget) / double(kTargetDelay);
    double gain = kMaxGain * windowFactor * delayFactor;
    if (gain > 0 && sNow() - s->fCong.fLastWindowFull > kGrowthLockout)
        gain = 0;
    const double newWindow = window + gain;
    if (newWindow < kMinWindow)
        s->fCong.fMaxWindow = kMinWindow;
    else
        s->fCong.fMaxWindow = uint32_t(int64_t(newWindow));
    if (s->fCong.fMaxWindow > s->fSend.fSndBuf)
        s->fCong.fMaxWindow = s->fSend.fSndBuf;
    if (s->fCong.fMaxWindow < kMinWindow)
        s->fCong.fMaxWindow = kMinWindow;
}

// ---------------------------------------------------------------------------------------------
// Loss detection and fast resend

namespace
{

// The resend candidates, in the order found (highest sequence numbers first). A peer's mask may
// be longer than the 32 candidates this holds; then the earliest-found (highest) ones give way,
// because resends are taken from the lowest sequence numbers and at most 4 are sent.
struct Candidates
{
    uint16_t fSeq[kMaxResendCandidates];
    uint32_t fCount = 0; // total appended; the last kMaxResendCandidates are kept

    void Append(uint16_t iSeq) { fSeq[fCount++ % kMaxResendCandidates] = iSeq; }
    uint32_t Kept() const { return fCount < kMaxResendCandidates ? fCount : kMaxResendCandidates; }
    // k-th from the end (0 = last appended).
    uint16_t FromEnd(uint32_t k) const { return fSeq[(fCount - 1 - k) % kMaxResendCandidates]; }
};

// Walks the mask from its highest bit down to the packet before its base: acknowledges what it
// marks, and makes candidates of the sent packets it does not mark once three later ones were
// marked. Returns the number of marked packets in flight.
uint32_t spAckMarked(UTPSocket* s, uint16_t iBase, const uint8_t* iMask, size_t iMaskLength,
                     uint64_t iNowUs, Candidates& ioCandidates)
{
    uint32_t count = 0;
    for (int64_t i = int64_t(iMaskLength) * 8 - 1; i >= -1; --i)
    {
        const uint16_t v = uint16_t(iBase + i);
        if (!spInFlightAfterOldest(s, v))
            continue;
        const bool bit = i >= 0 && spMaskBit(iMask, size_t(i));
        if (bit)
            ++count;
        const OutPacket* p = s->fSend.fOutBuf.Get(v);
        if (!p || p->fTransmissions == 0)
            continue;
        if (bit)
            sAckPacket(s, v, iNowUs);
        else if (uint16_t(v - s->fSend.fFastResendSeqNr) <= 511 && count >= 3 &&
                 s->fSend.fDupAck < 3)
            ioCandidates.Append(v);
    }
    return count;
}

// Resends the lowest candidates, at most kMaxFastResends; returns how many went out.
uint32_t spFastResend(UTPSocket* s, const Candidates& iCandidates)
{
    uint32_t resent = 0;
    for (uint32_t k = 0; k < iCandidates.Kept() && resent < kMaxFastResends; ++k)
    {
        const uint16_t v = iCandidates.FromEnd(k);
        OutPacket* p = s->fSend.fOutBuf.Get(v);
        if (!p)
            continue;
        sSendPacket(s, p);
        s->fSend.fFastResendSeqNr = uint16_t(v + 1);
        ++resent;
    }
    return resent;
}

} // namespace

void sSelectiveAck(UTPSocket* s, uint16_t iBase, const uint8_t* iMask, size_t iMaskLength,
                   uint64_t iNowUs)
{
    if (s->fSend.fCurWindowPackets == 0)
        return;
    Candidates candidates;
    const uint32_t count = spAckMarked(s, iBase, iMask, iMaskLength, iNowUs, candidates);
    if (uint16_t(iBase - s->fSend.fFastResendSeqNr - 1) < 256 && count >= 3 && s->fSend.fDupAck < 3)
        candidates.Append(uint16_t(iBase - 1));
    if (spFastResend(s, candidates))
        spDecayWindow(s);
    s->fSend.fDupAck = uint8_t(count);
}

// ---------------------------------------------------------------------------------------------
// Timer step

namespace
{

void spRetransmitTimeout(UTPSocket* s, uint32_t iNewBackoff)
{
    const uint32_t now = sNow();
    s->fTimers.fBackoffTimeout = iNewBackoff;
    s->fTimers.fTimeoutAt = now + iNewBackoff;
    s->fSend.fDupAck = 0;
    s->fCong.fMaxWindow = s->fPeer.fPacketSize;
    const int32_t floor = int32_t(100 * s->fPeer.fPacketSize);
    if (s->fCong.fQuota < floor)
        s->fCong.fQuota = floor;
    const uint16_t oldest = sOldest(s);
    for (uint32_t i = 0; i < s->fSend.fCurWindowPackets; ++i)
    {
        OutPacket* p = s->fSend.fOutBuf.Get(uint16_t(oldest + i));
        if (!p || p->fTransmissions == 0 || p->fNeedResend)
            continue;
        p->fNeedResend = 1;
        s->fSend.fCurWindow -= p->fPayload;
    }
    s->fSend.fFlushFrom = oldest;
    s->fSend.fResendAll = true;
    OutPacket* first = s->fSend.fOutBuf.Get(oldest);
    const int64_t need = int64_t(100) * first->fLength;
    if (s->fCong.fQuota < need)
        s->fCong.fQuota = int32_t(need);
    sSendPacket(s, first);
}

// The peer stopped answering: the connection ends as timed out, destroyed at once when the user
// closed it already. Returns false: the connection gave up.
bool spGiveUp(UTPSocket* s)
{
    sSetState(s, s->fState == CS_FIN_SENT ? CS_DESTROY : CS_RESET);
    sReportError(s, UTP_ETIMEDOUT);
    return false;
}

void spReportWritable(UTPSocket* s)
{
    if (s->fState == CS_CONNECTED_FULL && sWritable(s, s->fPeer.fPacketSize))
    {
        sSetState(s, CS_CONNECTED);
        sReportState(s, STATE_CHANGE_WRITABLE);
    }
}

// Returns false when the connection gave up.
bool spActiveTimers(UTPSocket* s)
{
    const uint32_t now = sNow();
    if (sPassed(now, s->fTimers.fLastReceived + kIdleLimit))
        return spGiveUp(s);
    // The probe: a window still below one packet opens to exactly one, so that one packet goes
    // out. Its acknowledgement brings the real window; if the peer is gone, it backs off and
    // gives up as any lost packet does.
    if (sPassed(now, s->fTimers.fZeroWindowAt) && s->fSend.fPeerWindow < s->fPeer.fPacketSize)
        s->fSend.fPeerWindow = s->fPeer.fPacketSize;

    if (s->fTimers.fTimeoutAt != 0 && sPassed(now, s->fTimers.fTimeoutAt) &&
        s->fSend.fCurWindowPackets != 0)
    {
        const uint32_t newBackoff = s->fTimers.fBackoffTimeout * 2;
        if (newBackoff >= kMaxBackoff || (s->fState == CS_SYN_SENT && newBackoff > kMaxSynBackoff))
            return spGiveUp(s);
        spRetransmitTimeout(s, newBackoff);
    }
    spReportWritable(s);

    if (s->fState == CS_CONNECTED || s->fState == CS_CONNECTED_FULL || s->fState == CS_FIN_SENT)
    {
        if (s->fRecv.fBytesSinceAck > kAckThreshold || sPassed(now, s->fTimers.fAckTime))
            sSendAck(s);
        if (int32_t(now - s->fTimers.fLastSent) >= int32_t(kKeepAliveInterval))
            sSendKeepAlive(s);
    }
    return true;
}

// The end of the wait after the peer's FIN or our close.
void spClosingTimers(UTPSocket* s)
{
    if (!sPassed(sNow(), s->fTimers.fTimeoutAt))
        return;
    sSetState(s, s->fState == CS_DESTROY_DELAY ? CS_DESTROY : CS_RESET);
    if (s->fSend.fCurWindowPackets && s->fUser.fUserData)
        sReportError(s, UTP_ECONNRESET);
}

} // namespace

void sTimerStep(UTPSocket* s)
{
    sUpdateQuota(s);
    sFlush(s);
    spReportWritable(s);
    switch (s->fState)
    {
    case CS_SYN_SENT:
    case CS_CONNECTED:
    case CS_CONNECTED_FULL:
    case CS_FIN_SENT:
        spActiveTimers(s);
        break;
    case CS_GOT_FIN:
    case CS_DESTROY_DELAY:
        spClosingTimers(s);
        break;
    default:
        break;
    }
    const int64_t limit = spQuotaLimit(s);
    if (s->fCong.fQuota > limit)
        s->fCong.fQuota = int32_t(limit);
}

bool sQuietUntil(UTPSocket* s, uint32_t& oWake)
{
    if (s->fSend.fCurWindowPackets)
        return false;
    const uint32_t now = sNow();
    int32_t horizon = int32_t(kQuietHorizon);
    auto consider = [&](uint32_t iDeadline)
    {
        const int32_t d = int32_t(iDeadline - now);
        if (d < horizon)
            horizon = d;
    };
    switch (s->fState)
    {
    case CS_IDLE:
    case CS_RESET:
        break;
    case CS_CONNECTED:
        if (s->fRecv.fBytesSinceAck > kAckThreshold)
            return false;
        consider(s->fTimers.fAckTime);
        consider(s->fTimers.fLastSent + kKeepAliveInterval);
        consider(s->fTimers.fLastReceived + kIdleLimit);
        if (s->fSend.fPeerWindow < s->fPeer.fPacketSize)
            consider(s->fTimers.fZeroWindowAt);
        break;
    case CS_GOT_FIN:
    case CS_DESTROY_DELAY:
        consider(s->fTimers.fTimeoutAt);
        break;
    default:
        return false;
    }
    if (horizon <= 0)
        return false;
    oWake = now + uint32_t(horizon);
    return true;
}

} // namespace Engine
} // namespace UTP
} // namespace quillane
