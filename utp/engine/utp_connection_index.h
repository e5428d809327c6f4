// The connection index: a hash table that finds the connection a datagram belongs to by peer
// address and connection id, among the connections of one local socket (the send user data they
// were made with).
//
// Invariants: every live connection is in the index twice, under (address, receive id) through
// its fRecvNode and under (address, send id) through its fSendNode. When several connections
// match, a lookup returns the one earliest in the connection list, so the index changes the cost
// of matching and never its result. The bucket count is a power of two, at least 64, and grows
// (doubling) before the entries outnumber the buckets.
//
// Threads: one at a time (the caller serialises every engine call).

#ifndef QUILLANE_UTP_ENGINE_UTP_CONNECTION_INDEX_H
#define QUILLANE_UTP_ENGINE_UTP_CONNECTION_INDEX_H

#include "utp/engine/utp.h"

#include <cstdint>

namespace quillane
{
namespace UTP
{
namespace Engine
{

// An entry of the index: a connection under one of its two ids.
struct IndexNode
{
    UTPSocket* fSocket; // the connection, for its whole life
    IndexNode* fNext;   // the next entry of the same bucket
    uint32_t fId;       // the id it is filed under: a copy of the connection's receive or send id
};

void sIndexInsert(IndexNode* ioNode);
// Removes an entry that is in the index; nothing happens for one that is not.
void sIndexRemove(IndexNode* ioNode);
// Re-files s under new ids (both entries).
void sSetIds(UTPSocket* s, uint32_t iRecvId, uint32_t iSendId);

// The connection to iAddr of local socket iSendUserData whose receive id is iId: where a peer's
// packet goes. Null when there is none.
UTPSocket* sFindForPacket(const PeerAddress& iAddr, uint32_t iId, const void* iSendUserData);
// The same, by either id: a peer's reset may name either.
UTPSocket* sFindForReset(const PeerAddress& iAddr, uint32_t iId, const void* iSendUserData);
// True when a connection to iAddr other than iExclude has iId as either of its ids (whatever its
// local socket).
bool sIdInUse(const PeerAddress& iAddr, uint32_t iId, const UTPSocket* iExclude);

// Frees the buckets (the entries live in the records).
void sIndexFree();

} // namespace Engine
} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_ENGINE_UTP_CONNECTION_INDEX_H
