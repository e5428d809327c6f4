// Endpoints: the bounded queue of incoming connections, its expiry, and the socket given up after
// the last Manager.

#include "tests/utp/runtime/runtime_test_support.h"

using namespace quillane::test;

// A socket queues at most kBacklog incoming connections: a new SYN on a full queue replaces
// the oldest that has delivered nothing (reset), and is refused before the engine makes anything
// once every queued one has delivered bytes; a queued connection advertises at most
// kQueuedWindow; one that is reset leaves the queue, one taken makes room, and the rest are reset
// once kQueueMilliseconds have passed.
TEST(Endpoint, TheBacklogBoundsQueuedConnectionsAndTheyExpire)
{
    using namespace quillane::UTP::Engine;
    TestUdp a, peer;
    const ZRef<Manager> owner = sU().MakeManager(a.fFD);
    const size_t before = sU().CountConnections();
    const uint32_t count = kBacklog + 10;
    std::vector<Bytes> seen;
    const Clock::time_point filled = Clock::now();
    for (uint32_t x = 0; x < count; ++x)
    {
        sRawSend(peer, a, sRawPacket(ST_SYN, 1000 + 2 * x, kRawSeq, 0));
        if (x % 40 == 39 || x + 1 == count)
        {
            const std::vector<Bytes> more = sBarrier(peer, a);
            seen.insert(seen.end(), more.begin(), more.end());
        }
    }
    EXPECT_EQ(kBacklog, sU().CountPending(a.fFD));
    EXPECT_EQ(std::vector<uint16_t>({1000, 1002, 1004, 1006, 1008, 1010, 1012, 1014, 1016, 1018}),
              sIdsOf(seen, ST_RESET));

    // Every queued one delivers a byte: a new SYN now makes nothing, not even an answer.
    for (uint32_t x = 10; x < count; ++x)
    {
        sRawSend(peer, a, sRawPacket(ST_DATA, 1000 + 2 * x + 1, uint16_t(kRawSeq + 1), 0, 1));
        if (x % 40 == 39)
            sBarrier(peer, a);
    }
    sPause(300); // the acknowledgements of in-order data wait up to 100 ms
    seen = sBarrier(peer, a);
    EXPECT_FALSE(sIdsOf(seen, ST_STATE).empty());
    for (const Bytes& answer : seen)
        EXPECT_LE(sLoad32(&answer[12]), kQueuedWindow) << "the window of a queued connection";
    sRawSend(peer, a, sRawPacket(ST_SYN, 5000, kRawSeq, 0));
    EXPECT_TRUE(sIdsOf(sBarrier(peer, a), ST_STATE).empty());
    EXPECT_EQ(kBacklog, sU().CountPending(a.fFD));

    // A queued connection that is reset leaves the queue and the engine; taking one makes room.
    sRawSend(peer, a, sRawPacket(ST_RESET, 1020, kRawSeq + 1, 0));
    EXPECT_TRUE(sEventually([&] { return sU().CountPending(a.fFD) == kBacklog - 1; }));
    const ZRef<StreamerRW> taken = owner->MakeStreamerRW().DynamicCast<StreamerRW>();
    EXPECT_EQ(kBacklog - 2, sU().CountPending(a.fFD));
    EXPECT_EQ(Bytes(1, 0x5C), sReadAll(taken, 1));
    for (uint32_t id : {3000, 3002, 3004})
        sRawSend(peer, a, sRawPacket(ST_SYN, id, kRawSeq, 0));
    sBarrier(peer, a);
    EXPECT_EQ(kBacklog, sU().CountPending(a.fFD));
    EXPECT_LE(sU().CountConnections(), before + kBacklog + 1);

    // Nobody takes the rest.
    EXPECT_TRUE(sEventually([&] { return sU().CountPending(a.fFD) == 0; }, 60));
    EXPECT_GE(sSecondsSince(filled), kQueueMilliseconds / 1000.0 - 1);
    EXPECT_TRUE(sEventually([&] { return sU().CountConnections() == before + 1; }));
    taken->Close();
}

// With no Manager left, a socket goes on accepting for kLingerMilliseconds (a server between one
// stream's end and its next accept), a new Manager keeps the queue, and once the linger has run
// out the queue is reset and the socket given up when the engine has destroyed those connections.
TEST(Endpoint, TheQueueOutlivesTheLastManagerByTheLingerAlone)
{
    using namespace quillane::UTP::Engine;
    TestUdp a, peer;
    const size_t before = sU().CountConnections();
    ZRef<Manager> owner = sU().MakeManager(a.fFD);
    sRawSend(peer, a, sRawPacket(ST_SYN, 6000, kRawSeq, 0));
    sBarrier(peer, a);
    owner.Clear();
    const Clock::time_point firstGone = Clock::now();
    sRawSend(peer, a, sRawPacket(ST_SYN, 6002, kRawSeq, 0));
    EXPECT_EQ(std::vector<uint16_t>({6002}), sIdsOf(sBarrier(peer, a), ST_STATE));
    owner = sU().MakeManager(a.fFD);
    sPause(kLingerMilliseconds + 2 * kUpkeepMilliseconds - int(1000 * sSecondsSince(firstGone)));
    EXPECT_EQ(2u, sU().CountPending(a.fFD));

    owner.Clear();
    const Clock::time_point gone = Clock::now();
    EXPECT_EQ(std::vector<uint16_t>({6000, 6002}),
              sIdsOf({sRawReceive(peer), sRawReceive(peer)}, ST_RESET));
    EXPECT_GE(sSecondsSince(gone), kLingerMilliseconds / 1000.0 - 0.1);
    EXPECT_TRUE(sEventually(
        [&] { return sU().CountEndpoints() == 0 && sU().CountConnections() == before; }));
}
