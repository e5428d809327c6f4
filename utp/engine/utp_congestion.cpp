// Congestion control and timers: delay histories, the delay-based (LEDBAT) window, round-trip
// time and retransmission time-out, the send quota that paces transmission, writability,
// acknowledging packets, loss detection with fast resend from selective acknowledgements, and the
// per-connection timer step (time-outs, the idle limit, probes of a closed window, keep-alives).
//
// Units: engine times in milliseconds (sNow), delays and round trips in microseconds, the quota in
// hundredths of a byte, windows in bytes.
//
// Threads: one at a time (the caller serialises every engine call).

#include "utp/engine/utp_clock.h"
#include "utp/engine/utp_socket.h"

#include <algorithm>
#include <climits>
#include <cstdlib>

namespace quillane
{
namespace UTP
{
namespace Engine
{

namespace
{

const uint32_t kTargetDelay = 100000; // µs
const double kMaxGain = 3000.0;       // bytes per window of acknowledged bytes at zero delay
const uint32_t kGrowthLockout = 300;  // ms since the window was last full
const uint32_t kDecayInterval = 100;  // ms
const uint32_t kMinuteMs = 60000;
const uint32_t kClockDriftLimit = 10000; // µs
const uint32_t kMaxResendCandidates = 32;
const uint32_t kMaxFastResends = 4;

// True when v lies in the send buffer after the oldest packet.
bool spInFlightAfterOldest(const UTPSocket* s, uint16_t v)
{
    return int(uint16_t(s->fSeqNr - v - 1)) < int(s->fCurWindowPackets) - 1;
}

bool spMaskBit(const uint8_t* iMask, size_t i)
{
    return (iMask[i >> 3] >> (i & 7)) & 1;
}

// The quota a timer step leaves at most: 100 * max(max_window / 2, 5 * packet_size).
int64_t spQuotaLimit(const UTPSocket* s)
{
    const int32_t half = int32_t(s->fMaxWindow / 2);
    const int32_t fivePackets = int32_t(5 * s->fPacketSize);
    return int64_t(100) * (half > fivePackets ? half : fivePackets);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// DelayHistory

void DelayHistory::Clear(uint32_t iNow)
{
    fBase = 0;
    fCurrent[0] = fCurrent[1] = fCurrent[2] = 0;
    fCurrentIndex = 0;
    for (uint32_t& slot : fBaseHistory)
        slot = 0;
    fBaseIndex = 0;
    fBaseTime = iNow;
    fInitialised = false;
}

void DelayHistory::Add(uint32_t iSample, uint32_t iNow)
{
    if (!fInitialised)
    {
        for (uint32_t& slot : fBaseHistory)
            slot = iSample;
        fBase = iSample;
        fInitialised = true;
    }
    if (sWrappingLess(iSample, fBaseHistory[fBaseIndex]))
        fBaseHistory[fBaseIndex] = iSample;
    if (sWrappingLess(iSample, fBase))
        fBase = iSample;
    fCurrent[fCurrentIndex] = iSample - fBase;
    fCurrentIndex = (fCurrentIndex + 1) % 3;
    if (iNow - fBaseTime > kMinuteMs)
    {
        fBaseTime = iNow;
        fBaseIndex = (fBaseIndex + 1) % 13;
        fBaseHistory[fBaseIndex] = iSample;
        fBase = fBaseHistory[0];
        for (uint32_t slot : fBaseHistory)
        {
            if (sWrappingLess(slot, fBase))
                fBase = slot;
        }
    }
}

void DelayHistory::Shift(uint32_t iDelta)
{
    for (uint32_t& slot : fBaseHistory)
        slot += iDelta;
    fBase += iDelta;
}

uint32_t DelayHistory::Value() const
{
    uint32_t value = UINT32_MAX;
    for (uint32_t d : fCurrent)
    {
        if (d < value)
            value = d;
    }
    return value;
}

// ---------------------------------------------------------------------------------------------
// Quota and writability

void sAddQuota(UTPSocket* s, uint32_t iAdd)
{
    // Saturate: between two timer steps (which cap it) the quota must not wrap negative.
    const int64_t sum = int64_t(s->fQuota) + int64_t(iAdd);
    s->fQuota = sum > INT32_MAX ? INT32_MAX : int32_t(sum);
}

void sCatchUpQuota(UTPSocket* s)
{
    if (!s->fQuotaCatchUp)
        return;
    s->fQuotaCatchUp = false;
    const uint32_t now = sNow();
    const uint32_t dt = now - s->fLastQuotaUpdate;
    s->fLastQuotaUpdate = now;
    // The skipped steps would each have added their share and capped the sum, and an asleep
    // connection's window does not change: one addition (without the 32-bit wrap of a single
    // long step) and one cap give the same result.
    const uint64_t base = s->fRttHistory.fBase ? s->fRttHistory.fBase : 50;
    const uint64_t add = uint64_t(s->fMaxWindow) * dt * 100 / base;
    const int64_t limit = spQuotaLimit(s);
    if (s->fQuota < limit)
        s->fQuota = int32_t(std::min<int64_t>(int64_t(s->fQuota) + int64_t(add), limit));
}

void sUpdateQuota(UTPSocket* s)
{
    if (s->fQuotaCatchUp)
    {
        sCatchUpQuota(s);
        return;
    }
    const uint32_t now = sNow();
    const uint32_t dt = now - s->fLastQuotaUpdate;
    if (dt == 0)
        return;
    s->fLastQuotaUpdate = now;
    const uint32_t base = s->fRttHistory.fBase ? s->fRttHistory.fBase : 50;
    uint32_t add = s->fMaxWindow * dt * 100 / base;
    if (add > s->fMaxWindow * 100 && add > 300000)
        add = s->fMaxWindow;
    sAddQuota(s, add);
}

bool sWritable(UTPSocket* s, uint32_t iCount)
{
    uint32_t maxSend = s->fMaxWindow < s->fSndBuf ? s->fMaxWindow : s->fSndBuf;
    if (s->fPeerWindow < maxSend)
        maxSend = s->fPeerWindow;
    if (s->fCurWindow + s->fPacketSize >= s->fMaxWindow)
        s->fLastWindowFull = sNow();
    if (s->fQuota / 100 < int64_t(iCount))
        return false;
    if (s->fCurWindowPackets >= kMaxSendPackets)
        return false;
    if (s->fCurWindow + s->fPacketSize <= maxSend)
        return true;
    return s->fMaxWindow < iCount && s->fCurWindow < s->fMaxWindow && s->fCurWindowPackets == 0;
}

// ---------------------------------------------------------------------------------------------
// Acknowledgements and round trips

int sAckPacket(UTPSocket* s, uint16_t iSeq, uint64_t iNowUs)
{
    OutPacket* p = s->fOutBuf.Get(iSeq);
    if (!p)
        return 1;
    if (p->fTransmissions == 0)
        return 2;
    s->fOutBuf.Put(iSeq, nullptr);
    if (p->fTransmissions == 1 && !p->fNeedResend)
    {
        // Only a packet sent once gives an unambiguous sample, and only while no time-out has
        // declared it lost: a marked packet was usually received long ago, and its late
        // acknowledgement (after the resend of an older packet filled the hole) measures the
        // time-out, not the path, and would inflate rto until one time-out ends the connection.
        const uint32_t sample = uint32_t((iNowUs - p->fTimeSent) / 1000);
        if (s->fRtt == 0)
        {
            s->fRtt = sample;
            s->fRttVar = sample / 2;
        }
        else
        {
            const int32_t diff = int32_t(s->fRtt - sample);
            const int32_t delta = (diff < 0 ? -diff : diff) - int32_t(s->fRttVar);
            s->fRttVar = uint32_t(int32_t(s->fRttVar) + delta / 4);
            s->fRtt = s->fRtt - s->fRtt / 8 + sample / 8;
            s->fRttHistory.Add(sample, sNow());
        }
        const uint32_t rto = s->fRtt + 4 * s->fRttVar;
        s->fRto = rto > kMinRto ? rto : kMinRto;
    }
    s->fBackoffTimeout = s->fRto;
    s->fTimeoutAt = sNow() + s->fRto;
    if (!p->fNeedResend)
        s->fCurWindow -= p->fPayload;
    sFreeOutPacket(p);
    return 0;
}

size_t sMarkedBytes(UTPSocket* s, uint16_t iBase, const uint8_t* iMask, size_t iMaskLength,
                    uint64_t iNowUs, int64_t& ioMinRtt)
{
    size_t acked = 0;
    for (size_t i = iMaskLength * 8; i-- > 0;)
    {
        const uint16_t v = uint16_t(iBase + i);
        if (!spInFlightAfterOldest(s, v) || !spMaskBit(iMask, i))
            continue;
        const OutPacket* p = s->fOutBuf.Get(v);
        if (!p || p->fTransmissions == 0)
            continue;
        acked += p->fPayload;
        const int64_t rtt = int64_t(iNowUs - p->fTimeSent);
        if (rtt < ioMinRtt)
            ioMinRtt = rtt;
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
    s->fReplyDelay = sample;

    const uint32_t b0 = s->fTheirHistory.fBase;
    if (sample != 0)
        s->fTheirHistory.Add(sample, now);
    const uint32_t b1 = s->fTheirHistory.fBase;
    // Their base falling a little means our clock drifted against theirs: mirror it into ours.
    if (b0 != 0 && sWrappingLess(b1, b0) && b0 - b1 <= kClockDriftLimit)
        s->fOurHistory.Shift(b0 - b1);

    const uint32_t reported = iHeader.fReplyDelay == kNoDelay ? 0 : iHeader.fReplyDelay;
    if (reported != 0)
        s->fOurHistory.Add(reported, now);

    const uint32_t minRtt = uint32_t(uint64_t(iMinRtt));
    const uint32_t ours = s->fOurHistory.Value();
    if (ours > minRtt)
        s->fOurHistory.Shift(ours - minRtt);

    if (reported != 0 && iAckedBytes > 0)
        sUpdateWindow(s, iAckedBytes, iMinRtt);
}

void sUpdateWindow(UTPSocket* s, size_t iAckedBytes, int64_t iMinRtt)
{
    const uint32_t minRtt = uint32_t(uint64_t(iMinRtt));
    const uint32_t ours = s->fOurHistory.Value();
    const uint32_t ourDelay = ours < minRtt ? ours : minRtt;
    const int32_t offTarget = int32_t(kTargetDelay - ourDelay);
    const double acked = double(iAckedBytes);
    const double window = double(s->fMaxWindow);
    const double windowFactor =
        (acked < window ? acked : window) / (acked > window ? acked : window);
    const double delayFactor = double(offTarget) / double(kTargetDelay);
    double gain = kMaxGain * windowFactor * delayFactor;
    if (gain > 0 && sNow() - s->fLastWindowFull > kGrowthLockout)
        gain = 0;
    const double newWindow = window + gain;
    if (newWindow < kMinWindow)
        s->fMaxWindow = kMinWindow;
    else
        s->fMaxWindow = uint32_t(int64_t(newWindow));
    if (s->fMaxWindow > s->fSndBuf)
        s->fMaxWindow = s->fSndBuf;
    if (s->fMaxWindow < kMinWindow)
        s->fMaxWindow = kMinWindow;
}

void sDecayWindow(UTPSocket* s)
{
    const uint32_t now = sNow();
    if (int32_t(now - s->fLastDecay) < int32_t(kDecayInterval))
        return;
    s->fMaxWindow = uint32_t(s->fMaxWindow * 0.5);
    s->fLastDecay = now;
    if (s->fMaxWindow < kMinWindow)
        s->fMaxWindow = kMinWindow;
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

    void Append(uint16_t v) { fSeq[fCount++ % kMaxResendCandidates] = v; }
    uint32_t Kept() const { return fCount < kMaxResendCandidates ? fCount : kMaxResendCandidates; }
    // k-th from the end (0 = last appended).
    uint16_t FromEnd(uint32_t k) const { return fSeq[(fCount - 1 - k) % kMaxResendCandidates]; }
};

} // namespace

void sSelectiveAck(UTPSocket* s, uint16_t iBase, const uint8_t* iMask, size_t iMaskLength,
                   uint64_t iNowUs)
{
    if (s->fCurWindowPackets == 0)
        return;
    uint32_t count = 0;
    Candidates candidates;
    for (int64_t i = int64_t(iMaskLength) * 8 - 1; i >= -1; --i)
    {
        const uint16_t v = uint16_t(iBase + i);
        if (!spInFlightAfterOldest(s, v))
            continue;
        const bool bit = i >= 0 && spMaskBit(iMask, size_t(i));
        if (bit)
            ++count;
        const OutPacket* p = s->fOutBuf.Get(v);
        if (!p || p->fTransmissions == 0)
            continue;
        if (bit)
            sAckPacket(s, v, iNowUs);
        else if (uint16_t(v - s->fFastResendSeqNr) <= 511 && count >= 3 && s->fDupAck < 3)
            candidates.Append(v);
    }
    if (uint16_t(iBase - s->fFastResendSeqNr - 1) < 256 && count >= 3 && s->fDupAck < 3)
        candidates.Append(uint16_t(iBase - 1));

    uint32_t resent = 0;
    for (uint32_t k = 0; k < candidates.Kept() && resent < kMaxFastResends; ++k)
    {
        const uint16_t v = candidates.FromEnd(k);
        OutPacket* p = s->fOutBuf.Get(v);
        if (!p)
            continue;
        sSendPacket(s, p);
        s->fFastResendSeqNr = uint16_t(v + 1);
        ++resent;
    }
    if (resent)
        sDecayWindow(s);
    s->fDupAck = uint8_t(count);
}

// ---------------------------------------------------------------------------------------------
// Timer step

namespace
{

void spRetransmitTimeout(UTPSocket* s, uint32_t iNewBackoff)
{
    const uint32_t now = sNow();
    s->fBackoffTimeout = iNewBackoff;
    s->fTimeoutAt = now + iNewBackoff;
    s->fDupAck = 0;
    s->fMaxWindow = s->fPacketSize;
    const int32_t floor = int32_t(100 * s->fPacketSize);
    if (s->fQuota < floor)
        s->fQuota = floor;
    const uint16_t oldest = sOldest(s);
    for (uint32_t i = 0; i < s->fCurWindowPackets; ++i)
    {
        OutPacket* p = s->fOutBuf.Get(uint16_t(oldest + i));
        if (!p || p->fTransmissions == 0 || p->fNeedResend)
            continue;
        p->fNeedResend = 1;
        s->fCurWindow -= p->fPayload;
    }
    s->fFlushFrom = oldest;
    s->fFlags |= FLAG_RESEND_ALL;
    OutPacket* first = s->fOutBuf.Get(oldest);
    const int64_t need = int64_t(100) * first->fLength;
    if (s->fQuota < need)
        s->fQuota = int32_t(need);
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

// Returns false when the connection gave up.
bool spActiveTimers(UTPSocket* s)
{
    const uint32_t now = sNow();
    if (sPassed(now, s->fLastReceived + kIdleLimit))
        return spGiveUp(s);
    // The probe: a window still below one packet opens to exactly one, so that one packet goes
    // out. Its acknowledgement brings the real window; if the peer is gone, it backs off and
    // gives up as any lost packet does.
    if (sPassed(now, s->fZeroWindowAt) && s->fPeerWindow < s->fPacketSize)
        s->fPeerWindow = s->fPacketSize;

    if (s->fTimeoutAt != 0 && sPassed(now, s->fTimeoutAt) && s->fCurWindowPackets != 0)
    {
        const uint32_t newBackoff = s->fBackoffTimeout * 2;
        if (newBackoff >= kMaxBackoff || (s->fState == CS_SYN_SENT && newBackoff > kMaxSynBackoff))
            return spGiveUp(s);
        spRetransmitTimeout(s, newBackoff);
    }

    if (s->fState == CS_CONNECTED_FULL && sWritable(s, s->fPacketSize))
    {
        sSetState(s, CS_CONNECTED);
        sReportState(s, STATE_CHANGE_WRITABLE);
    }

    if (s->fState == CS_CONNECTED || s->fState == CS_CONNECTED_FULL || s->fState == CS_FIN_SENT)
    {
        if (s->fBytesSinceAck > kAckThreshold || sPassed(now, s->fAckTime))
            sSendAck(s);
        if (int32_t(now - s->fLastSent) >= int32_t(kKeepAliveInterval))
            sSendKeepAlive(s);
    }
    return true;
}

} // namespace

void sTimerStep(UTPSocket* s)
{
    sUpdateQuota(s);
    sFlush(s);

    if (s->fState == CS_CONNECTED_FULL && sWritable(s, s->fPacketSize))
    {
        sSetState(s, CS_CONNECTED);
        sReportState(s, STATE_CHANGE_WRITABLE);
    }

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
        if (sPassed(sNow(), s->fTimeoutAt))
        {
            sSetState(s, s->fState == CS_DESTROY_DELAY ? CS_DESTROY : CS_RESET);
            if (s->fCurWindowPackets && s->fUserData)
                sReportError(s, UTP_ECONNRESET);
        }
        break;
    default:
        break;
    }

    const int64_t limit = spQuotaLimit(s);
    if (s->fQuota > limit)
        s->fQuota = int32_t(limit);
}

bool sQuietUntil(UTPSocket* s, uint32_t& oWake)
{
    if (s->fCurWindowPackets)
        return false;
    const uint32_t now = sNow();
    int32_t horizon = 60000;
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
        if (s->fBytesSinceAck > kAckThreshold)
            return false;
        consider(s->fAckTime);
        consider(s->fLastSent + kKeepAliveInterval);
        consider(s->fLastReceived + kIdleLimit);
        if (s->fPeerWindow < s->fPacketSize)
            consider(s->fZeroWindowAt);
        break;
    case CS_GOT_FIN:
    case CS_DESTROY_DELAY:
        consider(s->fTimeoutAt);
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
