// The send path: queuing the user's bytes into packets, flushing what the window and the quota let
// out, transmitting and retransmitting packets, ACKs (selective when packets wait in the reorder
// buffer), keep-alives, the SYN, the FIN that answers the peer's, and the reset to the peer.
//
// Invariants: every datagram goes out through one function that stamps its timestamp and reply
// delay and reports its bytes; the send buffer ends at fSend.fSeqNr (a FIN answering the peer's
// is sent once and never stored).
//
// Threads: one at a time (the caller serialises every engine call).

#ifndef QUILLANE_UTP_ENGINE_UTP_SEND_H
#define QUILLANE_UTP_ENGINE_UTP_SEND_H

#include "utp/engine/utp.h"
#include "utp/engine/utp_out_packet.h"

#include <cstddef>
#include <cstdint>

namespace quillane
{
namespace UTP
{
namespace Engine
{

// Bytes delivered since our last ACK beyond which the next one goes out at once.
const uint32_t kAckThreshold = 2400;

// Bytes: the receive window we can advertise (the buffer less what the user has not read).
uint32_t sFreeReceiveBuffer(UTPSocket* s);
// Owes the peer an ACK within iWithin ms (an earlier deadline stays).
void sScheduleAck(UTPSocket* s, uint32_t iWithin);
// An ACK now: with an EACK while packets wait in the reorder buffer; with the extension bits when
// it answers a SYN.
void sSendAck(UTPSocket* s, bool iSynAnswer = false);
// An ACK of the packet before the last one received, which the peer answers.
void sSendKeepAlive(UTPSocket* s);
// Sends (or resends) a packet of the send buffer.
void sSendPacket(UTPSocket* s, OutPacket* ioPacket);
// Sends the queued packets the window and the quota let out; a last packet that is not full
// waits while others are in flight.
void sFlush(UTPSocket* s);
// Queues iCount bytes pulled from the user (filling the newest unsent ST_DATA packet first), or
// an empty packet of type iType for 0, and flushes.
void sQueue(UTPSocket* s, size_t iCount, int iType);
// Stores and sends the SYN (the record has its ids and seq_nr).
void sSendSyn(UTPSocket* s);
// Our FIN when the peer's came first: once, neither stored nor retransmitted.
void sSendFinOnce(UTPSocket* s);
// A reset to the peer, laid out as those answering strays: window 0, no timestamps.
void sSendReset(UTPSocket* s);

} // namespace Engine
} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_ENGINE_UTP_SEND_H
