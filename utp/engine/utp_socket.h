// The connection record (UTPSocket), the values a connection starts from, and the operations on
// the record as a whole: creation, the header version, reports to the user, destruction.
//
// The engine's units, one per structure or path, all in namespace quillane::UTP::Engine:
//   utp_api             the public calls of utp.h
//   utp_socket          this record
//   utp_connection_list every live record; utp_connection_index finds a datagram's record
//   utp_seq_ring        the send and reorder buffers' storage, holding utp_out_packet blocks
//                       (and their cache) and utp_in_block blocks
//   utp_memory          allocation that never fails, and the one growth rule of the arrays
//   utp_reset_table     resets sent to strays
//   utp_delay_history   one-way delay samples
//   utp_schedule        which records a timer sweep steps
//   utp_send            the send path: queuing, packets, ACKs, keep-alives, FIN and reset
//   utp_congestion      congestion window, quota, round trips, loss, the timer step
//   utp_receive         the receive path: accepting SYNs, strays, processing a packet
//   utp_packet          wire formats; utp_clock: the clocks, randomness and the current time
//
// Naming: `s` is the connection a function works on, in declarations and definitions alike
// (utp.h and utp_api.cpp call it iSocket, as users see it); other parameters follow the house
// prefixes.
//
// Invariants:
// - While fSend.fCurWindowPackets is non-zero, the send buffer's slot of the oldest packet
//   (sOldest) is occupied.
// - Every live record is in the connection list at fBook.fIndex, in the connection index under
//   (address, receive id) and (address, send id), and in the schedule (utp_schedule.h).
// - Times are ms of the engine's 32-bit wrapping clock (sNow), compared by signed difference
//   (sPassed); sequence numbers are mod 2^16.
//
// Threads: one at a time (the caller serialises every engine call).

#ifndef QUILLANE_UTP_ENGINE_UTP_SOCKET_H
#define QUILLANE_UTP_ENGINE_UTP_SOCKET_H

#include "utp/engine/utp.h"
#include "utp/engine/utp_connection_index.h"
#include "utp/engine/utp_delay_history.h"
#include "utp/engine/utp_in_block.h"
#include "utp/engine/utp_out_packet.h"
#include "utp/engine/utp_seq_ring.h"

#include <cstddef>
#include <cstdint>

namespace quillane
{
namespace UTP
{
namespace Engine
{

// Bytes of the send and the receive buffer of a version-1 connection.
const uint32_t kDefaultBufferV1 = 3670016;
// Bytes of the receive and the send buffer of a version-0 connection.
const uint32_t kRcvBufV0 = 204800;
const uint32_t kSndBufV0 = 178850;
// Bytes the peer's window is taken to be before its first packet (255 version-0 units).
const uint32_t kInitialPeerWindow = 89250;
// Hundredths of a byte: the send quota of a new connection.
const int32_t kInitialQuota = 35000;
// ms: the retransmission time-out before any round trip was measured.
const uint32_t kInitialRto = 3000;
// ms: the round-trip variance before any round trip was measured.
const uint32_t kInitialRttVar = 800;
// ms: an ACK deadline this far ahead means that no ACK is owed.
const uint32_t kNoAckPending = 0x70000000;

} // namespace Engine
} // namespace UTP
} // namespace quillane

struct UTPSocket
{
    // The peer, the ids, and what the header version and the address family fix.
    struct Peer
    {
        PeerAddress fAddr;                              // fixed at creation
        alignas(8) uint8_t fSockAddr[UTP_SOCKADDR_MAX]; // fAddr as handed to fSendTo
        int fSockAddrLen;                               // bytes of fSockAddr in use
        SendToProc fSendTo;                             // sends our datagrams; fixed at creation
        void* fSendUserData;  // the local socket: only its datagrams reach this connection
        uint32_t fRecvId;     // id of the peer's packets (version 1: 16 bits)
        uint32_t fSendId;     // id of ours: fRecvId + 1 when we connected, - 1 when we accepted
        uint8_t fVersion;     // header version 0 or 1; fixed once connecting or accepted
        uint32_t fHeaderSize; // bytes of our header: 20 (version 1) or 23 (version 0)
        uint32_t fPacketSize; // bytes: largest payload, the family's datagram limit less header
        uint32_t fIPOverhead; // bytes of UDP/IP headers counted per datagram: 28 or 76
    };

    // What we send: the send buffer and what limits it.
    struct SendSide
    {
        quillane::UTP::Engine::SeqRing<quillane::UTP::Engine::OutPacket> fOutBuf; // by seq_nr
        uint16_t fSeqNr;            // seq_nr of the next packet we make
        uint16_t fCurWindowPackets; // packets in the send buffer: fSeqNr - sOldest
        uint32_t fCurWindow;        // bytes in flight: sent and neither acknowledged nor marked
        uint32_t fSndBuf;           // bytes: limit of the send window (UTP_OPTION_SNDBUF)
        uint32_t fPeerWindow;       // bytes: the receive window the peer last advertised
        uint16_t fFlushFrom;        // every packet before it is sent and not marked for resend
        uint16_t fFastResendSeqNr;  // no fast resend below this seq_nr
        uint8_t fDupAck;            // packets the last EACK reported received past the oldest
        bool fResendAll;            // after a time-out: each ACK resends the next oldest packet
    };

    // What we receive: the reorder buffer and the window we advertise.
    struct ReceiveSide
    {
        quillane::UTP::Engine::SeqRing<quillane::UTP::Engine::InBlock> fInBuf; // ahead of fAckNr
        uint16_t fAckNr;         // seq_nr of the last packet delivered in order
        uint16_t fReorderCount;  // blocks in fInBuf
        bool fGotFin;            // the peer's FIN arrived: fEofPkt is valid
        uint16_t fEofPkt;        // seq_nr of the peer's FIN
        uint32_t fRcvBuf;        // bytes: receive buffer size (UTP_OPTION_RCVBUF)
        uint32_t fRcvWin;        // bytes: the window we last advertised
        uint32_t fBytesSinceAck; // payload bytes delivered since our last ACK
    };

    // Congestion control and round trips.
    struct Congestion
    {
        uint32_t fMaxWindow;       // bytes: the congestion window, kMinWindow .. fSndBuf
        int32_t fQuota;            // hundredths of a byte: what pacing still lets out
        uint32_t fLastQuotaUpdate; // ms: when fQuota last grew
        bool fQuotaCatchUp;        // asleep: skipped timer steps owe the quota their growth
        uint32_t fLastWindowFull;  // ms: when the window was last (nearly) full
        uint32_t fLastDecay;       // ms: when the window was last halved for a loss
        quillane::UTP::Engine::DelayHistory fOurHistory;   // µs: delays the peer reports of ours
        quillane::UTP::Engine::DelayHistory fTheirHistory; // µs: delays we measure of theirs
        uint32_t fReplyDelay; // µs: delay of the peer's last packet, sent back in our headers
        uint32_t fRtt;        // ms: smoothed round trip; 0 before the first sample
        uint32_t fRttVar;     // ms: its mean deviation
        uint32_t fRto;        // ms: retransmission time-out, fRtt + 4 fRttVar, at least kMinRto
        quillane::UTP::Engine::DelayHistory fRttHistory; // ms: round-trip samples (fBase: least)
    };

    // Deadlines and the times they count from, in ms of the engine's clock.
    struct Timers
    {
        uint32_t fTimeoutAt;      // the retransmission (or destroy-delay) deadline; 0 = none
        uint32_t fBackoffTimeout; // the current time-out, doubled by each one that passes
        uint32_t fAckTime;        // the delayed ACK's deadline (kNoAckPending ahead: none owed)
        uint32_t fLastSent;       // our last datagram
        uint32_t fLastReceived;   // the peer's last datagram, or creation, or connecting
        uint32_t fZeroWindowAt;   // when a peer window below one packet is probed
    };

    // The user's callbacks.
    struct User
    {
        UTPCallbacks fCallbacks; // never null entries: the do-nothing table when none were given
        void* fUserData;         // passed to every callback; null until UTP_SetCallbacks
    };

    // Where the record is filed.
    struct Bookkeeping
    {
        uint32_t fIndex;                            // position in the connection list
        quillane::UTP::Engine::IndexNode fRecvNode; // in the connection index under fRecvId
        quillane::UTP::Engine::IndexNode fSendNode; // in the connection index under fSendId
        int32_t fActivePos; // position in the schedule's active list; -1 when asleep
        int32_t fHeapPos;   // position in the schedule's wake heap; -1 when active
    };

    int fState; // CS_ value: where the connection is in its life
    Peer fPeer;
    SendSide fSend;
    ReceiveSide fRecv;
    Congestion fCong;
    Timers fTimers;
    User fUser;
    Bookkeeping fBook;
};

namespace quillane
{
namespace UTP
{
namespace Engine
{

// seq_nr of the oldest packet in the send buffer.
inline uint16_t sOldest(const UTPSocket* s)
{
    return uint16_t(s->fSend.fSeqNr - s->fSend.fCurWindowPackets);
}

// A record in CS_IDLE for the peer at iSockAddr, filed in the connection list, the index and the
// schedule: UTP_Create.
UTPSocket* sNewSocket(SendToProc iSendTo, void* iSendUserData, const sockaddr* iSockAddr,
                      int iSockAddrLen);
// Reports STATE_CHANGE_DESTROYING, unfiles the record and frees it.
void sDestroySocket(UTPSocket* s);
// Frees the record and its buffers without any report; the caller has unfiled it.
void sFreeSocket(UTPSocket* s);

// Installs the callbacks (the do-nothing table for null) and their user data.
void sSetCallbacks(UTPSocket* s, const UTPCallbacks* iCallbacks, void* iUserData);
// Header version 0 or 1 and what follows from it: buffers, header and packet sizes.
void sApplyVersion(UTPSocket* s, int iVersion);

void sSetState(UTPSocket* s, int iState);
void sReportState(UTPSocket* s, int iStateChange);
void sReportError(UTPSocket* s, int iError);
void sReportOverhead(UTPSocket* s, bool iSend, size_t iCount, int iCategory);

} // namespace Engine
} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_ENGINE_UTP_SOCKET_H
