// Receive-path tests: accepting SYNs, resets for strays and the bounded reset table, the sequence
// window, reordering and the FIN, zero-window probes, and hostile datagrams.

#include "utp_test_support.h"

using namespace quillane::UTP::Engine;
using namespace utptest;

namespace
{

class UtpReceive : public UtpFixture
{
  protected:
    static PacketDraft Syn(uint32_t iId, uint16_t iSeq)
    {
        PacketDraft p;
        p.fType = ST_SYN;
        p.fConnId = iId;
        p.fSeqNr = iSeq;
        p.fTimestamp = 1;
        return p;
    }

    size_t Acks() const
    {
        size_t n = 0;
        for (const Sent& s : fSent)
            n += (s.fBytes[0] >> 4) == ST_STATE;
        return n;
    }

    // Sweeps after iMs and returns the ACKs sent so far.
    size_t AcksAfter(uint64_t iMs)
    {
        Advance(iMs);
        UTP_CheckTimeouts();
        return Acks();
    }
};

} // namespace

TEST_F(UtpReceive, EverySynCreatesAConnection)
{
    // A new SYN (another seq_nr) from the same address and id makes a second connection.
    ASSERT_TRUE(Receive(Syn(777, 5)));
    ASSERT_TRUE(Receive(Syn(777, 9)));
    ASSERT_EQ(2u, fIncoming.size());
    EXPECT_NE(fIncoming[0], fIncoming[1]);
    for (UTPSocket* s : fIncoming)
    {
        EXPECT_EQ(CS_CONNECTED, UTP_GetState(s));
        EXPECT_EQ(777u, s->fSendId);
        EXPECT_EQ(778u, s->fRecvId);
    }
    EXPECT_EQ(5, fIncoming[0]->fAckNr);
    EXPECT_EQ(9, fIncoming[1]->fAckNr);
    ASSERT_TRUE(Receive(Data(fIncoming[0], 0, "x"))); // a packet for the pair: the earlier one
    EXPECT_EQ("x", fIncomingRecorder.fRead);
    EXPECT_EQ(6, fIncoming[0]->fAckNr);
    EXPECT_EQ(9, fIncoming[1]->fAckNr);
    EXPECT_TRUE(Receive(sBuild(Syn(777, 20)), kPeer, false)); // no new-connection function
    EXPECT_EQ(2u, UTP_GetConnectionCount());
}

// One engine serving two local sockets: a peer's connections to both may carry the same ids;
// each socket's datagrams reach only the connection made on it.
TEST_F(UtpReceive, SameIdsOnTwoLocalSocketsStayApart)
{
    int socketA = 0, socketB = 0;
    fEndpoint = &socketA;
    ASSERT_TRUE(Receive(Syn(777, 5)));
    fEndpoint = &socketB;
    ASSERT_TRUE(Receive(Syn(777, 50)));
    ASSERT_EQ(2u, fIncoming.size());
    ASSERT_TRUE(Receive(Data(fIncoming[1], 0, "b")));
    EXPECT_EQ("b", fIncomingRecorder.fRead);
    EXPECT_EQ(5, fIncoming[0]->fAckNr);
    EXPECT_EQ(51, fIncoming[1]->fAckNr);
    fEndpoint = &socketA;
    ASSERT_TRUE(Receive(Data(fIncoming[0], 0, "a")));
    EXPECT_EQ("ba", fIncomingRecorder.fRead);
    SendReset(fIncoming[0], 777);
    EXPECT_EQ(CS_RESET, UTP_GetState(fIncoming[0]));
    EXPECT_EQ(CS_CONNECTED, UTP_GetState(fIncoming[1]));
}

// The same SYN again (its answer was lost) is answered again by the connection it made.
TEST_F(UtpReceive, RepeatedSynIsAnsweredByItsConnection)
{
    const std::vector<uint8_t> syn = sBuild(Syn(777, 5));
    ASSERT_TRUE(Receive(syn));
    ASSERT_EQ(1u, fSent.size());
    const PacketHeader first = sHeaderOf(fSent[0].fBytes);
    ASSERT_TRUE(Receive(syn));
    EXPECT_EQ(1u, fIncoming.size());
    EXPECT_EQ(1u, UTP_GetConnectionCount());
    ASSERT_EQ(2u, fSent.size());
    const PacketHeader again = sHeaderOf(fSent[1].fBytes);
    EXPECT_EQ(fSent[0].fBytes.size(), fSent[1].fBytes.size());
    EXPECT_EQ(first.fSeqNr, again.fSeqNr);
    EXPECT_EQ(5, again.fAckNr);
    EXPECT_EQ(ST_STATE, again.fType);
}

TEST_F(UtpReceive, VersionOneIdsWrapInSixteenBits)
{
    ASSERT_TRUE(Receive(Syn(0xFFFF, 5)));
    ASSERT_EQ(1u, fIncoming.size());
    EXPECT_EQ(0u, fIncoming[0]->fRecvId);
    PacketDraft data = Data(fIncoming[0], 0, "wrapped");
    data.fConnId = 0; // a peer with receive id 0xFFFF sends 0xFFFF + 1 in 16 bits
    ASSERT_TRUE(Receive(data));
    EXPECT_EQ("wrapped", fIncomingRecorder.fRead);
    EXPECT_EQ(0u, UTP_GetResetCount());
}

TEST_F(UtpReceive, StraysGetOneResetPerRecordLifetime)
{
    PacketDraft stray;
    stray.fConnId = 4242;
    stray.fSeqNr = 77;
    ASSERT_TRUE(Receive(stray));
    ASSERT_EQ(1u, fSent.size());
    const PacketHeader h = sHeaderOf(fSent[0].fBytes);
    EXPECT_EQ(ST_RESET, h.fType);
    EXPECT_EQ(4242u, h.fConnId);
    EXPECT_EQ(77, h.fAckNr);
    fSent.clear();
    // Each repeat within 10 s refreshes the record and is not answered.
    for (uint64_t ms : {9000, 9999})
    {
        Advance(ms);
        UTP_CheckTimeouts();
        ASSERT_TRUE(Receive(stray));
        EXPECT_TRUE(fSent.empty());
    }
    Advance(10000);
    UTP_CheckTimeouts();
    EXPECT_EQ(0u, UTP_GetResetCount());
    ASSERT_TRUE(Receive(stray));
    EXPECT_EQ(1u, fSent.size());
    fSent.clear();
    stray.fType = ST_RESET; // a reset for no connection is never answered
    stray.fConnId = 999;
    ASSERT_TRUE(Receive(stray));
    EXPECT_TRUE(fSent.empty());
}

TEST_F(UtpReceive, ResetTableIsBounded)
{
    PacketDraft stray;
    for (stray.fConnId = 0; stray.fConnId < 1500; ++stray.fConnId)
        ASSERT_TRUE(Receive(stray));
    EXPECT_EQ(1001u, UTP_GetResetCount());
    EXPECT_EQ(1001u, fSent.size());
    Advance(10000);
    UTP_CheckTimeouts();
    EXPECT_EQ(0u, UTP_GetResetCount());
}

TEST_F(UtpReceive, SequenceWindowEdges)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    ASSERT_TRUE(Receive(Data(s, 511, "far"))); // dropped, never acknowledged
    EXPECT_EQ(0, s->fReorderCount);
    EXPECT_EQ(0u, AcksAfter(200));
    ASSERT_TRUE(Receive(Data(s, 510, "edge"))); // stored; ACK+EACK at a sweep 1 ms later
    EXPECT_EQ(1, s->fReorderCount);
    EXPECT_GE(s->fInBuf.fMask, 511u);
    EXPECT_EQ(0u, AcksAfter(0));
    ASSERT_EQ(1u, AcksAfter(1));
    EXPECT_EQ(EXT_EACK, fSent.back().fBytes[1]);
    fSent.clear();

    // 300 behind: DATA is acknowledged within 100 ms, an old ST_STATE not at all.
    PacketDraft old = Data(s, 0, "old");
    old.fSeqNr = uint16_t(s->fAckNr - 299);
    ASSERT_TRUE(Receive(old));
    EXPECT_EQ(0u, AcksAfter(99));
    EXPECT_EQ(1u, AcksAfter(1));
    fSent.clear();
    old.fType = ST_STATE;
    ASSERT_TRUE(Receive(old));
    EXPECT_EQ(0u, AcksAfter(200));
    EXPECT_EQ("", r.fRead);
}

TEST_F(UtpReceive, ReorderBufferDeliversInOrderOnceAcrossTheSequenceWrap)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    s->fAckNr = 65520;
    std::string expected;
    for (int i = 0; i < 40; ++i)
        expected += char('A' + i % 26);
    for (uint16_t i = 39; i >= 1; --i) // everything but the first, newest first, one twice
        for (int k = 0; k < (i == 20 ? 2 : 1); ++k)
            ASSERT_TRUE(Receive(Data(s, i, expected.substr(i, 1))));
    EXPECT_EQ(39, s->fReorderCount);
    EXPECT_EQ("", r.fRead);
    ASSERT_TRUE(Receive(Data(s, 0, "A")));
    EXPECT_EQ(expected, r.fRead);
    EXPECT_EQ(uint16_t(65520 + 40), s->fAckNr);
    EXPECT_EQ(0, s->fReorderCount);
    PacketDraft again = Data(s, 0, "N");
    again.fSeqNr = uint16_t(65520 + 40); // already delivered
    ASSERT_TRUE(Receive(again));
    EXPECT_EQ(expected, r.fRead);
}

TEST_F(UtpReceive, EarlyFinWaitsForMissingData)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    PacketDraft fin = Data(s, 2, "");
    fin.fType = ST_FIN;
    ASSERT_TRUE(Receive(fin));
    EXPECT_EQ(std::vector<int>({STATE_CHANGE_CONNECTED}), r.fStates);
    ASSERT_TRUE(Receive(Data(s, 3, "beyond"))); // past the end: dropped
    EXPECT_EQ(1, s->fReorderCount);
    ASSERT_TRUE(Receive(Data(s, 1, "two")));
    EXPECT_EQ(CS_CONNECTED, UTP_GetState(s));
    fSent.clear();
    ASSERT_TRUE(Receive(Data(s, 0, "one")));
    EXPECT_EQ("onetwo", r.fRead);
    EXPECT_EQ(CS_GOT_FIN, UTP_GetState(s));
    EXPECT_EQ(STATE_CHANGE_EOF, r.fStates.back());
    EXPECT_EQ(1u, Acks()); // the FIN is acknowledged at once
    EXPECT_EQ(fin.fSeqNr, sHeaderOf(fSent.back().fBytes).fAckNr);
}

TEST_F(UtpReceive, ZeroWindowIsProbedAfterFifteenSeconds)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    PacketDraft ack = PeerPacket(s, ST_STATE);
    ack.fWindow = 0;
    ASSERT_TRUE(Receive(ack));
    Advance(14999);
    UTP_CheckTimeouts();
    EXPECT_EQ(0u, s->fPeerWindow);
    Advance(1);
    UTP_CheckTimeouts();
    EXPECT_EQ(350u, s->fPeerWindow);
}

TEST_F(UtpReceive, MalformedPacketsAreDroppedSilently)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    PacketDraft bad = Data(s, 0, "payload");
    bad.fFirstExt = EXT_BITS;
    bad.fExtensions = {0, 4, 0, 0, 0, 0}; // extension bits must be 8 bytes
    ASSERT_TRUE(Receive(bad));
    bad.fFirstExt = 9;
    bad.fExtensions = {0, 200}; // longer than the datagram
    ASSERT_TRUE(Receive(bad));
    std::vector<uint8_t> b = sBuild(Data(s, 0, "payload"));
    b[0] = 0x51; // type 5: read as version-0 garbage, answered by a reset
    ASSERT_TRUE(Receive(b));
    EXPECT_EQ("", r.fRead);
    EXPECT_EQ(999, s->fAckNr);
    // An unknown extension (second in the chain: a version-1 first type is below 3) is skipped.
    bad.fFirstExt = EXT_BITS;
    bad.fExtensions = {7, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 1, 2, 3, 4};
    ASSERT_TRUE(Receive(bad));
    EXPECT_EQ("payload", r.fRead);
}
