// The connection index. See utp_connection_index.h.
//
// Threads: one at a time (the caller serialises every engine call).

#include "utp/engine/utp_connection_index.h"
#include "utp/engine/utp_memory.h"
#include "utp/engine/utp_socket.h"

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

const uint32_t kFirstBucketCount = 64; // buckets of the first table; each growth doubles them

struct Index
{
    IndexNode** fBuckets = nullptr; // fBucketMask + 1 chains; null before the first insertion
    uint32_t fBucketMask = 0;
    uint32_t fNodeCount = 0; // entries in all chains
};

Index sIndex;

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

IndexNode** spBucket(const PeerAddress& iAddr, uint32_t iId)
{
    return &sIndex.fBuckets[spHash(iAddr, iId) & sIndex.fBucketMask];
}

void spLink(IndexNode* ioNode)
{
    IndexNode** bucket = spBucket(ioNode->fSocket->fPeer.fAddr, ioNode->fId);
    ioNode->fNext = *bucket;
    *bucket = ioNode;
}

void spGrow()
{
    IndexNode** old = sIndex.fBuckets;
    const uint32_t oldCount = old ? sIndex.fBucketMask + 1 : 0;
    const uint32_t newCount = oldCount ? oldCount * 2 : kFirstBucketCount;
    sIndex.fBuckets = static_cast<IndexNode**>(sAllocateZeroed(newCount, sizeof(IndexNode*)));
    sIndex.fBucketMask = newCount - 1;
    for (uint32_t i = 0; i < oldCount; ++i)
    {
        for (IndexNode* n = old[i]; n;)
        {
            IndexNode* next = n->fNext;
            spLink(n);
            n = next;
        }
    }
    std::free(old);
}

UTPSocket* spFind(const PeerAddress& iAddr, uint32_t iId, const void* iSendUserData, bool iRecvOnly)
{
    if (!sIndex.fBuckets)
        return nullptr;
    UTPSocket* best = nullptr;
    for (IndexNode* n = *spBucket(iAddr, iId); n; n = n->fNext)
    {
        UTPSocket* s = n->fSocket;
        if (n->fId != iId || (iRecvOnly && n != &s->fBook.fRecvNode) || s->fPeer.fAddr != iAddr ||
            s->fPeer.fSendUserData != iSendUserData)
            continue;
        if (!best || s->fBook.fIndex < best->fBook.fIndex)
            best = s;
    }
    return best;
}

} // namespace

void sIndexInsert(IndexNode* ioNode)
{
    if (!sIndex.fBuckets || sIndex.fNodeCount >= sIndex.fBucketMask + 1)
        spGrow();
    spLink(ioNode);
    ++sIndex.fNodeCount;
}

void sIndexRemove(IndexNode* ioNode)
{
    for (IndexNode** link = spBucket(ioNode->fSocket->fPeer.fAddr, ioNode->fId); *link;
         link = &(*link)->fNext)
    {
        if (*link == ioNode)
        {
            *link = ioNode->fNext;
            --sIndex.fNodeCount;
            return;
        }
    }
}

void sSetIds(UTPSocket* s, uint32_t iRecvId, uint32_t iSendId)
{
    sIndexRemove(&s->fBook.fRecvNode);
    sIndexRemove(&s->fBook.fSendNode);
    s->fPeer.fRecvId = s->fBook.fRecvNode.fId = iRecvId;
    s->fPeer.fSendId = s->fBook.fSendNode.fId = iSendId;
    sIndexInsert(&s->fBook.fRecvNode);
    sIndexInsert(&s->fBook.fSendNode);
}

UTPSocket* sFindForPacket(const PeerAddress& iAddr, uint32_t iId, const void* iSendUserData)
{
    return spFind(iAddr, iId, iSendUserData, true);
}

UTPSocket* sFindForReset(const PeerAddress& iAddr, uint32_t iId, const void* iSendUserData)
{
    return spFind(iAddr, iId, iSendUserData, false);
}

bool sIdInUse(const PeerAddress& iAddr, uint32_t iId, const UTPSocket* iExclude)
{
    if (!sIndex.fBuckets)
        return false;
    for (IndexNode* n = *spBucket(iAddr, iId); n; n = n->fNext)
    {
        if (n->fId == iId && n->fSocket != iExclude && n->fSocket->fPeer.fAddr == iAddr)
            return true;
    }
    return false;
}

void sIndexFree()
{
    std::free(sIndex.fBuckets);
    sIndex = Index();
}

} // namespace Engine
} // namespace UTP
} // namespace quillane
