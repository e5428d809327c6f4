// The reset table: the resets sent in answer to packets for no known connection (strays), so that
// a peer repeating a stray gets one reset, not one per repeat.
//
// Invariants: one record per (address, connection id, seq_nr) answered; a record lives
// kResetLifetime ms after the last stray that matched it; the table holds at most kMaxResets + 1
// records, so a flood of strays costs bounded memory. Its array shrinks to fit when records expire.
//
// Threads: one at a time (the caller serialises every engine call).

#ifndef QUILLANE_UTP_ENGINE_UTP_RESET_TABLE_H
#define QUILLANE_UTP_ENGINE_UTP_RESET_TABLE_H

#include "utp/engine/utp.h"

#include <cstddef>
#include <cstdint>

namespace quillane
{
namespace UTP
{
namespace Engine
{

// ms after the last matching stray that a record is forgotten.
const uint32_t kResetLifetime = 10000;
// Records beyond which no new one is made (and no reset sent).
const uint32_t kMaxResets = 1000;

struct ResetRecord
{
    PeerAddress fAddr; // the stray's sender
    uint32_t fConnId;  // the connection id it named
    uint32_t fTime;    // ms of the engine's clock: the last stray that matched
    uint16_t fAckNr;   // its seq_nr, the ack_nr of our reset
};

// The record of a reset for this stray, or null.
ResetRecord* sResetTableFind(const PeerAddress& iAddr, uint32_t iConnId, uint16_t iAckNr);
// Records a reset at iNow (ms); false, recording nothing, when the table is full.
bool sResetTableAdd(const PeerAddress& iAddr, uint32_t iConnId, uint16_t iAckNr, uint32_t iNow);
// Forgets the records whose lifetime has ended at iNow (ms).
void sResetTableExpire(uint32_t iNow);
size_t sResetTableCount();
void sResetTableFree();

} // namespace Engine
} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_ENGINE_UTP_RESET_TABLE_H
