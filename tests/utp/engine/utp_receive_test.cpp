// Receive-path tests: accepting SYNs, the sequence window, the FIN, zero-window probes, and
// malformed datagrams.

#include "tests/utp/engine/utp_test_support.h"

using namespace quillane::test;

namespace
{

using UtpReceive = UtpFixture;

PacketDraft Syn(uint32_t iId, uint16_t iSeq)
{
    PacketDraft p;
    p.fType = ST_SYN, p.fConnId = iId, p.fSeqNr = iSeq;
    return p;
}

} // namespace

// A new SYN (another seq_nr) from the same address and id makes a second connection, which the
// pair's packets reach only after the first; the same ids on another local socket make a
// connection of that socket; a version-1 id of 0xFFFF wraps to receive id 0. (The same SYN
// again belongs to the connection it made: the lost-SYN-answer transfer.)
TEST_F(UtpReceive, SynsMakeConnectionsPerLocalSocketAndId)
{
    int socketA = 0, socketB = 0;
    fEndpoint = &socketA;
    ASSERT_TRUE(Receive(Syn(777, 5)));
    ASSERT_TRUE(Receive(Syn(777, 9)));
    fEndpoint = &socketB;
    ASSERT_TRUE(Receive(Syn(777, 50)));
    ASSERT_EQ(3u, fIncoming.size());
    ASSERT_TRUE(Receive(Data(fIncoming[2], 0, "b")));
    fEndpoint = &socketA;
    ASSERT_TRUE(Receive(Data(fIncoming[0], 0, "a")));
    EXPECT_EQ("ba", fIncomingRecorder.fRead);
    EXPECT_EQ(6, fIncoming[0]->fRecv.fAckNr);
    EXPECT_EQ(9, fIncoming[1]->fRecv.fAckNr);
    EXPECT_EQ(51, fIncoming[2]->fRecv.fAckNr);
    EXPECT_TRUE(Receive(sBuild(Syn(777, 20)), kPeer, false)); // no new-connection function
    EXPECT_EQ(3u, UTP_GetConnectionCount());

    ASSERT_TRUE(Receive(Syn(0xFFFF, 5)));
    ASSERT_TRUE(Receive(Data(fIncoming.back(), 0, "w")));
    EXPECT_EQ("baw", fIncomingRecorder.fRead);
}

// 511 ahead is dropped; 510 ahead is stored once however often it comes, and answered by an
// EACK; an old DATA packet is acknowledged again (our ACK was lost), an old ST_STATE is not.
TEST_F(UtpReceive, SequenceWindowEdges)
{
    UTPSocket* s = Establish(&fRec);
    ASSERT_TRUE(Receive(Data(s, 511, "far")));
    Sweep(200);
    EXPECT_TRUE(fSent.empty());
    for (int i = 0; i < 2; ++i)
        ASSERT_TRUE(Receive(Data(s, 510, "edge")));
    EXPECT_EQ(1, s->fRecv.fReorderCount);
    Sweep(1);
    ASSERT_EQ(1u, fSent.size());
    EXPECT_EQ(EXT_EACK, fSent[0].fBytes[1]);
    PacketDraft old = Data(s, 0, "old");
    old.fSeqNr = uint16_t(s->fRecv.fAckNr - 299);
    for (int type : {ST_STATE, ST_DATA})
    {
        fSent.clear();
        old.fType = type;
        ASSERT_TRUE(Receive(old));
        Sweep(100);
        EXPECT_EQ(type == ST_DATA ? 1u : 0u, fSent.size());
    }
    EXPECT_EQ("", fRec.fRead);
}

TEST_F(UtpReceive, EarlyFinWaitsForMissingData)
{
    UTPSocket* s = Establish(&fRec);
    PacketDraft fin = Peer(s, ST_FIN, 2);
    ASSERT_TRUE(Receive(fin));
    ASSERT_TRUE(Receive(Data(s, 3, "beyond"))); // past the end: dropped
    ASSERT_TRUE(Receive(Data(s, 1, "two")));
    EXPECT_EQ(2, s->fRecv.fReorderCount);
    EXPECT_EQ(std::vector<int>({STATE_CHANGE_CONNECTED}), fRec.fStates);
    ASSERT_TRUE(Receive(Data(s, 0, "one")));
    EXPECT_EQ("onetwo", fRec.fRead);
    EXPECT_EQ(CS_GOT_FIN, UTP_GetState(s));
    EXPECT_EQ(STATE_CHANGE_EOF, fRec.fStates.back());
    ASSERT_EQ(1u, fSent.size()); // the FIN is acknowledged at once
    EXPECT_EQ(fin.fSeqNr, sHeaderOf(fSent[0].fBytes).fAckNr);
}

TEST_F(UtpReceive, SmallWindowIsProbedAfterFifteenSeconds)
{
    UTPSocket* s = Establish(&fRec);
    PacketDraft ack = Peer(s, ST_STATE);
    ack.fWindow = 1000;
    ASSERT_TRUE(Receive(ack));
    Sweep(14999);
    EXPECT_EQ(1000u, s->fSend.fPeerWindow);
    Sweep(1);
    EXPECT_EQ(s->fPeer.fPacketSize, s->fSend.fPeerWindow);
}

// Extension bits of the wrong length drop the packet (the other chain errors: the packet test);
// an unknown extension (second in the chain: a first type of 3 or more reads as version 0) is
// skipped.
TEST_F(UtpReceive, MalformedExtensionsDropThePacketUnknownOnesAreSkipped)
{
    UTPSocket* s = Establish(&fRec);
    PacketDraft p = Data(s, 0, "payload");
    p.fFirstExt = EXT_BITS;
    p.fExtensions = {0, 4, 0, 0, 0, 0};
    ASSERT_TRUE(Receive(p));
    EXPECT_EQ(999, s->fRecv.fAckNr);
    p.fExtensions = {7, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 1, 2, 3, 4};
    ASSERT_TRUE(Receive(p));
    EXPECT_EQ("payload", fRec.fRead);
}
