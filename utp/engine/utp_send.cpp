// The send path. See utp_send.h.
//
// Threads: one at a time (the caller serialises every engine call).

#include "utp/engine/utp_send.h"
#include "utp/engine/utp_clock.h"
#include "utp/engine/utp_congestion.h"
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

int spPacketType(const UTPSocket* s, const OutPacket* iPacket)
{
    return s->fPeer.fVersion == 0 ? iPacket->fData[18] : iPacket->fData[0] >> 4;
}

// Puts a new packet at fSeqNr and advances it.
void spStoreOut(UTPSocket* s, OutPacket* iPacket)
{
    if (s->fSend.fCurWindowPackets > s->fSend.fOutBuf.fMask)
        s->fSend.fOutBuf.Grow(s->fSend.fSeqNr, s->fSend.fCurWindowPackets);
    s->fSend.fOutBuf.Put(s->fSend.fSeqNr, iPacket);
    ++s->fSend.fSeqNr;
    ++s->fSend.fCurWindowPackets;
}

void spSendDatagram(UTPSocket* s, uint8_t* ioBytes, size_t iLength, int iCategory, uint64_t iNowUs)
{
    sStamp(ioBytes, s->fPeer.fVersion, iNowUs, s->fCong.fReplyDelay);
    s->fTimers.fLastSent = sNow();
    if (s->fUser.fUserData)
    {
        if (iCategory == BW_PAYLOAD)
            sReportOverhead(s, true, s->fPeer.fHeaderSize + s->fPeer.fIPOverhead, BW_HEADER);
        else
            sReportOverhead(s, true, iLength + s->fPeer.fIPOverhead, iCategory);
    }
    s->fPeer.fSendTo(s->fPeer.fSendUserData, ioBytes, iLength,
                     reinterpret_cast<const sockaddr*>(s->fPeer.fSockAddr), s->fPeer.fSockAddrLen);
}

// The packet that takes the next bytes: the newest one while it is unsent ST_DATA with room
// (oIsNew false), else a new one.
OutPacket* spPacketToFill(UTPSocket* s, size_t iCount, int iType, bool& oIsNew)
{
    OutPacket* newest =
        s->fSend.fCurWindowPackets ? s->fSend.fOutBuf.Get(uint16_t(s->fSend.fSeqNr - 1)) : nullptr;
    oIsNew = !(iCount && newest && newest->fTransmissions == 0 &&
               newest->fPayload < s->fPeer.fPacketSize && iType == ST_DATA &&
               spPacketType(s, newest) == ST_DATA);
    return oIsNew ? sNewOutPacket() : newest;
}

// Fills one packet with up to iCount bytes; returns how many it took.
size_t spQueueOne(UTPSocket* s, size_t iCount, int iType)
{
    bool isNew;
    OutPacket* p = spPacketToFill(s, iCount, iType, isNew);
    const size_t k = std::min<size_t>(p->fPayload + iCount, s->fPeer.fPacketSize) - p->fPayload;
    if (k)
        s->fUser.fCallbacks.fOnWrite(s->fUser.fUserData,
                                     p->fData + s->fPeer.fHeaderSize + p->fPayload, k);
    p->fPayload += uint32_t(k);
    p->fLength = s->fPeer.fHeaderSize + p->fPayload;
    s->fRecv.fRcvWin = sFreeReceiveBuffer(s);
    const uint16_t seq = isNew ? s->fSend.fSeqNr : uint16_t(s->fSend.fSeqNr - 1);
    sWriteHeader(p->fData, s->fPeer.fVersion, iType, EXT_NONE, s->fPeer.fSendId, s->fRecv.fRcvWin,
                 seq, s->fRecv.fAckNr);
    if (isNew)
        spStoreOut(s, p);
    return k;
}

// The header of an ACK, with its extension; returns its length.
size_t spWriteAck(UTPSocket* s, uint8_t* oBytes, bool iSynAnswer)
{
    const size_t header = s->fPeer.fHeaderSize;
    if (s->fRecv.fReorderCount && s->fState <= CS_CONNECTED_FULL)
    {
        uint32_t mask = 0;
        const uint32_t bits = s->fRecv.fInBuf.Capacity() < 30 ? s->fRecv.fInBuf.Capacity() : 30;
        for (uint32_t i = 0; i < bits; ++i)
        {
            if (s->fRecv.fInBuf.Get(uint16_t(s->fRecv.fAckNr + 2 + i)))
                mask |= 1u << i;
        }
        sWriteHeader(oBytes, s->fPeer.fVersion, ST_STATE, EXT_EACK, s->fPeer.fSendId,
                     s->fRecv.fRcvWin, s->fSend.fSeqNr, s->fRecv.fAckNr);
        return header + sWriteEack(oBytes + header, mask);
    }
    const int extension = iSynAnswer ? EXT_BITS : EXT_NONE;
    sWriteHeader(oBytes, s->fPeer.fVersion, ST_STATE, extension, s->fPeer.fSendId, s->fRecv.fRcvWin,
                 s->fSend.fSeqNr, s->fRecv.fAckNr);
    return iSynAnswer ? header + sWriteExtensionBits(oBytes + header) : header;
}

// A packet's first transmission while the window is below one packet pays from the quota.
void spChargeQuota(UTPSocket* s, const OutPacket* iPacket)
{
    uint32_t maxSend =
        s->fCong.fMaxWindow < s->fSend.fSndBuf ? s->fCong.fMaxWindow : s->fSend.fSndBuf;
    if (s->fSend.fPeerWindow < maxSend)
        maxSend = s->fSend.fPeerWindow;
    if (maxSend < s->fPeer.fPacketSize)
    {
        const int64_t quota = int64_t(s->fCong.fQuota) - int64_t(iPacket->fPayload) * 100;
        s->fCong.fQuota = quota < INT32_MIN ? INT32_MIN : int32_t(quota);
    }
}

} // namespace

uint32_t sFreeReceiveBuffer(UTPSocket* s)
{
    if (!s->fUser.fUserData)
        return s->fRecv.fRcvBuf;
    const size_t used = s->fUser.fCallbacks.fGetReadBufferSize(s->fUser.fUserData);
    return used > s->fRecv.fRcvBuf ? 0 : s->fRecv.fRcvBuf - uint32_t(used);
}

void sScheduleAck(UTPSocket* s, uint32_t iWithin)
{
    const uint32_t now = sNow();
    const uint32_t pending = s->fTimers.fAckTime - now;
    s->fTimers.fAckTime = now + (iWithin < pending ? iWithin : pending);
}

void sSendAck(UTPSocket* s, bool iSynAnswer)
{
    s->fRecv.fRcvWin = sFreeReceiveBuffer(s);
    uint8_t buf[kHeaderSizeV0 + kExtBitsSize];
    const size_t length = spWriteAck(s, buf, iSynAnswer);
    s->fTimers.fAckTime = sNow() + kNoAckPending;
    s->fRecv.fBytesSinceAck = 0;
    spSendDatagram(s, buf, length, BW_ACK, UTP_GetMicroseconds());
}

void sSendKeepAlive(UTPSocket* s)
{
    --s->fRecv.fAckNr;
    sSendAck(s);
    ++s->fRecv.fAckNr;
}

void sSendPacket(UTPSocket* s, OutPacket* ioPacket)
{
    OutPacket* p = ioPacket;
    if (p->fTransmissions == 0 || p->fNeedResend)
        s->fSend.fCurWindow += p->fPayload;
    if (p->fTransmissions == 0)
        spChargeQuota(s, p);
    p->fNeedResend = 0;
    sWriteAckNr(p->fData, s->fPeer.fVersion, s->fRecv.fAckNr);
    const uint64_t nowUs = UTP_GetMicroseconds();
    p->fTimeSent = nowUs;
    p->fTransmissions = p->fTransmissions + 1;
    s->fTimers.fAckTime = sNow() + kNoAckPending;
    s->fRecv.fBytesSinceAck = 0;
    int category;
    if (s->fState == CS_SYN_SENT)
        category = BW_CONNECT;
    else
        category = p->fTransmissions == 1 ? BW_PAYLOAD : BW_RETRANSMIT;
    spSendDatagram(s, p->fData, p->fLength, category, nowUs);
}

void sFlush(UTPSocket* s)
{
    const uint16_t oldest = sOldest(s);
    const uint32_t count = s->fSend.fCurWindowPackets;
    uint32_t i = uint16_t(s->fSend.fFlushFrom - oldest);
    if (i > count)
        i = 0;
    // Every packet the loop passes over is (or becomes) sent and unmarked, so the next flush may
    // start after it.
    for (; i < count; ++i)
    {
        const uint16_t seq = uint16_t(oldest + i);
        OutPacket* p = s->fSend.fOutBuf.Get(seq);
        if (!p || (p->fTransmissions && !p->fNeedResend))
        {
            s->fSend.fFlushFrom = uint16_t(seq + 1);
            continue;
        }
        if (!sWritable(s, p->fPayload))
            break;
        if (i == count - 1 && count != 1 && p->fPayload < s->fPeer.fPacketSize)
            break;
        sSendPacket(s, p);
        s->fSend.fFlushFrom = uint16_t(seq + 1);
    }
}

void sQueue(UTPSocket* s, size_t iCount, int iType)
{
    if (s->fSend.fCurWindowPackets == 0)
    {
        s->fTimers.fBackoffTimeout = s->fCong.fRto;
        s->fTimers.fTimeoutAt = sNow() + s->fCong.fRto;
    }
    size_t n = iCount;
    do
        n -= spQueueOne(s, n, iType);
    while (n);
    sFlush(s);
}

void sSendSyn(UTPSocket* s)
{
    OutPacket* p = sNewOutPacket();
    sWriteHeader(p->fData, s->fPeer.fVersion, ST_SYN, EXT_BITS, s->fPeer.fRecvId, s->fRecv.fRcvWin,
                 s->fSend.fSeqNr, 0);
    p->fLength =
        uint32_t(s->fPeer.fHeaderSize + sWriteExtensionBits(p->fData + s->fPeer.fHeaderSize));
    p->fPayload = 0;
    spStoreOut(s, p);
    sSendPacket(s, p);
    s->fSend.fFlushFrom = s->fSend.fSeqNr;
}

void sSendFinOnce(UTPSocket* s)
{
    s->fRecv.fRcvWin = sFreeReceiveBuffer(s);
    uint8_t buf[kHeaderSizeV0];
    sWriteHeader(buf, s->fPeer.fVersion, ST_FIN, EXT_NONE, s->fPeer.fSendId, s->fRecv.fRcvWin,
                 s->fSend.fSeqNr, s->fRecv.fAckNr);
    spSendDatagram(s, buf, s->fPeer.fHeaderSize, BW_CLOSE, UTP_GetMicroseconds());
}

void sSendReset(UTPSocket* s)
{
    uint8_t buf[kHeaderSizeV0];
    sWriteHeader(buf, s->fPeer.fVersion, ST_RESET, EXT_NONE, s->fPeer.fSendId, 0, s->fSend.fSeqNr,
                 s->fRecv.fAckNr);
    if (s->fUser.fUserData)
        sReportOverhead(s, true, s->fPeer.fHeaderSize + s->fPeer.fIPOverhead, BW_CLOSE);
    s->fPeer.fSendTo(s->fPeer.fSendUserData, buf, s->fPeer.fHeaderSize,
                     reinterpret_cast<const sockaddr*>(s->fPeer.fSockAddr), s->fPeer.fSockAddrLen);
}

} // namespace Engine
} // namespace UTP
} // namespace quillane
