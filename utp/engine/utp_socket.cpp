// Connection records and the send side of the engine: the process-wide connection list and its
// hash index, creation, options, connecting, queuing and flushing data, sending packets, ACKs and
// keep-alives, closing and resetting, the timer sweep and destruction.
//
// Invariants: see utp_socket.h. The connection index holds every live connection twice, under
// (address, receive id) and (address, send id); a lookup returns, among the connections of the
// local endpoint (send user data) that match, the one earliest in the connection list, so
// indexing changes the cost of matching and never its result.
//
// Threads: one at a time (the caller serialises every engine call).

#include "utp/engine/utp_socket.h"
#include "utp/engine/utp_clock.h"

#include <algorithm>
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

// Allocation failure inside the engine is fatal: a half-built connection or a lost packet would
// corrupt a stream silently.
void* spAlloc(size_t iSize)
{
    void* p = std::malloc(iSize);
    if (!p)
        std::abort();
    return p;
}

void* spAllocZeroed(size_t iCount, size_t iSize)
{
    void* p = std::calloc(iCount, iSize);
    if (!p)
        std::abort();
    return p;
}

const uint32_t kPacketCacheMax = 1024;

struct EngineState
{
    UTPSocket** fConns = nullptr;
    uint32_t fCount = 0;
    uint32_t fCapacity = 0;

    IndexNode** fBuckets = nullptr;
    uint32_t fBucketMask = 0;
    uint32_t fNodeCount = 0;

    uint32_t fNow = 0;

    OutPacket* fPacketCache[kPacketCacheMax];
    uint32_t fPacketCacheCount = 0;
};

EngineState sEngine;

// ---------------------------------------------------------------------------------------------
// Default callbacks: do nothing.

void spNoRead(void*, const uint8_t*, size_t) {}
void spNoWrite(void*, uint8_t* oDest, size_t iCount)
{
    std::memset(oDest, 0, iCount);
}
size_t spNoReadBufferSize(void*)
{
    return 0;
}
void spNoStateChange(void*, int) {}
void spNoError(void*, int) {}
void spNoOverhead(void*, bool, size_t, int) {}

const UTPCallbacks kDefaultCallbacks = {spNoRead,        spNoWrite, spNoReadBufferSize,
                                        spNoStateChange, spNoError, spNoOverhead};

// ---------------------------------------------------------------------------------------------
// Connection index

uint32_t spHash(const PeerAddress& iAddr, uint32_t iId)
{
    uint64_t h = 0x9E3779B97F4A7C15ull ^ (uint64_t(iId) << 16) ^ iAddr.fPort;
    for (int i = 0; i < 16; i += 8)
    {
        uint64_t word;
        std::memcpy(&word, iAddr.fAddr + i, 8);
        h = (h ^ word) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 29;
    }
    h = (h ^ iId) * 0xC4CEB9FE1A85EC53ull;
    return uint32_t(h ^ (h >> 32));
}

void spIndexLink(IndexNode* iNode)
{
    const uint32_t b = spHash(iNode->fSocket->fAddr, iNode->fId) & sEngine.fBucketMask;
    iNode->fNext = sEngine.fBuckets[b];
    sEngine.fBuckets[b] = iNode;
}

void spIndexGrow()
{
    IndexNode** old = sEngine.fBuckets;
    const uint32_t oldCount = old ? sEngine.fBucketMask + 1 : 0;
    const uint32_t newCount = oldCount ? oldCount * 2 : 64;
    sEngine.fBuckets = static_cast<IndexNode**>(spAllocZeroed(newCount, sizeof(IndexNode*)));
    sEngine.fBucketMask = newCount - 1;
    for (uint32_t i = 0; i < oldCount; ++i)
    {
        for (IndexNode* n = old[i]; n;)
        {
            IndexNode* next = n->fNext;
            spIndexLink(n);
            n = next;
        }
    }
    std::free(old);
}

void spIndexInsert(IndexNode* iNode)
{
    if (!sEngine.fBuckets || sEngine.fNodeCount >= sEngine.fBucketMask + 1)
        spIndexGrow();
    spIndexLink(iNode);
    ++sEngine.fNodeCount;
}

void spIndexRemove(IndexNode* iNode)
{
    const uint32_t b = spHash(iNode->fSocket->fAddr, iNode->fId) & sEngine.fBucketMask;
    for (IndexNode** link = &sEngine.fBuckets[b]; *link; link = &(*link)->fNext)
    {
        if (*link == iNode)
        {
            *link = iNode->fNext;
            --sEngine.fNodeCount;
            return;
        }
    }
}

UTPSocket* spFind(const PeerAddress& iAddr, uint32_t iId, const void* iSendUserData, bool iRecvOnly)
{
    if (!sEngine.fBuckets)
        return nullptr;
    UTPSocket* best = nullptr;
    const uint32_t b = spHash(iAddr, iId) & sEngine.fBucketMask;
    for (IndexNode* n = sEngine.fBuckets[b]; n; n = n->fNext)
    {
        UTPSocket* s = n->fSocket;
        if (n->fId != iId || (iRecvOnly && n != &s->fRecvNode) || s->fAddr != iAddr ||
            s->fSendUserData != iSendUserData)
            continue;
        if (!best || s->fIndex < best->fIndex)
            best = s;
    }
    return best;
}

// True when a connection other than iExclude to iAddr has iId as either of its ids.
bool spIdInUse(const PeerAddress& iAddr, uint32_t iId, const UTPSocket* iExclude)
{
    if (!sEngine.fBuckets)
        return false;
    const uint32_t b = spHash(iAddr, iId) & sEngine.fBucketMask;
    for (IndexNode* n = sEngine.fBuckets[b]; n; n = n->fNext)
    {
        if (n->fId == iId && n->fSocket != iExclude && n->fSocket->fAddr == iAddr)
            return true;
    }
    return false;
}

// A connection-id seed that no other live connection to the same peer uses, so that datagrams
// (matched by address and id) cannot reach the wrong connection. Gives up after a bounded number
// of draws (only when thousands of connections go to one peer).
uint32_t spDrawSeed(const UTPSocket* s)
{
    uint32_t seed = 0;
    for (int attempt = 0; attempt < 64; ++attempt)
    {
        seed = UTP_Random15();
        if (s->fVersion == 1)
            seed &= 0xFFFF;
        if (!spIdInUse(s->fAddr, seed, s) && !spIdInUse(s->fAddr, seed + 1, s))
            break;
    }
    return seed;
}

// ---------------------------------------------------------------------------------------------
// Connection list

void spListAdd(UTPSocket* s)
{
    if (sEngine.fCount == sEngine.fCapacity)
    {
        const uint32_t newCap = sEngine.fCapacity * 2 > 16 ? sEngine.fCapacity * 2 : 16;
        UTPSocket** conns = static_cast<UTPSocket**>(spAlloc(newCap * sizeof(UTPSocket*)));
        if (sEngine.fCount)
            std::memcpy(conns, sEngine.fConns, sEngine.fCount * sizeof(UTPSocket*));
        std::free(sEngine.fConns);
        sEngine.fConns = conns;
        sEngine.fCapacity = newCap;
    }
    s->fIndex = sEngine.fCount;
    sEngine.fConns[sEngine.fCount++] = s;
}

void spListRemove(UTPSocket* s)
{
    const uint32_t last = --sEngine.fCount;
    if (s->fIndex != last)
    {
        sEngine.fConns[s->fIndex] = sEngine.fConns[last];
        sEngine.fConns[s->fIndex]->fIndex = s->fIndex;
    }
}

// ---------------------------------------------------------------------------------------------
// Packet blocks

OutPacket* spNewOutPacket()
{
    OutPacket* p = sEngine.fPacketCacheCount ? sEngine.fPacketCache[--sEngine.fPacketCacheCount]
                                             : static_cast<OutPacket*>(spAlloc(sizeof(OutPacket)));
    p->fLength = 0;
    p->fPayload = 0;
    p->fTimeSent = 0;
    p->fTransmissions = 0;
    p->fNeedResend = 0;
    return p;
}

void spFreeRecord(UTPSocket* s)
{
    for (uint32_t i = 0; i <= s->fOutBuf.fMask; ++i)
        sFreeOutPacket(static_cast<OutPacket*>(s->fOutBuf.fSlots[i]));
    for (uint32_t i = 0; i <= s->fInBuf.fMask; ++i)
        sFreeInBlock(static_cast<InBlock*>(s->fInBuf.fSlots[i]));
    std::free(s->fOutBuf.fSlots);
    std::free(s->fInBuf.fSlots);
    std::free(s);
}

void spDestroy(UTPSocket* s)
{
    s->fCallbacks.fOnStateChange(s->fUserData, STATE_CHANGE_DESTROYING);
    s->fCallbacks = kDefaultCallbacks;
    s->fUserData = nullptr;
    spListRemove(s);
    sScheduleRemove(s);
    spIndexRemove(&s->fRecvNode);
    spIndexRemove(&s->fSendNode);
    spFreeRecord(s);
}

int spPacketType(const UTPSocket* s, const OutPacket* p)
{
    return s->fVersion == 0 ? p->fData[18] : p->fData[0] >> 4;
}

// Puts a new packet at fSeqNr and advances it.
void spStoreOut(UTPSocket* s, OutPacket* p)
{
    if (s->fCurWindowPackets > s->fOutBuf.fMask)
        s->fOutBuf.Grow(s->fSeqNr, s->fCurWindowPackets);
    s->fOutBuf.Put(s->fSeqNr, p);
    ++s->fSeqNr;
    ++s->fCurWindowPackets;
}

void spSendDatagram(UTPSocket* s, uint8_t* ioBytes, size_t iLength, int iCategory, uint64_t iNowUs)
{
    sStamp(ioBytes, s->fVersion, iNowUs, s->fReplyDelay);
    s->fLastSent = sEngine.fNow;
    if (s->fUserData)
    {
        if (iCategory == BW_PAYLOAD)
            sReportOverhead(s, true, s->fHeaderSize + s->fIPOverhead, BW_HEADER);
        else
            sReportOverhead(s, true, iLength + s->fIPOverhead, iCategory);
    }
    s->fSendTo(s->fSendUserData, ioBytes, iLength, reinterpret_cast<const sockaddr*>(s->fSockAddr),
               s->fSockAddrLen);
}

// Our FIN when the peer's came first: sent once, neither stored nor retransmitted, so seq_nr does
// not move past it and the send buffer keeps ending at fSeqNr. Its ack_nr covers the peer's FIN.
void spSendFinOnce(UTPSocket* s)
{
    s->fRcvWin = sFreeReceiveBuffer(s);
    uint8_t buf[kHeaderSizeV0];
    sWriteHeader(buf, s->fVersion, ST_FIN, EXT_NONE, s->fSendId, s->fRcvWin, s->fSeqNr, s->fAckNr);
    spSendDatagram(s, buf, s->fHeaderSize, BW_CLOSE, UTP_GetMicroseconds());
}

// A reset to the peer, laid out as those answering strays: window 0, no timestamps.
void spSendReset(UTPSocket* s)
{
    uint8_t buf[kHeaderSizeV0];
    sWriteHeader(buf, s->fVersion, ST_RESET, EXT_NONE, s->fSendId, 0, s->fSeqNr, s->fAckNr);
    if (s->fUserData)
        sReportOverhead(s, true, s->fHeaderSize + s->fIPOverhead, BW_CLOSE);
    s->fSendTo(s->fSendUserData, buf, s->fHeaderSize,
               reinterpret_cast<const sockaddr*>(s->fSockAddr), s->fSockAddrLen);
}

// Queues n payload bytes (pulled from the user) or an empty packet of the given type.
void spQueue(UTPSocket* s, size_t n, int iType)
{
    const uint32_t now = sEngine.fNow;
    if (s->fCurWindowPackets == 0)
    {
        s->fBackoffTimeout = s->fRto;
        s->fTimeoutAt = now + s->fRto;
    }
    do
    {
        OutPacket* newest =
            s->fCurWindowPackets ? s->fOutBuf.Get(uint16_t(s->fSeqNr - 1)) : nullptr;
        OutPacket* p;
        size_t k;
        bool isNew;
        if (n && newest && newest->fTransmissions == 0 && newest->fPayload < s->fPacketSize &&
            iType == ST_DATA && spPacketType(s, newest) == ST_DATA)
        {
            p = newest;
            k = std::min<size_t>(newest->fPayload + n, s->fPacketSize) - newest->fPayload;
            isNew = false;
        }
        else
        {
            p = spNewOutPacket();
            k = std::min<size_t>(n, s->fPacketSize);
            isNew = true;
        }
        if (k)
            s->fCallbacks.fOnWrite(s->fUserData, p->fData + s->fHeaderSize + p->fPayload, k);
        p->fPayload += uint32_t(k);
        p->fLength = s->fHeaderSize + p->fPayload;
        s->fRcvWin = sFreeReceiveBuffer(s);
        const uint16_t seq = isNew ? s->fSeqNr : uint16_t(s->fSeqNr - 1);
        sWriteHeader(p->fData, s->fVersion, iType, EXT_NONE, s->fSendId, s->fRcvWin, seq,
                     s->fAckNr);
        if (isNew)
            spStoreOut(s, p);
        n -= k;
    } while (n);
    sFlush(s);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Process-wide state

uint32_t sNow()
{
    return sEngine.fNow;
}

uint32_t sRefreshNow()
{
    sEngine.fNow = uint32_t(UTP_GetMilliseconds());
    return sEngine.fNow;
}

UTPSocket* sFindForPacket(const PeerAddress& iAddr, uint32_t iId, const void* iSendUserData)
{
    return spFind(iAddr, iId, iSendUserData, true);
}

UTPSocket* sFindForReset(const PeerAddress& iAddr, uint32_t iId, const void* iSendUserData)
{
    return spFind(iAddr, iId, iSendUserData, false);
}

void sSetIds(UTPSocket* s, uint32_t iRecvId, uint32_t iSendId)
{
    spIndexRemove(&s->fRecvNode);
    spIndexRemove(&s->fSendNode);
    s->fRecvId = s->fRecvNode.fId = iRecvId;
    s->fSendId = s->fSendNode.fId = iSendId;
    spIndexInsert(&s->fRecvNode);
    spIndexInsert(&s->fSendNode);
}

// ---------------------------------------------------------------------------------------------
// Rings

void sRingInitRaw(void**& oSlots, uint32_t& oMask)
{
    oSlots = static_cast<void**>(spAllocZeroed(16, sizeof(void*)));
    oMask = 15;
}

void sRingGrowRaw(void**& ioSlots, uint32_t& ioMask, uint32_t iItem, uint32_t iIndex)
{
    const uint32_t oldCapacity = ioMask + 1;
    uint32_t capacity = oldCapacity * 2;
    while (capacity <= iIndex)
        capacity *= 2;
    void** slots = static_cast<void**>(spAllocZeroed(capacity, sizeof(void*)));
    const uint32_t start = iItem - iIndex;
    for (uint32_t i = 0; i < oldCapacity; ++i)
        slots[(start + i) & (capacity - 1)] = ioSlots[(start + i) & ioMask];
    std::free(ioSlots);
    ioSlots = slots;
    ioMask = capacity - 1;
}

void sFreeOutPacket(OutPacket* p)
{
    if (!p)
        return;
    if (sEngine.fPacketCacheCount < kPacketCacheMax)
        sEngine.fPacketCache[sEngine.fPacketCacheCount++] = p;
    else
        std::free(p);
}

// ---------------------------------------------------------------------------------------------
// Reports

void sSetState(UTPSocket* s, int iState)
{
    s->fState = iState;
}

void sReportState(UTPSocket* s, int iStateChange)
{
    s->fCallbacks.fOnStateChange(s->fUserData, iStateChange);
}

void sReportError(UTPSocket* s, int iError)
{
    s->fCallbacks.fOnError(s->fUserData, iError);
}

void sReportOverhead(UTPSocket* s, bool iSend, size_t iCount, int iCategory)
{
    s->fCallbacks.fOnOverhead(s->fUserData, iSend, iCount, iCategory);
}

void sApplyVersion(UTPSocket* s, int iVersion)
{
    if (iVersion == 0)
    {
        s->fReplyDelay = kNoDelay;
        s->fRcvBuf = kRcvBufV0;
        s->fSndBuf = kSndBufV0;
    }
    else
    {
        s->fReplyDelay = 0;
        s->fRcvBuf = s->fSndBuf = kDefaultBufferV1;
    }
    s->fVersion = uint8_t(iVersion);
    const bool v4 = PeerAddress_IsIPv4(s->fAddr);
    s->fHeaderSize = uint32_t(sHeaderSize(iVersion));
    s->fPacketSize = uint32_t(v4 ? kMaxDatagramIPv4 : kMaxDatagramIPv6) - s->fHeaderSize;
    s->fIPOverhead = uint32_t(v4 ? kIPOverheadIPv4 : kIPOverheadIPv6);
}

// ---------------------------------------------------------------------------------------------
// Send path

uint32_t sFreeReceiveBuffer(UTPSocket* s)
{
    if (!s->fUserData)
        return s->fRcvBuf;
    const size_t used = s->fCallbacks.fGetReadBufferSize(s->fUserData);
    return used > s->fRcvBuf ? 0 : s->fRcvBuf - uint32_t(used);
}

void sScheduleAck(UTPSocket* s, uint32_t iWithin)
{
    const uint32_t now = sEngine.fNow;
    const uint32_t pending = s->fAckTime - now;
    s->fAckTime = now + (iWithin < pending ? iWithin : pending);
}

void sSendAck(UTPSocket* s, bool iSynAnswer)
{
    s->fRcvWin = sFreeReceiveBuffer(s);
    uint8_t buf[kHeaderSizeV0 + kExtBitsSize];
    const size_t header = s->fHeaderSize;
    size_t length = header;
    if (s->fReorderCount && s->fState <= CS_CONNECTED_FULL)
    {
        uint32_t mask = 0;
        const uint32_t bits = s->fInBuf.fMask + 1 < 30 ? s->fInBuf.fMask + 1 : 30;
        for (uint32_t i = 0; i < bits; ++i)
        {
            if (s->fInBuf.Get(uint16_t(s->fAckNr + 2 + i)))
                mask |= 1u << i;
        }
        sWriteHeader(buf, s->fVersion, ST_STATE, EXT_EACK, s->fSendId, s->fRcvWin, s->fSeqNr,
                     s->fAckNr);
        length += sWriteEack(buf + header, mask);
    }
    else if (iSynAnswer)
    {
        sWriteHeader(buf, s->fVersion, ST_STATE, EXT_BITS, s->fSendId, s->fRcvWin, s->fSeqNr,
                     s->fAckNr);
        length += sWriteExtensionBits(buf + header);
    }
    else
    {
        sWriteHeader(buf, s->fVersion, ST_STATE, EXT_NONE, s->fSendId, s->fRcvWin, s->fSeqNr,
                     s->fAckNr);
    }
    s->fAckTime = sEngine.fNow + kNoAckPending;
    s->fBytesSinceAck = 0;
    spSendDatagram(s, buf, length, BW_ACK, UTP_GetMicroseconds());
}

void sSendKeepAlive(UTPSocket* s)
{
    --s->fAckNr;
    sSendAck(s);
    ++s->fAckNr;
}

void sSendPacket(UTPSocket* s, OutPacket* p)
{
    if (p->fTransmissions == 0 || p->fNeedResend)
        s->fCurWindow += p->fPayload;
    if (p->fTransmissions == 0)
    {
        uint32_t maxSend = s->fMaxWindow < s->fSndBuf ? s->fMaxWindow : s->fSndBuf;
        if (s->fPeerWindow < maxSend)
            maxSend = s->fPeerWindow;
        if (maxSend < s->fPacketSize)
        {
            const int64_t quota = int64_t(s->fQuota) - int64_t(p->fPayload) * 100;
            s->fQuota = quota < INT32_MIN ? INT32_MIN : int32_t(quota);
        }
    }
    p->fNeedResend = 0;
    sWriteAckNr(p->fData, s->fVersion, s->fAckNr);
    const uint64_t nowUs = UTP_GetMicroseconds();
    p->fTimeSent = nowUs;
    p->fTransmissions = p->fTransmissions + 1;
    s->fAckTime = sEngine.fNow + kNoAckPending;
    s->fBytesSinceAck = 0;
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
    const uint32_t count = s->fCurWindowPackets;
    uint32_t i = uint16_t(s->fFlushFrom - oldest);
    if (i > count)
        i = 0;
    // Every packet the loop passes over is (or becomes) sent and unmarked, so the next flush may
    // start after it.
    for (; i < count; ++i)
    {
        const uint16_t seq = uint16_t(oldest + i);
        OutPacket* p = s->fOutBuf.Get(seq);
        if (!p || (p->fTransmissions && !p->fNeedResend))
        {
            s->fFlushFrom = uint16_t(seq + 1);
            continue;
        }
        if (!sWritable(s, p->fPayload))
            break;
        if (i == count - 1 && count != 1 && p->fPayload < s->fPacketSize)
            break;
        sSendPacket(s, p);
        s->fFlushFrom = uint16_t(seq + 1);
    }
}

} // namespace Engine
} // namespace UTP
} // namespace quillane

using namespace quillane::UTP::Engine;

// ---------------------------------------------------------------------------------------------
// Peer addresses

bool PeerAddress_IsIPv4(const PeerAddress& iAddr)
{
    static const uint8_t kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::memcmp(iAddr.fAddr, kMapped, sizeof(kMapped)) == 0;
}

bool operator==(const PeerAddress& iL, const PeerAddress& iR)
{
    return iL.fPort == iR.fPort && std::memcmp(iL.fAddr, iR.fAddr, 16) == 0;
}

// ---------------------------------------------------------------------------------------------
// Public operations

UTPSocket* UTP_Create(SendToProc iSendTo, void* iSendUserData, const sockaddr* iSockAddr,
                      int iSockAddrLen)
{
    UTPSocket* s = static_cast<UTPSocket*>(spAllocZeroed(1, sizeof(UTPSocket)));
    const uint32_t now = sRefreshNow();
    s->fCallbacks = kDefaultCallbacks;
    s->fUserData = nullptr;
    s->fOurHistory.Clear(now);
    s->fTheirHistory.Clear(now);
    s->fRttHistory.Clear(0);
    s->fSeqNr = 1;
    s->fAckNr = 0;
    s->fFastResendSeqNr = s->fSeqNr;
    s->fRto = kInitialRto;
    s->fRttVar = kInitialRttVar;
    s->fRtt = 0;
    s->fPeerWindow = kInitialPeerWindow;
    s->fQuota = kInitialQuota;
    s->fLastQuotaUpdate = now;
    s->fLastDecay = now - 100;
    s->fLastSent = now;
    s->fLastReceived = now;
    s->fAckTime = now + kNoAckPending;
    PeerAddress_FromSockAddr(s->fAddr, iSockAddr, iSockAddrLen);
    s->fSockAddrLen = PeerAddress_ToSockAddr(s->fAddr, reinterpret_cast<sockaddr*>(s->fSockAddr),
                                             int(sizeof(s->fSockAddr)));
    s->fSendTo = iSendTo;
    s->fSendUserData = iSendUserData;
    sApplyVersion(s, 1);
    s->fMaxWindow = s->fPacketSize;
    s->fState = CS_IDLE;
    s->fInBuf.Init();
    s->fOutBuf.Init();
    s->fFlushFrom = s->fSeqNr;
    s->fRecvNode.fSocket = s->fSendNode.fSocket = s;
    spListAdd(s);
    sScheduleAdd(s);
    spIndexInsert(&s->fRecvNode);
    spIndexInsert(&s->fSendNode);
    return s;
}

void UTP_SetCallbacks(UTPSocket* s, const UTPCallbacks* iCallbacks, void* iUserData)
{
    sTouch(s);
    s->fCallbacks = iCallbacks ? *iCallbacks : kDefaultCallbacks;
    s->fUserData = iUserData;
}

void UTP_Connect(UTPSocket* s)
{
    if (s->fState != CS_IDLE)
        return;
    s->fState = CS_SYN_SENT;
    const uint32_t now = sRefreshNow();
    sTouch(s);
    s->fLastReceived = now; // the idle limit counts from the start of the conversation
    const uint32_t seed = spDrawSeed(s);
    sSetIds(s, seed, seed + 1);
    s->fBackoffTimeout = kInitialRto;
    s->fTimeoutAt = now + kInitialRto;
    s->fRcvWin = sFreeReceiveBuffer(s);
    s->fSeqNr = uint16_t(UTP_Random15());
    s->fFlushFrom = s->fSeqNr;

    OutPacket* p = spNewOutPacket();
    sWriteHeader(p->fData, s->fVersion, ST_SYN, EXT_BITS, s->fRecvId, s->fRcvWin, s->fSeqNr, 0);
    p->fLength = uint32_t(s->fHeaderSize + sWriteExtensionBits(p->fData + s->fHeaderSize));
    p->fPayload = 0;
    spStoreOut(s, p);
    sSendPacket(s, p);
    s->fFlushFrom = s->fSeqNr;
}

bool UTP_Write(UTPSocket* s, size_t iCount)
{
    if (s->fState != CS_CONNECTED)
        return false;
    sRefreshNow();
    sTouch(s);
    sUpdateQuota(s);
    size_t remaining = iCount;
    while (sWritable(s, s->fPacketSize))
    {
        if (remaining == 0)
            return true;
        const size_t n = remaining < s->fPacketSize ? remaining : s->fPacketSize;
        spQueue(s, n, ST_DATA);
        remaining -= n;
    }
    s->fState = CS_CONNECTED_FULL;
    return false;
}

void UTP_ReadBufferDrained(UTPSocket* s)
{
    if (s->fState == CS_IDLE)
        return;
    sTouch(s);
    const uint32_t free = sFreeReceiveBuffer(s);
    if (free <= s->fRcvWin)
        return;
    if (s->fRcvWin == 0)
        sSendAck(s);
    else
        sScheduleAck(s, 100);
}

void UTP_CheckTimeouts()
{
    const uint32_t now = sRefreshNow();
    sExpireResets(now);
    // Only connections with something to do are stepped; a quiet one sleeps until its next
    // deadline or until an operation touches it. Removing the connection at i moves the last
    // active one (not yet stepped) into its place.
    sScheduleWakeDue(now);
    for (uint32_t i = 0; i < sActiveCount();)
    {
        UTPSocket* s = sActiveAt(i);
        sTimerStep(s);
        uint32_t wake;
        if (s->fState == CS_DESTROY)
            spDestroy(s);
        else if (sQuietUntil(s, wake))
            sScheduleSleep(s, wake);
        else
            ++i;
    }
}

void UTP_Close(UTPSocket* s)
{
    sTouch(s);
    switch (s->fState)
    {
    case CS_SYN_SENT:
    {
        const uint32_t wait = 2 * s->fRto < 60 ? 2 * s->fRto : 60;
        s->fTimeoutAt = uint32_t(UTP_GetMilliseconds()) + wait;
        s->fState = CS_DESTROY_DELAY;
        break;
    }
    case CS_CONNECTED:
    case CS_CONNECTED_FULL:
        s->fState = CS_FIN_SENT;
        spQueue(s, 0, ST_FIN);
        break;
    case CS_GOT_FIN:
        spSendFinOnce(s); // a peer may wait for it before it lets go
        s->fState = CS_DESTROY_DELAY;
        break;
    default:
        s->fState = CS_DESTROY;
        break;
    }
}

void UTP_Reset(UTPSocket* s)
{
    sTouch(s);
    if (s->fState == CS_DESTROY)
        return;
    // From CS_IDLE the peer has no connection to reset; from CS_RESET it has given ours up.
    if (s->fState != CS_IDLE && s->fState != CS_RESET)
        spSendReset(s);
    s->fState = CS_DESTROY;
}

bool UTP_SetOption(UTPSocket* s, int iOption, int iValue)
{
    sTouch(s);
    switch (iOption)
    {
    case UTP_OPTION_VERSION:
        if (s->fState != CS_IDLE || (iValue != 0 && iValue != 1))
            return false;
        sApplyVersion(s, iValue);
        return true;
    case UTP_OPTION_SNDBUF:
        if (iValue < 0)
            return false;
        s->fSndBuf = uint32_t(iValue);
        return true;
    case UTP_OPTION_RCVBUF:
        if (iValue < 0)
            return false;
        s->fRcvBuf = uint32_t(iValue);
        return true;
    default:
        return false;
    }
}

int UTP_GetOption(const UTPSocket* s, int iOption)
{
    switch (iOption)
    {
    case UTP_OPTION_VERSION:
        return s->fVersion;
    case UTP_OPTION_SNDBUF:
        return int(s->fSndBuf);
    case UTP_OPTION_RCVBUF:
        return int(s->fRcvBuf);
    default:
        return -1;
    }
}

int UTP_GetState(const UTPSocket* s)
{
    return s->fState;
}

const char* UTP_StateName(int iState)
{
    static const char* const kNames[] = {"IDLE",           "SYN_SENT", "CONNECTED",
                                         "CONNECTED_FULL", "GOT_FIN",  "DESTROY_DELAY",
                                         "FIN_SENT",       "RESET",    "DESTROY"};
    return iState >= 0 && iState <= CS_DESTROY ? kNames[iState] : "?";
}

size_t UTP_GetConnectionCount()
{
    return sEngine.fCount;
}

void UTP_FreeAll()
{
    while (sEngine.fCount)
    {
        UTPSocket* s = sEngine.fConns[sEngine.fCount - 1];
        spListRemove(s);
        spFreeRecord(s);
    }
    std::free(sEngine.fConns);
    sEngine.fConns = nullptr;
    sEngine.fCapacity = 0;
    std::free(sEngine.fBuckets);
    sEngine.fBuckets = nullptr;
    sEngine.fBucketMask = 0;
    sEngine.fNodeCount = 0;
    sScheduleClear();
    while (sEngine.fPacketCacheCount)
        std::free(sEngine.fPacketCache[--sEngine.fPacketCacheCount]);
    sFreeResets();
}
