// The receive path: what a recognised datagram does once UTP_ProcessDatagram has matched it (or
// found no connection for it): a reset ending a connection, a SYN accepted or answered again, a
// stray answered with a reset, and the processing of one packet for a connection
// (acknowledgements, delay and window bookkeeping, in-order delivery, the reorder buffer, delayed
// ACKs).
//
// Every datagram is hostile: lengths, the extension chain and EACK masks are bounds-checked
// before use; a packet is stored only within 510 of the next expected one; the reset table never
// holds more than 1001 records.
//
// Threads: one at a time (the caller serialises every engine call).

#ifndef QUILLANE_UTP_ENGINE_UTP_RECEIVE_H
#define QUILLANE_UTP_ENGINE_UTP_RECEIVE_H

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

// Processes one datagram of iLength bytes matched to s; returns its payload bytes (0 when it
// was dropped). iAcceptedSyn: the SYN that made s, which only sets up its receive side.
size_t sProcessPacket(UTPSocket* s, const uint8_t* iBytes, size_t iLength, bool iAcceptedSyn);
// The peer's ST_RESET for s (iLength bytes).
void sResetConnection(UTPSocket* s, size_t iLength);
// A new connection for a SYN (id iId, seq_nr iSeqNr), answered, handed to iGotIncoming.
void sAcceptSyn(UTPGotIncomingConnection iGotIncoming, SendToProc iSendTo, void* iSendUserData,
                const uint8_t* iBytes, size_t iLength, const sockaddr* iSockAddr, int iSockAddrLen,
                const PacketId& iId, uint16_t iSeqNr);
// True when the SYN repeats one already accepted (our answer was lost): that connection answers
// it again while nothing else of its reaches the peer.
bool sAnswerRepeatedSyn(const PeerAddress& iAddr, const PacketId& iId, uint16_t iSeqNr,
                        const void* iSendUserData);
// A packet for no known connection: one reset per stray, through the reset table.
void sAnswerStray(SendToProc iSendTo, void* iSendUserData, const PacketId& iId, uint16_t iSeqNr,
                  const PeerAddress& iAddr);

} // namespace Engine
} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_ENGINE_UTP_RECEIVE_H
