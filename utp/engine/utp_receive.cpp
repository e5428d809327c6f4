// The receive path. See utp_receive.h.
//
// Threads: one at a time (the caller serialises every engine call).

#include "utp/engine/utp_receive.h"
#include "utp/engine/utp_clock.h"
#include "utp/engine/utp_congestion.h"
#include "utp/engine/utp_reset_table.h"
#include "utp/engine/utp_schedule.h"
#include "utp/engine/utp_send.h"
#include "utp/engine/utp_socket.h"

namespace quillane
{
namespace UTP
{
namespace Engine
{

namespace
{

// Distances from the next expected seq_nr: a packet kReorderLimit or more ahead is dropped;
// distances from kOldPacketFloor up are packets 1..511 behind.
const uint32_t kReorderLimit = 511;
const uint32_t kOldPacketFloor = 65025;

// Ids live in the 16-bit field of a version-1 header, so they wrap there.
uint32_t spIdMask(const PacketId& iId)
{
    return iId.fVersion == 1 ? 0xFFFFu : 0xFFFFFFFFu;
}

// A reset for a stray: the stray's id, a random seq_nr, window 0, no timestamps.
void spSendStrayReset(SendToProc iSendTo, void* iSendUserData, const PacketId& iId, uint16_t iAckNr,
                      const PeerAddress& iAddr)
{
    uint8_t buf[kHeaderSizeV0];
    sWriteHeader(buf, iId.fVersion, ST_RESET, EXT_NONE, iId.fConnId, 0, uint16_t(UTP_Random15()),
                 iAckNr);
    alignas(8) uint8_t sockAddr[UTP_SOCKADDR_MAX];
    const int sockAddrLen =
        PeerAddress_ToSockAddr(iAddr, reinterpret_cast<sockaddr*>(sockAddr), int(sizeof(sockAddr)));
    if (iSendTo)
        iSendTo(iSendUserData, buf, sHeaderSize(iId.fVersion),
                reinterpret_cast<const sockaddr*>(sockAddr), sockAddrLen);
}

// ---------------------------------------------------------------------------------------------
// Delivery and the reorder buffer

void spDeliver(UTPSocket* s, const uint8_t* iBytes, size_t iLength)
{
    if (iLength && s->fState != CS_FIN_SENT)
        s->fUser.fCallbacks.fOnRead(s->fUser.fUserData, iBytes, iLength);
    ++s->fRecv.fAckNr;
    s->fRecv.fBytesSinceAck += uint32_t(iLength);
}

// The delivery reached the peer's FIN: the end of the stream (unless we closed first).
void spReachedFin(UTPSocket* s)
{
    if (s->fState != CS_FIN_SENT)
    {
        sSetState(s, CS_GOT_FIN);
        const uint32_t wait = 3 * s->fCong.fRto < 60 ? 3 * s->fCong.fRto : 60;
        s->fTimers.fTimeoutAt = sNow() + wait;
        sReportState(s, STATE_CHANGE_EOF);
    }
    sSendAck(s);
    s->fRecv.fReorderCount = 0;
}

void spDeliverInOrder(UTPSocket* s, const uint8_t* iPayload, size_t iLength)
{
    spDeliver(s, iPayload, iLength);
    for (;;)
    {
        if (s->fRecv.fGotFin && s->fRecv.fEofPkt == s->fRecv.fAckNr)
        {
            spReachedFin(s);
            break;
        }
        if (s->fRecv.fReorderCount == 0)
            break;
        const uint16_t next = uint16_t(s->fRecv.fAckNr + 1);
        InBlock* b = s->fRecv.fInBuf.Get(next);
        if (!b)
            break;
        s->fRecv.fInBuf.Put(next, nullptr);
        spDeliver(s, b->fBytes, b->fLength);
        sFreeInBlock(b);
        --s->fRecv.fReorderCount;
    }
    sScheduleAck(s, 100);
}

// Sequence number iA lies after iB (within half the 16-bit circle).
bool spSeqAfter(uint16_t iA, uint16_t iB)
{
    const uint16_t d = uint16_t(iA - iB);
    return d != 0 && d < 0x8000;
}

void spStoreOutOfOrder(UTPSocket* s, uint16_t iSeqNr, uint32_t iDistance, const uint8_t* iPayload,
                       size_t iLength)
{
    // "Got an invalid packet sequence number, past EOF"
    if (s->fRecv.fGotFin && spSeqAfter(iSeqNr, s->fRecv.fEofPkt))
        return;
    if (iDistance + 1 > s->fRecv.fInBuf.fMask)
        s->fRecv.fInBuf.Grow(uint16_t(iSeqNr + 1), iDistance + 1);
    if (s->fRecv.fInBuf.Get(iSeqNr))
        return; // duplicate
    s->fRecv.fInBuf.Put(iSeqNr, sNewInBlock(iPayload, iLength));
    ++s->fRecv.fReorderCount;
    sScheduleAck(s, 1);
}

// ---------------------------------------------------------------------------------------------
// Acknowledgements of our packets

// How many of the oldest packets the peer acknowledges with iAckNr.
uint32_t spAckedCount(const UTPSocket* s, uint16_t iAckNr)
{
    uint32_t a = uint16_t(iAckNr - s->fSend.fSeqNr + s->fSend.fCurWindowPackets + 1);
    return a > s->fSend.fCurWindowPackets ? 0 : a;
}

// In resend-all mode (after a time-out), each acknowledgement resends the next oldest packet.
void spResendNext(UTPSocket* s)
{
    OutPacket* p = s->fSend.fCurWindowPackets ? s->fSend.fOutBuf.Get(sOldest(s)) : nullptr;
    if (p && sOldest(s) == s->fSend.fFastResendSeqNr && p->fTransmissions)
    {
        ++s->fSend.fFastResendSeqNr;
        sSendPacket(s, p);
    }
    else
    {
        s->fSend.fResendAll = false;
    }
}

// Releases the iCount oldest packets and keeps the send side moving.
void spReleaseAcked(UTPSocket* s, uint32_t iCount, uint64_t iNowUs)
{
    for (uint32_t i = 0; i < iCount; ++i)
    {
        if (sAckPacket(s, sOldest(s), iNowUs) == 2)
            break;
        --s->fSend.fCurWindowPackets;
    }
    while (s->fSend.fCurWindowPackets && !s->fSend.fOutBuf.Get(sOldest(s)))
        --s->fSend.fCurWindowPackets;

    if (s->fSend.fCurWindowPackets == 1)
    {
        OutPacket* p = s->fSend.fOutBuf.Get(sOldest(s));
        if (p->fTransmissions == 0 && s->fCong.fQuota / 100 >= int32_t(p->fLength))
            sSendPacket(s, p);
    }
    if (s->fSend.fResendAll)
        spResendNext(s);
}

// ---------------------------------------------------------------------------------------------
// Processing one packet

// A packet that passed the checks: its header, where its payload starts, its EACK mask.
struct Parsed
{
    PacketHeader fHeader;
    uint64_t fNowUs; // µs: the microsecond clock when the packet was read
    size_t fPayloadOffset;
    const uint8_t* fEack; // null when there is none
    size_t fEackLength;   // bytes of the mask
};

// Length, type and the extension chain; false drops the packet.
bool spParse(const UTPSocket* s, const uint8_t* iBytes, size_t iLength, Parsed& oParsed)
{
    // "Invalid packet size (less than header size)"
    if (iLength < s->fPeer.fHeaderSize)
        return false;
    sReadHeader(iBytes, s->fPeer.fVersion, oParsed.fHeader);
    if (oParsed.fHeader.fType >= ST_NUM_TYPES)
        return false;
    oParsed.fNowUs = UTP_GetMicroseconds();
    return sWalkExtensions(iBytes, iLength, s->fPeer.fHeaderSize, oParsed.fHeader.fExtension,
                           oParsed.fPayloadOffset, oParsed.fEack, oParsed.fEackLength) == EXT_OK;
}

// The peer's window; one below a packet is probed later (utp_congestion's timer step).
void spTakePeerWindow(UTPSocket* s, uint32_t iWindow)
{
    s->fSend.fPeerWindow = iWindow;
    if (iWindow < s->fPeer.fPacketSize)
        s->fTimers.fZeroWindowAt = sNow() + kZeroWindowProbe;
}

// The state an acknowledgement moves us to; a connected SYN reports it.
void spAdvanceState(UTPSocket* s, uint32_t iAcked)
{
    if (s->fState == CS_SYN_SENT)
    {
        sSetState(s, CS_CONNECTED);
        sReportState(s, STATE_CHANGE_CONNECTED);
    }
    else if (s->fState == CS_FIN_SENT && iAcked == s->fSend.fCurWindowPackets)
    {
        sSetState(s, CS_DESTROY);
    }
}

// What the packet says about our side: acknowledgements, delay, window, state.
void spAcknowledge(UTPSocket* s, const Parsed& iParsed)
{
    const PacketHeader& h = iParsed.fHeader;
    const uint32_t a = spAckedCount(s, h.fAckNr);
    if (s->fSend.fCurWindowPackets && h.fAckNr != uint16_t(sOldest(s) - 1))
        s->fSend.fDupAck = 0;
    int64_t minRtt;
    const size_t acked =
        sAckedBytes(s, a, h.fAckNr, iParsed.fEack, iParsed.fEackLength, iParsed.fNowUs, minRtt);
    sDelayAndWindow(s, h, iParsed.fNowUs, acked, minRtt);
    spTakePeerWindow(s, h.fWindow);
    spAdvanceState(s, a);

    const uint16_t next = uint16_t(h.fAckNr + 1);
    if (spSeqAfter(next, s->fSend.fFastResendSeqNr))
        s->fSend.fFastResendSeqNr = next;

    spReleaseAcked(s, a, iParsed.fNowUs);
    if (iParsed.fEack)
        sSelectiveAck(s, uint16_t(h.fAckNr + 2), iParsed.fEack, iParsed.fEackLength,
                      iParsed.fNowUs);

    if (s->fState == CS_CONNECTED_FULL && sWritable(s, s->fPeer.fPacketSize))
    {
        sSetState(s, CS_CONNECTED);
        sReportState(s, STATE_CHANGE_WRITABLE);
    }
}

// The packet's own payload (or FIN), iDistance packets ahead of the next expected one.
size_t spTakePayload(UTPSocket* s, const Parsed& iParsed, const uint8_t* iBytes, size_t iLength,
                     uint32_t iDistance)
{
    const PacketHeader& h = iParsed.fHeader;
    if (h.fType == ST_STATE)
        return 0;
    if (s->fState != CS_CONNECTED && s->fState != CS_CONNECTED_FULL && s->fState != CS_FIN_SENT)
        return 0;
    if (h.fType == ST_FIN && !s->fRecv.fGotFin)
    {
        s->fRecv.fGotFin = true;
        s->fRecv.fEofPkt = h.fSeqNr;
    }

    const uint8_t* payload = iBytes + iParsed.fPayloadOffset;
    const size_t length = iLength - iParsed.fPayloadOffset;
    if (iDistance == 0)
        spDeliverInOrder(s, payload, length);
    else
        spStoreOutOfOrder(s, h.fSeqNr, iDistance, payload, length);

    if ((s->fState == CS_CONNECTED || s->fState == CS_CONNECTED_FULL) &&
        (s->fRecv.fBytesSinceAck > kAckThreshold || sPassed(sNow(), s->fTimers.fAckTime)))
        sSendAck(s);
    return length;
}

} // namespace

size_t sProcessPacket(UTPSocket* s, const uint8_t* iBytes, size_t iLength, bool iAcceptedSyn)
{
    // Any datagram matched to the connection shows the peer alive, whatever becomes of it.
    s->fTimers.fLastReceived = sRefreshNow();
    sTouch(s);
    sUpdateQuota(s);
    Parsed p;
    if (!spParse(s, iBytes, iLength, p))
        return 0;
    if (s->fState == CS_SYN_SENT)
        s->fRecv.fAckNr = uint16_t(p.fHeader.fSeqNr - 1);
    sRefreshNow();
    if (iAcceptedSyn)
        return 0;

    const uint32_t d = uint16_t(p.fHeader.fSeqNr - s->fRecv.fAckNr - 1);
    if (d >= kReorderLimit)
    {
        // "Got an invalid packet sequence number, too far off"; an old one still earns an ACK.
        if (d >= kOldPacketFloor && p.fHeader.fType != ST_STATE)
            sScheduleAck(s, 100);
        return 0;
    }
    spAcknowledge(s, p);
    return spTakePayload(s, p, iBytes, iLength, d);
}

void sResetConnection(UTPSocket* s, size_t iLength)
{
    sTouch(s);
    s->fTimers.fLastReceived = sRefreshNow();
    const int before = s->fState;
    // A connection the user already closed goes straight to destruction: nobody would close it
    // again from CS_RESET.
    const bool closed = before == CS_FIN_SENT || before == CS_DESTROY_DELAY || before == CS_DESTROY;
    sSetState(s, (!s->fUser.fUserData || closed) ? CS_DESTROY : CS_RESET);
    if (!s->fUser.fUserData)
        return;
    sReportOverhead(s, false, iLength + s->fPeer.fIPOverhead, BW_CLOSE);
    // A record already on its way out reports nothing new: one in CS_DESTROY has ended (or been
    // reset by us), and one in its destroy delay reports only what the delay's own end would,
    // lost packets. A peer that closed first answers our FIN that way once it has forgotten the
    // connection, which is no failure.
    if (before == CS_DESTROY || (before == CS_DESTROY_DELAY && !s->fSend.fCurWindowPackets))
        return;
    sReportError(s, before == CS_SYN_SENT ? UTP_ECONNREFUSED : UTP_ECONNRESET);
}

void sAcceptSyn(UTPGotIncomingConnection iGotIncoming, SendToProc iSendTo, void* iSendUserData,
                const uint8_t* iBytes, size_t iLength, const sockaddr* iSockAddr, int iSockAddrLen,
                const PacketId& iId, uint16_t iSeqNr)
{
    UTPSocket* s = sNewSocket(iSendTo, iSendUserData, iSockAddr, iSockAddrLen);
    sSetIds(s, (iId.fConnId + 1) & spIdMask(iId), iId.fConnId);
    s->fRecv.fAckNr = iSeqNr;
    s->fSend.fSeqNr = s->fSend.fFastResendSeqNr = uint16_t(UTP_Random15());
    s->fSend.fFlushFrom = s->fSend.fSeqNr;
    sApplyVersion(s, iId.fVersion);
    sSetState(s, CS_CONNECTED);
    sProcessPacket(s, iBytes, iLength, true);
    sSendAck(s, true);
    iGotIncoming(iSendUserData, s);
    if (s->fUser.fUserData)
    {
        sReportOverhead(s, false, iLength + s->fPeer.fIPOverhead, BW_HEADER);
        sReportOverhead(s, true, s->fPeer.fHeaderSize + s->fPeer.fIPOverhead, BW_ACK);
    }
}

// A SYN that the peer sent again because our answer was lost belongs to the connection we
// already accepted for it (same address, same ids, nothing received since the SYN): answering from
// there keeps the peer on that connection's sequence numbers, where a second connection with the
// same ids would leave both halves unable to understand each other. While that connection has
// packets in flight, their retransmission reaches the peer and connects it on its own.
bool sAnswerRepeatedSyn(const PeerAddress& iAddr, const PacketId& iId, uint16_t iSeqNr,
                        const void* iSendUserData)
{
    UTPSocket* s = sFindForPacket(iAddr, (iId.fConnId + 1) & spIdMask(iId), iSendUserData);
    if (!s || s->fPeer.fSendId != iId.fConnId || s->fPeer.fVersion != iId.fVersion ||
        s->fRecv.fAckNr != iSeqNr || (s->fState != CS_CONNECTED && s->fState != CS_CONNECTED_FULL))
        return false;
    s->fTimers.fLastReceived = sRefreshNow();
    if (s->fSend.fCurWindowPackets == 0)
        sSendAck(s, true);
    return true;
}

void sAnswerStray(SendToProc iSendTo, void* iSendUserData, const PacketId& iId, uint16_t iSeqNr,
                  const PeerAddress& iAddr)
{
    const uint32_t now = sRefreshNow();
    if (ResetRecord* r = sResetTableFind(iAddr, iId.fConnId, iSeqNr))
    {
        r->fTime = now;
        return;
    }
    if (sResetTableAdd(iAddr, iId.fConnId, iSeqNr, now))
        spSendStrayReset(iSendTo, iSendUserData, iId, iSeqNr, iAddr);
}

} // namespace Engine
} // namespace UTP
} // namespace quillane
