// The receive path: the datagram entry point (version recognition, connection matching, accepting
// SYNs, answering strays with resets through the bounded reset table) and the processing of one
// packet for a connection (acknowledgements, delay and window bookkeeping, in-order delivery, the
// reorder buffer, delayed ACKs).
//
// Every datagram is hostile: lengths, the extension chain and EACK masks are bounds-checked
// before use; a packet is stored only within 510 of the next expected one; the reset table never
// holds more than 1001 records.
//
// Threads: one at a time (the caller serialises every engine call).

#include "utp/engine/utp_clock.h"
#include "utp/engine/utp_socket.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace quillane
{
namespace UTP
{
namespace Engine
{

namespace
{

// ---------------------------------------------------------------------------------------------
// Reset table

struct ResetTable
{
    ResetRecord* fRecords = nullptr;
    uint32_t fCount = 0;
    uint32_t fCapacity = 0;
};

ResetTable sResets;

ResetRecord* spFindReset(const PeerAddress& iAddr, uint32_t iId, uint16_t iAckNr)
{
    for (uint32_t i = 0; i < sResets.fCount; ++i)
    {
        ResetRecord& r = sResets.fRecords[i];
        if (r.fConnId == iId && r.fAckNr == iAckNr && r.fAddr == iAddr)
            return &r;
    }
    return nullptr;
}

void spAppendReset(const PeerAddress& iAddr, uint32_t iId, uint16_t iAckNr, uint32_t iNow)
{
    if (sResets.fCount == sResets.fCapacity)
    {
        const uint32_t newCap = sResets.fCapacity * 2 > 16 ? sResets.fCapacity * 2 : 16;
        ResetRecord* records =
            static_cast<ResetRecord*>(std::realloc(sResets.fRecords, newCap * sizeof(ResetRecord)));
        if (!records)
            std::abort();
        sResets.fRecords = records;
        sResets.fCapacity = newCap;
    }
    ResetRecord& r = sResets.fRecords[sResets.fCount++];
    r.fAddr = iAddr;
    r.fConnId = iId;
    r.fTime = iNow;
    r.fAckNr = iAckNr;
}

void spSendReset(SendToProc iSendTo, void* iSendUserData, const PacketId& iId, uint16_t iAckNr,
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
// Datagram entry steps

// An ST_RESET for a known connection.
void spResetConnection(UTPSocket* s, size_t iLength)
{
    sTouch(s);
    s->fLastReceived = sRefreshNow();
    const int before = s->fState;
    // A connection the user already closed goes straight to destruction: nobody would close it
    // again from CS_RESET.
    const bool closed = before == CS_FIN_SENT || before == CS_DESTROY_DELAY || before == CS_DESTROY;
    sSetState(s, (!s->fUserData || closed) ? CS_DESTROY : CS_RESET);
    if (!s->fUserData)
        return;
    sReportOverhead(s, false, iLength + s->fIPOverhead, BW_CLOSE);
    // A record already on its way out reports nothing new: one in CS_DESTROY has ended (or been
    // reset by us), and one in its destroy delay reports only what the delay's own end would,
    // lost packets. A peer that closed first answers our FIN that way once it has forgotten the
    // connection, which is no failure.
    if (before == CS_DESTROY || (before == CS_DESTROY_DELAY && !s->fCurWindowPackets))
        return;
    sReportError(s, before == CS_SYN_SENT ? UTP_ECONNREFUSED : UTP_ECONNRESET);
}

void spAcceptSyn(UTPGotIncomingConnection iGotIncoming, SendToProc iSendTo, void* iSendUserData,
                 const uint8_t* iBytes, size_t iLength, const sockaddr* iSockAddr, int iSockAddrLen,
                 const PacketId& iId, uint16_t iSeqNr)
{
    UTPSocket* s = UTP_Create(iSendTo, iSendUserData, iSockAddr, iSockAddrLen);
    // Ids live in the 16-bit field of a version-1 header, so they wrap there.
    const uint32_t idMask = iId.fVersion == 1 ? 0xFFFFu : 0xFFFFFFFFu;
    sSetIds(s, (iId.fConnId + 1) & idMask, iId.fConnId);
    s->fAckNr = iSeqNr;
    s->fSeqNr = s->fFastResendSeqNr = uint16_t(UTP_Random15());
    s->fFlushFrom = s->fSeqNr;
    UTP_SetOption(s, UTP_OPTION_VERSION, iId.fVersion);
    sSetState(s, CS_CONNECTED);
    sProcessPacket(s, iBytes, iLength, true);
    sSendAck(s, true);
    iGotIncoming(iSendUserData, s);
    if (s->fUserData)
    {
        sReportOverhead(s, false, iLength + s->fIPOverhead, BW_HEADER);
        sReportOverhead(s, true, s->fHeaderSize + s->fIPOverhead, BW_ACK);
    }
}

// A SYN that the peer sent again because our answer was lost belongs to the connection we
// already accepted for it (same address, same ids, nothing received since the SYN): answering from
// there keeps the peer on that connection's sequence numbers, where a second connection with the
// same ids would leave both halves unable to understand each other. While that connection has
// packets in flight, their retransmission reaches the peer and connects it on its own.
bool spRepeatedSyn(const PeerAddress& iAddr, const PacketId& iId, uint16_t iSeqNr,
                   const void* iSendUserData)
{
    const uint32_t idMask = iId.fVersion == 1 ? 0xFFFFu : 0xFFFFFFFFu;
    UTPSocket* s = sFindForPacket(iAddr, (iId.fConnId + 1) & idMask, iSendUserData);
    if (!s || s->fSendId != iId.fConnId || s->fVersion != iId.fVersion || s->fAckNr != iSeqNr ||
        (s->fState != CS_CONNECTED && s->fState != CS_CONNECTED_FULL))
        return false;
    s->fLastReceived = sRefreshNow();
    if (s->fCurWindowPackets == 0)
        sSendAck(s, true);
    return true;
}

// A packet for no known connection.
void spAnswerStray(SendToProc iSendTo, void* iSendUserData, const PacketId& iId, uint16_t iSeqNr,
                   const PeerAddress& iAddr)
{
    const uint32_t now = sRefreshNow();
    if (ResetRecord* r = spFindReset(iAddr, iId.fConnId, iSeqNr))
    {
        r->fTime = now;
        return;
    }
    if (sResets.fCount > kMaxResets)
        return;
    spAppendReset(iAddr, iId.fConnId, iSeqNr, now);
    spSendReset(iSendTo, iSendUserData, iId, iSeqNr, iAddr);
}

// ---------------------------------------------------------------------------------------------
// Packet processing steps

InBlock* spNewInBlock(const uint8_t* iBytes, size_t iLength)
{
    InBlock* b = static_cast<InBlock*>(std::malloc(offsetof(InBlock, fBytes) + iLength + 1));
    if (!b)
        std::abort();
    b->fLength = uint32_t(iLength);
    if (iLength)
        std::memcpy(b->fBytes, iBytes, iLength);
    return b;
}

void spDeliver(UTPSocket* s, const uint8_t* iBytes, size_t iLength)
{
    if (iLength && s->fState != CS_FIN_SENT)
        s->fCallbacks.fOnRead(s->fUserData, iBytes, iLength);
    ++s->fAckNr;
    s->fBytesSinceAck += uint32_t(iLength);
}

void spDeliverInOrder(UTPSocket* s, const uint8_t* iPayload, size_t iLength)
{
    spDeliver(s, iPayload, iLength);
    for (;;)
    {
        if ((s->fFlags & FLAG_GOT_FIN) && s->fEofPkt == s->fAckNr)
        {
            if (s->fState != CS_FIN_SENT)
            {
                sSetState(s, CS_GOT_FIN);
                const uint32_t wait = 3 * s->fRto < 60 ? 3 * s->fRto : 60;
                s->fTimeoutAt = sNow() + wait;
                sReportState(s, STATE_CHANGE_EOF);
            }
            sSendAck(s);
            s->fReorderCount = 0;
            break;
        }
        if (s->fReorderCount == 0)
            break;
        const uint16_t next = uint16_t(s->fAckNr + 1);
        InBlock* b = s->fInBuf.Get(next);
        if (!b)
            break;
        s->fInBuf.Put(next, nullptr);
        spDeliver(s, b->fBytes, b->fLength);
        sFreeInBlock(b);
        --s->fReorderCount;
    }
    sScheduleAck(s, 100);
}

// Sequence number a lies after b (within half the 16-bit circle).
bool spSeqAfter(uint16_t a, uint16_t b)
{
    const uint16_t d = uint16_t(a - b);
    return d != 0 && d < 0x8000;
}

void spStoreOutOfOrder(UTPSocket* s, uint16_t iSeqNr, uint32_t iDistance, const uint8_t* iPayload,
                       size_t iLength)
{
    // "Got an invalid packet sequence number, past EOF"
    if ((s->fFlags & FLAG_GOT_FIN) && spSeqAfter(iSeqNr, s->fEofPkt))
        return;
    if (iDistance + 1 > s->fInBuf.fMask)
        s->fInBuf.Grow(uint16_t(iSeqNr + 1), iDistance + 1);
    if (s->fInBuf.Get(iSeqNr))
        return; // duplicate
    s->fInBuf.Put(iSeqNr, spNewInBlock(iPayload, iLength));
    ++s->fReorderCount;
    sScheduleAck(s, 1);
}

// Steps 7 to 9: how many of the oldest packets the peer acknowledges, their bytes and the
// smallest round trip among them and the packets an EACK marks.
uint32_t spAckedCount(const UTPSocket* s, uint16_t iAckNr)
{
    uint32_t a = uint16_t(iAckNr - s->fSeqNr + s->fCurWindowPackets + 1);
    return a > s->fCurWindowPackets ? 0 : a;
}

size_t spAckedBytes(UTPSocket* s, uint32_t a, const uint8_t* iEack, size_t iEackLength,
                    uint16_t iAckNr, uint64_t iNowUs, int64_t& oMinRtt)
{
    size_t acked = 0;
    oMinRtt = INT64_MAX;
    const uint16_t oldest = sOldest(s);
    for (uint32_t i = 0; i < a; ++i)
    {
        const OutPacket* p = s->fOutBuf.Get(uint16_t(oldest + i));
        if (!p || p->fTransmissions == 0)
            continue;
        acked += p->fPayload;
        const int64_t rtt = int64_t(iNowUs - p->fTimeSent);
        if (rtt < oMinRtt)
            oMinRtt = rtt;
    }
    if (iEack)
        acked += sMarkedBytes(s, uint16_t(iAckNr + 2), iEack, iEackLength, iNowUs, oMinRtt);
    return acked;
}

// Steps 14 to 17: release acknowledged packets and keep the send side moving.
void spReleaseAcked(UTPSocket* s, uint32_t a, uint64_t iNowUs)
{
    for (uint32_t i = 0; i < a; ++i)
    {
        if (sAckPacket(s, sOldest(s), iNowUs) == 2)
            break;
        --s->fCurWindowPackets;
    }
    while (s->fCurWindowPackets && !s->fOutBuf.Get(sOldest(s)))
        --s->fCurWindowPackets;

    if (s->fCurWindowPackets == 1)
    {
        OutPacket* p = s->fOutBuf.Get(sOldest(s));
        if (p->fTransmissions == 0 && s->fQuota / 100 >= int32_t(p->fLength))
            sSendPacket(s, p);
    }

    if (s->fFlags & FLAG_RESEND_ALL)
    {
        OutPacket* p = s->fCurWindowPackets ? s->fOutBuf.Get(sOldest(s)) : nullptr;
        if (p && sOldest(s) == s->fFastResendSeqNr && p->fTransmissions)
        {
            ++s->fFastResendSeqNr;
            sSendPacket(s, p);
        }
        else
        {
            s->fFlags &= ~FLAG_RESEND_ALL;
        }
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Reset table upkeep

void sExpireResets(uint32_t iNow)
{
    for (uint32_t i = 0; i < sResets.fCount;)
    {
        if (int32_t(iNow - sResets.fRecords[i].fTime) >= int32_t(kResetLifetime))
            sResets.fRecords[i] = sResets.fRecords[--sResets.fCount];
        else
            ++i;
    }
    if (sResets.fCount == sResets.fCapacity)
        return;
    if (sResets.fCount == 0)
    {
        sFreeResets();
        return;
    }
    ResetRecord* records = static_cast<ResetRecord*>(
        std::realloc(sResets.fRecords, sResets.fCount * sizeof(ResetRecord)));
    if (records)
    {
        sResets.fRecords = records;
        sResets.fCapacity = sResets.fCount;
    }
}

void sFreeResets()
{
    std::free(sResets.fRecords);
    sResets.fRecords = nullptr;
    sResets.fCount = sResets.fCapacity = 0;
}

void sFreeInBlock(InBlock* b)
{
    std::free(b);
}

// ---------------------------------------------------------------------------------------------
// Processing one packet for a connection

namespace
{

// A packet that passed the checks: its header, where its payload starts, its EACK mask.
struct Parsed
{
    PacketHeader fHeader;
    uint64_t fNowUs; // the microsecond clock when the packet was read
    size_t fPayloadOffset;
    const uint8_t* fEack;
    size_t fEackLength;
};

// Length, type and the extension chain; false drops the packet.
bool spParse(const UTPSocket* s, const uint8_t* iBytes, size_t iLength, Parsed& oParsed)
{
    // "Invalid packet size (less than header size)"
    if (iLength < s->fHeaderSize)
        return false;
    sReadHeader(iBytes, s->fVersion, oParsed.fHeader);
    if (oParsed.fHeader.fType >= ST_NUM_TYPES)
        return false;
    oParsed.fNowUs = UTP_GetMicroseconds();
    return sWalkExtensions(iBytes, iLength, s->fHeaderSize, oParsed.fHeader.fExtension,
                           oParsed.fPayloadOffset, oParsed.fEack, oParsed.fEackLength) == EXT_OK;
}

// What the packet says about our side: acknowledgements, delay, window, state.
void spAcknowledge(UTPSocket* s, const Parsed& p)
{
    const PacketHeader& h = p.fHeader;
    const uint32_t a = spAckedCount(s, h.fAckNr);
    if (s->fCurWindowPackets && h.fAckNr != uint16_t(sOldest(s) - 1))
        s->fDupAck = 0;
    int64_t minRtt;
    const size_t acked = spAckedBytes(s, a, p.fEack, p.fEackLength, h.fAckNr, p.fNowUs, minRtt);
    sDelayAndWindow(s, h, p.fNowUs, acked, minRtt);

    // A window below one packet lets nothing out, so nothing in flight would notice a dead
    // peer: the timer step probes it (a window of 0 is the common case).
    s->fPeerWindow = h.fWindow;
    if (h.fWindow < s->fPacketSize)
        s->fZeroWindowAt = sNow() + kZeroWindowProbe;

    if (s->fState == CS_SYN_SENT)
    {
        sSetState(s, CS_CONNECTED);
        sReportState(s, STATE_CHANGE_CONNECTED);
    }
    else if (s->fState == CS_FIN_SENT && a == s->fCurWindowPackets)
    {
        sSetState(s, CS_DESTROY);
    }

    const uint16_t next = uint16_t(h.fAckNr + 1);
    if (spSeqAfter(next, s->fFastResendSeqNr))
        s->fFastResendSeqNr = next;

    spReleaseAcked(s, a, p.fNowUs);
    if (p.fEack)
        sSelectiveAck(s, uint16_t(h.fAckNr + 2), p.fEack, p.fEackLength, p.fNowUs);

    if (s->fState == CS_CONNECTED_FULL && sWritable(s, s->fPacketSize))
    {
        sSetState(s, CS_CONNECTED);
        sReportState(s, STATE_CHANGE_WRITABLE);
    }
}

// The packet's own payload (or FIN), d packets ahead of the next expected one.
size_t spTakePayload(UTPSocket* s, const Parsed& p, const uint8_t* iBytes, size_t iLength,
                     uint32_t d)
{
    const PacketHeader& h = p.fHeader;
    if (h.fType == ST_STATE)
        return 0;
    if (s->fState != CS_CONNECTED && s->fState != CS_CONNECTED_FULL && s->fState != CS_FIN_SENT)
        return 0;
    if (h.fType == ST_FIN && !(s->fFlags & FLAG_GOT_FIN))
    {
        s->fFlags |= FLAG_GOT_FIN;
        s->fEofPkt = h.fSeqNr;
    }

    const uint8_t* payload = iBytes + p.fPayloadOffset;
    const size_t length = iLength - p.fPayloadOffset;
    if (d == 0)
        spDeliverInOrder(s, payload, length);
    else
        spStoreOutOfOrder(s, h.fSeqNr, d, payload, length);

    if ((s->fState == CS_CONNECTED || s->fState == CS_CONNECTED_FULL) &&
        (s->fBytesSinceAck > kAckThreshold || sPassed(sNow(), s->fAckTime)))
        sSendAck(s);
    return length;
}

} // namespace

size_t sProcessPacket(UTPSocket* s, const uint8_t* iBytes, size_t iLength, bool iAcceptedSyn)
{
    // Any datagram matched to the connection shows the peer alive, whatever becomes of it.
    s->fLastReceived = sRefreshNow();
    sTouch(s);
    sUpdateQuota(s);
    Parsed p;
    if (!spParse(s, iBytes, iLength, p))
        return 0;
    if (s->fState == CS_SYN_SENT)
        s->fAckNr = uint16_t(p.fHeader.fSeqNr - 1);
    sRefreshNow();
    if (iAcceptedSyn)
        return 0;

    const uint32_t d = uint16_t(p.fHeader.fSeqNr - s->fAckNr - 1);
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

} // namespace Engine
} // namespace UTP
} // namespace quillane

using namespace quillane::UTP::Engine;

// ---------------------------------------------------------------------------------------------
// The datagram entry point

bool UTP_ProcessDatagram(UTPGotIncomingConnection iGotIncoming, SendToProc iSendTo,
                         void* iSendUserData, const uint8_t* iBytes, size_t iLength,
                         const sockaddr* iSockAddr, int iSockAddrLen)
{
    PeerAddress addr;
    PeerAddress_FromSockAddr(addr, iSockAddr, iSockAddrLen);
    PacketId id;
    if (!sRecognize(iBytes, iLength, id))
        return false;

    if (id.fType == ST_RESET)
    {
        if (UTPSocket* s = sFindForReset(addr, id.fConnId, iSendUserData))
            spResetConnection(s, iLength);
        return true;
    }
    if (id.fType != ST_SYN)
    {
        if (UTPSocket* s = sFindForPacket(addr, id.fConnId, iSendUserData))
        {
            const size_t payload = sProcessPacket(s, iBytes, iLength, false);
            if (s->fUserData)
                sReportOverhead(s, false, iLength - payload + s->fIPOverhead, BW_HEADER);
            return true;
        }
    }

    const uint16_t seqNr = sReadSeqNr(iBytes, id.fVersion);
    if (id.fType == ST_SYN)
    {
        if (spRepeatedSyn(addr, id, seqNr, iSendUserData))
            return true;
        if (iGotIncoming)
            spAcceptSyn(iGotIncoming, iSendTo, iSendUserData, iBytes, iLength, iSockAddr,
                        iSockAddrLen, id, seqNr);
        return true;
    }
    spAnswerStray(iSendTo, iSendUserData, id, seqNr, addr);
    return true;
}

size_t UTP_GetResetCount()
{
    return sResets.fCount;
}
