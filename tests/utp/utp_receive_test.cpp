// Receive-path tests: accepting SYNs, resets for strays and the bounded reset table, the sequence
// window, reordering and the FIN, delayed ACKs, dup_ack bookkeeping, and hostile datagrams.

#include "utp_test_support.h"

#include <random>

using namespace quillane::UTP;
using namespace utptest;

namespace
{

class UtpReceive : public UtpFixture
{
  protected:
    PacketSpec Data(const UTPSocket* s, uint16_t iAhead, const std::string& iPayload)
    {
        PacketSpec p = PeerPacket(s, ST_DATA);
        p.fSeqNr = uint16_t(s->fAckNr + 1 + iAhead);
        p.fPayload = iPayload;
        return p;
    }

    static PacketSpec Syn(int iVersion, uint32_t iId, uint16_t iSeq)
    {
        PacketSpec p;
        p.fVersion = iVersion;
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
};

} // namespace

TEST_F(UtpReceive, NonUtpDatagramsChangeNothing)
{
    std::vector<uint8_t> tiny(19, 0x01);
    EXPECT_FALSE(Receive(tiny, kPeer));
    std::vector<uint8_t> twenty(20, 0);
    twenty[1] = 3; // not version 1, too short for version 0
    EXPECT_FALSE(Receive(twenty, kPeer));
    EXPECT_EQ(0u, UTP_GetConnectionCount());
    EXPECT_EQ(0u, UTP_GetResetCount());
    EXPECT_TRUE(fSent.empty());
}

TEST_F(UtpReceive, EverySynCreatesAConnection)
{
    const std::vector<uint8_t> syn = sBuild(Syn(1, 777, 5));
    ASSERT_TRUE(Receive(syn, kPeer));
    ASSERT_TRUE(Receive(syn, kPeer));
    ASSERT_EQ(2u, fIncoming.size());
    EXPECT_NE(fIncoming[0], fIncoming[1]);
    for (UTPSocket* s : fIncoming)
    {
        EXPECT_EQ(CS_CONNECTED, UTP_GetState(s));
        EXPECT_EQ(777u, s->fSendId);
        EXPECT_EQ(778u, s->fRecvId);
        EXPECT_EQ(5, s->fAckNr);
    }
    // A packet for the pair goes to the earlier one.
    PacketSpec data = Data(fIncoming[0], 0, "x");
    ASSERT_TRUE(Receive(sBuild(data), kPeer));
    EXPECT_EQ("x", fIncomingRecorder.fRead);
    EXPECT_EQ(6, fIncoming[0]->fAckNr);
    EXPECT_EQ(5, fIncoming[1]->fAckNr);
    // Without a new-connection function a SYN is dropped, still as uTP.
    EXPECT_TRUE(Receive(syn, kPeer, nullptr, false));
    EXPECT_EQ(2u, UTP_GetConnectionCount());
}

TEST_F(UtpReceive, VersionOneIdsWrapInSixteenBits)
{
    ASSERT_TRUE(Receive(sBuild(Syn(1, 0xFFFF, 5)), kPeer));
    ASSERT_EQ(1u, fIncoming.size());
    EXPECT_EQ(0u, fIncoming[0]->fRecvId);
    PacketSpec data = Data(fIncoming[0], 0, "wrapped");
    data.fConnId = 0; // what a peer with receive id 0xFFFF sends: 0xFFFF + 1 in 16 bits
    fSent.clear();
    ASSERT_TRUE(Receive(sBuild(data), kPeer));
    EXPECT_EQ("wrapped", fIncomingRecorder.fRead);
    EXPECT_EQ(0u, UTP_GetResetCount());
}

TEST_F(UtpReceive, VersionZeroSynMakesAVersionZeroConnection)
{
    ASSERT_TRUE(Receive(sBuild(Syn(0, 0x10000001, 9)), kPeer));
    ASSERT_EQ(1u, fIncoming.size());
    UTPSocket* s = fIncoming[0];
    EXPECT_EQ(0, s->fVersion);
    EXPECT_EQ(0x10000002u, s->fRecvId);
    EXPECT_EQ(1379u, s->fPacketSize);
    ASSERT_EQ(1u, fSent.size());
    EXPECT_EQ(33u, fSent[0].fBytes.size());
    EXPECT_EQ(74, fSent[0].fBytes[16]); // 204 800 bytes in 350-byte units, low 8 bits
}

TEST_F(UtpReceive, StraysGetOneResetPerRecordLifetime)
{
    PacketSpec stray;
    stray.fConnId = 4242;
    stray.fSeqNr = 77;
    ASSERT_TRUE(Receive(sBuild(stray), kPeer));
    ASSERT_EQ(1u, fSent.size());
    PacketHeader h = sHeaderOf(fSent[0].fBytes, 1);
    EXPECT_EQ(ST_RESET, h.fType);
    EXPECT_EQ(4242u, h.fConnId);
    EXPECT_EQ(77, h.fAckNr);
    fSent.clear();

    Advance(9000);
    UTP_CheckTimeouts();
    ASSERT_TRUE(Receive(sBuild(stray), kPeer)); // refreshes the record
    EXPECT_TRUE(fSent.empty());
    Advance(9999);
    UTP_CheckTimeouts();
    ASSERT_TRUE(Receive(sBuild(stray), kPeer));
    EXPECT_TRUE(fSent.empty());
    Advance(10000);
    UTP_CheckTimeouts();
    EXPECT_EQ(0u, UTP_GetResetCount());
    ASSERT_TRUE(Receive(sBuild(stray), kPeer));
    EXPECT_EQ(1u, fSent.size());

    // A reset for no connection is dropped without an answer.
    fSent.clear();
    stray.fType = ST_RESET;
    stray.fConnId = 999;
    ASSERT_TRUE(Receive(sBuild(stray), kPeer));
    EXPECT_TRUE(fSent.empty());
}

TEST_F(UtpReceive, ResetTableIsBounded)
{
    PacketSpec stray;
    for (uint32_t id = 0; id < 1500; ++id)
    {
        stray.fConnId = id;
        ASSERT_TRUE(Receive(sBuild(stray), kPeer));
    }
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
    // 511 ahead: dropped, no ACK even later.
    ASSERT_TRUE(Receive(sBuild(Data(s, 511, "far")), kPeer));
    EXPECT_EQ(0, s->fReorderCount);
    Advance(200);
    UTP_CheckTimeouts();
    EXPECT_EQ(0u, Acks());
    // 510 ahead: stored; the next sweep at least 1 ms later sends an ACK with an EACK.
    ASSERT_TRUE(Receive(sBuild(Data(s, 510, "edge")), kPeer));
    EXPECT_EQ(1, s->fReorderCount);
    EXPECT_GE(s->fInBuf.fMask, 511u);
    UTP_CheckTimeouts();
    EXPECT_EQ(0u, Acks());
    Advance(1);
    UTP_CheckTimeouts();
    ASSERT_EQ(1u, Acks());
    EXPECT_EQ(EXT_EACK, fSent.back().fBytes[1]);
    fSent.clear();

    // 300 behind, not an ACK: an ACK within 100 ms. An old ST_STATE: nothing.
    PacketSpec old = Data(s, 0, "old");
    old.fSeqNr = uint16_t(s->fAckNr - 299);
    ASSERT_TRUE(Receive(sBuild(old), kPeer));
    Advance(99);
    UTP_CheckTimeouts();
    EXPECT_EQ(0u, Acks());
    Advance(1);
    UTP_CheckTimeouts();
    EXPECT_EQ(1u, Acks());
    fSent.clear();
    old.fType = ST_STATE;
    ASSERT_TRUE(Receive(sBuild(old), kPeer));
    Advance(200);
    UTP_CheckTimeouts();
    EXPECT_EQ(0u, Acks());
    EXPECT_EQ("", r.fRead);
}

TEST_F(UtpReceive, ReorderedDataIsDeliveredInOrderOnce)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    ASSERT_TRUE(Receive(sBuild(Data(s, 2, "C")), kPeer));
    ASSERT_TRUE(Receive(sBuild(Data(s, 1, "B")), kPeer));
    ASSERT_TRUE(Receive(sBuild(Data(s, 1, "B")), kPeer)); // duplicate
    EXPECT_EQ(2, s->fReorderCount);
    EXPECT_EQ("", r.fRead);
    ASSERT_TRUE(Receive(sBuild(Data(s, 0, "A")), kPeer));
    EXPECT_EQ("ABC", r.fRead);
    EXPECT_EQ(0, s->fReorderCount);
    EXPECT_EQ(uint16_t(1002), s->fAckNr);
    PacketSpec again = Data(s, 0, "C");
    again.fSeqNr = 1002;
    ASSERT_TRUE(Receive(sBuild(again), kPeer)); // already delivered
    EXPECT_EQ("ABC", r.fRead);
}

TEST_F(UtpReceive, EarlyFinWaitsForMissingData)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    PacketSpec fin = Data(s, 2, "");
    fin.fType = ST_FIN;
    ASSERT_TRUE(Receive(sBuild(fin), kPeer));
    EXPECT_EQ(std::vector<int>({STATE_CHANGE_CONNECTED}), r.fStates);
    // Past EOF: dropped.
    ASSERT_TRUE(Receive(sBuild(Data(s, 3, "beyond")), kPeer));
    EXPECT_EQ(1, s->fReorderCount);
    ASSERT_TRUE(Receive(sBuild(Data(s, 1, "two")), kPeer));
    EXPECT_EQ(CS_CONNECTED, UTP_GetState(s));
    fSent.clear();
    ASSERT_TRUE(Receive(sBuild(Data(s, 0, "one")), kPeer));
    EXPECT_EQ("onetwo", r.fRead);
    EXPECT_EQ(CS_GOT_FIN, UTP_GetState(s));
    EXPECT_EQ(STATE_CHANGE_EOF, r.fStates.back());
    EXPECT_EQ(1u, Acks()); // the FIN is acknowledged at once
    EXPECT_EQ(fin.fSeqNr, sHeaderOf(fSent.back().fBytes, 1).fAckNr);
}

TEST_F(UtpReceive, AckAfterMoreThan2400Bytes)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    ASSERT_TRUE(Receive(sBuild(Data(s, 0, std::string(1300, 'a'))), kPeer));
    EXPECT_EQ(0u, Acks());
    EXPECT_EQ(1300u, s->fBytesSinceAck);
    ASSERT_TRUE(Receive(sBuild(Data(s, 0, std::string(1300, 'b'))), kPeer));
    EXPECT_EQ(1u, Acks());
    EXPECT_EQ(0u, s->fBytesSinceAck);
    EXPECT_EQ(2600u, r.fRead.size());
}

TEST_F(UtpReceive, DupAckKeptOnlyForAckOfNothingNew)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    s->fMaxWindow = 100000;
    Advance(50);
    r.fOutgoing.assign(3000, 'q');
    UTP_Write(s, 3000);
    ASSERT_EQ(3u, s->fCurWindowPackets);
    s->fDupAck = 2;
    PacketSpec ack = PeerPacket(s, ST_STATE);
    ack.fAckNr = uint16_t(sOldest(s) - 1);
    ASSERT_TRUE(Receive(sBuild(ack), kPeer));
    EXPECT_EQ(2, s->fDupAck);
    ack.fAckNr = sOldest(s);
    ASSERT_TRUE(Receive(sBuild(ack), kPeer));
    EXPECT_EQ(0, s->fDupAck);
    EXPECT_EQ(2u, s->fCurWindowPackets);
}

TEST_F(UtpReceive, ZeroWindowIsProbedAfterFifteenSeconds)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    PacketSpec ack = PeerPacket(s, ST_STATE);
    ack.fWindow = 0;
    ASSERT_TRUE(Receive(sBuild(ack), kPeer));
    EXPECT_EQ(0u, s->fPeerWindow);
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
    PacketSpec bad = Data(s, 0, "payload");
    bad.fFirstExt = EXT_BITS;
    bad.fExtensions = {0, 4, 0, 0, 0, 0};
    ASSERT_TRUE(Receive(sBuild(bad), kPeer));
    bad.fFirstExt = 9;
    bad.fExtensions = {0, 200};
    ASSERT_TRUE(Receive(sBuild(bad), kPeer));
    PacketSpec badType = Data(s, 0, "payload");
    std::vector<uint8_t> b = sBuild(badType);
    b[0] = 0x51; // type 5 read as version 0 garbage: no connection, a reset
    ASSERT_TRUE(Receive(b, kPeer));
    EXPECT_EQ("", r.fRead);
    EXPECT_EQ(999, s->fAckNr);
    // An unknown extension is skipped and the payload follows it. (A version-1 header's first
    // extension must be below 3, so type 7 comes second in the chain.)
    bad.fFirstExt = EXT_BITS;
    bad.fExtensions = {7, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 1, 2, 3, 4};
    ASSERT_TRUE(Receive(sBuild(bad), kPeer));
    EXPECT_EQ("payload", r.fRead);
}

TEST_F(UtpReceive, RandomDatagramsNeverBreakAConnection)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    s->fMaxWindow = 100000;
    Advance(50);
    r.fOutgoing.assign(20000, 'w');
    UTP_Write(s, 20000);
    std::mt19937 rng(7);
    const std::vector<uint8_t> base = sBuild(Data(s, 0, "0123456789"));
    for (int i = 0; i < 20000; ++i)
    {
        std::vector<uint8_t> b = base;
        b.resize(rng() % 64);
        // Keep the header recognisable as this connection's most of the time, mutate the rest.
        for (size_t k = 0; k < b.size(); ++k)
            if (rng() % 4 == 0)
                b[k] = uint8_t(rng());
        Receive(b, kPeer);
        if (i % 97 == 0)
        {
            Advance(rng() % 200);
            UTP_CheckTimeouts();
        }
    }
    EXPECT_LE(UTP_GetResetCount(), 1001u);
    UTP_FreeAll();
}
