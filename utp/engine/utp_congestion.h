// Congestion control and timers: the delay-based (LEDBAT) congestion window, the send quota that
// paces transmission, writability, round-trip time and retransmission time-out, acknowledging
// packets, loss detection with fast resend from selective acknowledgements, and the per-connection
// timer step (time-outs, the idle limit, probes of a closed window, keep-alives).
//
// Units: times and deadlines in ms of the engine's clock (sNow), delays in µs, round trips in ms
// (the samples of the window update in µs), the quota in hundredths of a byte, windows in bytes.
//
// Threads: one at a time (the caller serialises every engine call).

#ifndef QUILLANE_UTP_ENGINE_UTP_CONGESTION_H
#define QUILLANE_UTP_ENGINE_UTP_CONGESTION_H

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

// ms after our last datagram that a keep-alive goes out.
const uint32_t kKeepAliveInterval = 29000;
// ms without any datagram from the peer after which a connection fails as timed out. A live peer
// sends at least a keep-alive every kKeepAliveInterval, so only a vanished one reaches it, also
// when nothing of ours is in flight to time out.
const uint32_t kIdleLimit = 3 * kKeepAliveInterval;
// Packets the send buffer holds at most (the peer stores at most 510 ahead of its next).
const uint32_t kMaxSendPackets = 510;
// ms a peer window below one packet stays closed before the probe opens it to one packet.
const uint32_t kZeroWindowProbe = 15000;
// Bytes: the smallest congestion window.
const uint32_t kMinWindow = 10;
// ms: the smallest retransmission time-out.
const uint32_t kMinRto = 500;
// ms: a back-off that would reach this gives up (ETIMEDOUT); a SYN's gives up beyond
// kMaxSynBackoff.
const uint32_t kMaxBackoff = 30000;
const uint32_t kMaxSynBackoff = 6000;

// The quota grows with the time since its last update (in proportion to the window over the
// shortest round trip).
void sUpdateQuota(UTPSocket* s);
// Brings the quota of a connection whose timer steps were skipped while it slept to what those
// steps would have made it.
void sCatchUpQuota(UTPSocket* s);
// True when iCount more bytes may go out now: quota, window, peer window and send buffer allow it.
bool sWritable(UTPSocket* s, uint32_t iCount);

// Acknowledges packet iSeq at iNowUs (µs): releases it and takes a round-trip sample when it
// gives an unambiguous one. 0 acknowledged, 1 no such packet, 2 stored but never sent.
int sAckPacket(UTPSocket* s, uint16_t iSeq, uint64_t iNowUs);
// Bytes the peer newly acknowledges with ack_nr iAckNr (the iCount oldest packets, and those its
// EACK mask marks, iEack null for none) and oMinRtt, the smallest round trip among them in µs
// (INT64_MAX when none was sent).
size_t sAckedBytes(UTPSocket* s, uint32_t iCount, uint16_t iAckNr, const uint8_t* iEack,
                   size_t iEackLength, uint64_t iNowUs, int64_t& oMinRtt);
// The delay samples a packet brings (its timestamp and reported delay), then the window update
// for iAckedBytes newly acknowledged.
void sDelayAndWindow(UTPSocket* s, const PacketHeader& iHeader, uint64_t iNowUs, size_t iAckedBytes,
                     int64_t iMinRtt);
// The window grows or shrinks by how far our delay lies from its 100 ms target.
void sUpdateWindow(UTPSocket* s, size_t iAckedBytes, int64_t iMinRtt);
// An EACK based at iBase: acknowledges the packets it marks, and resends (at most 4, lowest
// first) those that three later packets have overtaken.
void sSelectiveAck(UTPSocket* s, uint16_t iBase, const uint8_t* iMask, size_t iMaskLength,
                   uint64_t iNowUs);

// One timer step of a connection: flushes, fires its deadlines, caps the quota.
void sTimerStep(UTPSocket* s);
// After a timer step: true when the connection has nothing to do before oWake (no packets in the
// send buffer, no ACK owed), so sweeps may skip it until then.
bool sQuietUntil(UTPSocket* s, uint32_t& oWake);

} // namespace Engine
} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_ENGINE_UTP_CONGESTION_H
