// The engine's records and its internal operations, shared by the units of the engine:
// utp_congestion (delay histories, LEDBAT window, rtt/rto, quota, fast resend, timer step),
// utp_socket (records, connection list and index, state machine, send path), utp_schedule
// (which connections a timer sweep steps) and utp_receive (datagram entry, reset table, packet
// processing). Not part of the public boundary; tests include it to look inside a connection.
//
// Invariants:
// - While fCurWindowPackets is non-zero, the outbuf slot of the oldest packet
//   (fSeqNr - fCurWindowPackets) is occupied.
// - Every live UTPSocket is in the connection list at fIndex and in the connection index under
//   (address, receive id) and (address, send id).
// - Engine times are the 32-bit wrapping millisecond counter sNow(); deadlines are compared by
//   signed difference (sPassed).
//
// Threads: one at a time (the caller serialises every engine call).

#ifndef QUILLANE_UTP_ENGINE_UTP_SOCKET_H
#define QUILLANE_UTP_ENGINE_UTP_SOCKET_H

#include "utp/engine/utp.h"
#include "utp/engine/utp_packet.h"

#include <cstddef>
#include <cstdint>

namespace quillane
{
namespace UTP
{
namespace Engine
{

// ---------------------------------------------------------------------------------------------
// Constants

const uint32_t kDefaultBufferV1 = 3670016;
const uint32_t kRcvBufV0 = 204800;
const uint32_t kSndBufV0 = 178850;
const uint32_t kInitialPeerWindow = 89250;
const int32_t kInitialQuota = 35000;
const uint32_t kInitialRto = 3000;
const uint32_t kInitialRttVar = 800;
const uint32_t kNoAckPending = 0x70000000;
const uint32_t kAckThreshold = 2400;
const uint32_t kKeepAliveInterval = 29000;
// ms without any datagram from the peer after which a connection fails as timed out. A live peer
// sends at least a keep-alive every kKeepAliveInterval, so only a vanished one reaches it, also
// when nothing of ours is in flight to time out.
const uint32_t kIdleLimit = 3 * kKeepAliveInterval;
const uint32_t kMaxSendPackets = 510;
const uint32_t kReorderLimit = 511;     // a packet this far ahead, or farther, is dropped
const uint32_t kOldPacketFloor = 65025; // distances from here up are packets 1..511 behind
// ms a peer window below one packet stays closed before the probe opens it to one packet.
const uint32_t kZeroWindowProbe = 15000;
const uint32_t kResetLifetime = 10000;
const uint32_t kMaxResets = 1000;
const uint32_t kMinWindow = 10;
const uint32_t kMinRto = 500;
const uint32_t kMaxBackoff = 30000;
const uint32_t kMaxSynBackoff = 6000;
// Room for the largest datagram the engine builds (a SYN is smaller).
const size_t kPacketCapacity = kMaxDatagramIPv4;

// ---------------------------------------------------------------------------------------------
// Small records

// One outgoing packet with its wire bytes. Blocks have a fixed capacity, so growing an unsent
// packet happens in place; freed blocks are cached for reuse.
struct OutPacket
{
    uint32_t fLength;  // bytes on the wire
    uint32_t fPayload; // payload bytes
    uint64_t fTimeSent;
    uint32_t fTransmissions : 31; // 0 = queued, never sent
    uint32_t fNeedResend : 1;     // its bytes no longer count as in flight
    uint8_t fData[kPacketCapacity];
};

// One out-of-order payload waiting in the reorder buffer.
struct InBlock
{
    uint32_t fLength;
    uint8_t fBytes[1]; // fLength bytes, allocated past the end
};

// A ring of pointers indexed by 16-bit sequence number; capacity a power of two, empty slot =
// null.
void sRingInitRaw(void**& oSlots, uint32_t& oMask);
void sRingGrowRaw(void**& ioSlots, uint32_t& ioMask, uint32_t iItem, uint32_t iIndex);

template <class T> struct SeqRing
{
    void** fSlots;
    uint32_t fMask;

    T* Get(uint32_t iSeq) const { return static_cast<T*>(fSlots[iSeq & fMask]); }
    void Put(uint32_t iSeq, T* iItem) { fSlots[iSeq & fMask] = iItem; }
    void Init() { sRingInitRaw(fSlots, fMask); }
    // Grows so that an item at distance iIndex from the start of the live range fits; the live
    // range starts at iItem - iIndex.
    void Grow(uint32_t iItem, uint32_t iIndex) { sRingGrowRaw(fSlots, fMask, iItem, iIndex); }
};

// Delay samples with a 13-minute base history.
struct DelayHistory
{
    uint32_t fBase;
    uint32_t fCurrent[3];
    uint32_t fCurrentIndex;
    uint32_t fBaseHistory[13];
    uint32_t fBaseIndex;
    uint32_t fBaseTime;
    bool fInitialised;

    void Clear(uint32_t iNow);
    void Add(uint32_t iSample, uint32_t iNow);
    void Shift(uint32_t iDelta);
    uint32_t Value() const;
};

// a before b on the 32-bit circle.
inline bool sWrappingLess(uint32_t a, uint32_t b)
{
    return uint32_t(b - a) < uint32_t(a - b);
}

struct ResetRecord
{
    PeerAddress fAddr;
    uint32_t fConnId;
    uint32_t fTime;
    uint16_t fAckNr;
};

// An entry of the connection index: a connection under one of its two ids.
struct IndexNode
{
    UTPSocket* fSocket;
    IndexNode* fNext;
    uint32_t fId;
};

} // namespace Engine
} // namespace UTP
} // namespace quillane

// ---------------------------------------------------------------------------------------------
// The connection record

struct UTPSocket
{
    PeerAddress fAddr;
    uint32_t fIndex;
    uint16_t fReorderCount;
    uint8_t fDupAck;
    uint32_t fBytesSinceAck;
    uint16_t fCurWindowPackets;
    uint32_t fCurWindow;
    uint32_t fMaxWindow;
    uint32_t fSndBuf;
    uint32_t fRcvBuf;
    uint8_t fFlags; // bit 0: FIN received (fEofPkt valid); bit 1: resend-all mode
    uint32_t fPeerWindow;
    uint8_t fVersion;
    int fState;
    uint32_t fLastDecay;
    uint16_t fEofPkt;
    uint16_t fAckNr;
    uint16_t fSeqNr;
    uint16_t fFastResendSeqNr;
    uint32_t fReplyDelay;
    uint32_t fAckTime;
    uint32_t fLastSent;
    uint32_t fLastReceived; // last datagram matched to this connection, or its creation or connect
    uint32_t fLastWindowFull;
    uint32_t fLastQuotaUpdate;
    int32_t fQuota; // hundredths of a byte
    SendToProc fSendTo;
    void* fSendUserData;
    UTPCallbacks fCallbacks;
    void* fUserData;
    uint32_t fRtt;
    uint32_t fRttVar;
    uint32_t fRto;
    quillane::UTP::Engine::DelayHistory fRttHistory;
    uint32_t fBackoffTimeout;
    uint32_t fTimeoutAt; // 0 = none
    uint32_t fZeroWindowAt;
    uint32_t fRecvId;
    uint32_t fSendId;
    uint32_t fRcvWin;
    quillane::UTP::Engine::DelayHistory fOurHistory;
    quillane::UTP::Engine::DelayHistory fTheirHistory;
    quillane::UTP::Engine::SeqRing<quillane::UTP::Engine::InBlock> fInBuf;
    quillane::UTP::Engine::SeqRing<quillane::UTP::Engine::OutPacket> fOutBuf;

    // Derived and bookkeeping fields.
    uint32_t fPacketSize; // largest payload of one packet
    uint32_t fHeaderSize; // 20 or 23
    uint32_t fIPOverhead; // 28 or 76
    uint16_t fFlushFrom;  // every packet before it is sent and not marked for resend
    int fSockAddrLen;
    alignas(8) uint8_t fSockAddr[UTP_SOCKADDR_MAX];
    quillane::UTP::Engine::IndexNode fRecvNode;
    quillane::UTP::Engine::IndexNode fSendNode;
    // Timer scheduling: a connection is either active (stepped at every sweep, at fActivePos of
    // the active list) or asleep (in the wake heap at fHeapPos) until its next deadline.
    int32_t fActivePos; // -1 when asleep
    int32_t fHeapPos;   // -1 when active
    bool fQuotaCatchUp; // timer steps were skipped while asleep: the quota owes their growth
};

namespace quillane
{
namespace UTP
{
namespace Engine
{

enum
{
    FLAG_GOT_FIN = 1,
    FLAG_RESEND_ALL = 2
};

// ---------------------------------------------------------------------------------------------
// Process-wide state (utp_socket.cpp)

uint32_t sNow();
uint32_t sRefreshNow();
// A deadline has passed when now minus it, as a signed 32-bit number, is 0 or more.
inline bool sPassed(uint32_t iNow, uint32_t iDeadline)
{
    return int32_t(iNow - iDeadline) >= 0;
}

// Connections are found by peer address and id among those of one local endpoint: the send
// user data they were made with.
UTPSocket* sFindForPacket(const PeerAddress& iAddr, uint32_t iId, const void* iSendUserData);
UTPSocket* sFindForReset(const PeerAddress& iAddr, uint32_t iId, const void* iSendUserData);
void sSetIds(UTPSocket* ioSocket, uint32_t iRecvId, uint32_t iSendId);

// Timer scheduling (utp_schedule.cpp)
void sScheduleAdd(UTPSocket* s);
void sScheduleRemove(UTPSocket* s);
// Any operation on a connection wakes it: its next sweep steps it.
void sTouch(UTPSocket* s);
void sScheduleSleep(UTPSocket* s, uint32_t iWake);
// Moves every sleeper whose wake time has passed to the active list.
void sScheduleWakeDue(uint32_t iNow);
uint32_t sActiveCount();
UTPSocket* sActiveAt(uint32_t i);
void sScheduleClear();

// Reset table (utp_receive.cpp)
void sExpireResets(uint32_t iNow);
void sFreeResets();

// ---------------------------------------------------------------------------------------------
// Send path (utp_socket.cpp)

inline uint16_t sOldest(const UTPSocket* s)
{
    return uint16_t(s->fSeqNr - s->fCurWindowPackets);
}
uint32_t sFreeReceiveBuffer(UTPSocket* s);
void sScheduleAck(UTPSocket* s, uint32_t iWithin);
void sSendAck(UTPSocket* s, bool iSynAnswer = false);
void sSendKeepAlive(UTPSocket* s);
void sSendPacket(UTPSocket* s, OutPacket* p);
void sFlush(UTPSocket* s);
void sSetState(UTPSocket* s, int iState);
void sReportState(UTPSocket* s, int iStateChange);
void sReportError(UTPSocket* s, int iError);
void sReportOverhead(UTPSocket* s, bool iSend, size_t iCount, int iCategory);
void sFreeOutPacket(OutPacket* p);
void sApplyVersion(UTPSocket* s, int iVersion);

// ---------------------------------------------------------------------------------------------
// Congestion control and timers (utp_congestion.cpp)

void sUpdateQuota(UTPSocket* s);
bool sWritable(UTPSocket* s, uint32_t iCount);
// 0 acknowledged, 1 no such packet, 2 stored but never sent.
int sAckPacket(UTPSocket* s, uint16_t iSeq, uint64_t iNowUs);
size_t sMarkedBytes(UTPSocket* s, uint16_t iBase, const uint8_t* iMask, size_t iMaskLength,
                    uint64_t iNowUs, int64_t& ioMinRtt);
void sDelayAndWindow(UTPSocket* s, const PacketHeader& iHeader, uint64_t iNowUs, size_t iAckedBytes,
                     int64_t iMinRtt);
void sUpdateWindow(UTPSocket* s, size_t iAckedBytes, int64_t iMinRtt);
void sDecayWindow(UTPSocket* s);
void sSelectiveAck(UTPSocket* s, uint16_t iBase, const uint8_t* iMask, size_t iMaskLength,
                   uint64_t iNowUs);
void sTimerStep(UTPSocket* s);
// After a timer step: true when the connection has nothing to do before oWake (no packets in the
// send buffer, no ACK owed), so sweeps may skip it until then.
bool sQuietUntil(UTPSocket* s, uint32_t& oWake);
// Brings the quota of a connection whose timer steps were skipped to what those steps would
// have made it.
void sCatchUpQuota(UTPSocket* s);
void sAddQuota(UTPSocket* s, uint32_t iAdd);

// ---------------------------------------------------------------------------------------------
// Receive path (utp_receive.cpp)

size_t sProcessPacket(UTPSocket* s, const uint8_t* iBytes, size_t iLength, bool iAcceptedSyn);
void sFreeInBlock(InBlock* b);

} // namespace Engine
} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_ENGINE_UTP_SOCKET_H
