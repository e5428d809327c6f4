// State machine tests: connecting, writing and coalescing, closing in each state, resets in each
// state, give-ups, options, and destruction reported once with the record freed (the sanitizer
// build catches any later use).

#include "utp_test_support.h"

using namespace quillane::UTP;
using namespace utptest;

namespace
{

class UtpConnection : public UtpFixture
{
  protected:
    void Poll(uint64_t iMs)
    {
        for (uint64_t t = 0; t < iMs; t += 50)
        {
            UTP_CheckTimeouts();
            Advance(50);
        }
        UTP_CheckTimeouts();
    }

    void SendReset(const UTPSocket* s, uint32_t iId)
    {
        PacketSpec reset = PeerPacket(s, ST_RESET);
        reset.fConnId = iId;
        ASSERT_TRUE(Receive(sBuild(reset), kPeer));
    }

    // The peer's FIN as its next packet, acknowledging nothing new.
    void ReceiveFin(UTPSocket* s)
    {
        PacketSpec fin = PeerPacket(s, ST_FIN);
        fin.fAckNr = uint16_t(sOldest(s) - 1);
        ASSERT_TRUE(Receive(sBuild(fin), kPeer));
    }

    void ExpectDestroyedOnce(const Recorder& r, size_t iLiveAfter = 0)
    {
        EXPECT_EQ(1, r.Count(STATE_CHANGE_DESTROYING));
        EXPECT_EQ(iLiveAfter, UTP_GetConnectionCount());
    }
};

} // namespace

TEST_F(UtpConnection, ConnectReportsConnectedOnce)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    EXPECT_EQ(std::vector<int>({STATE_CHANGE_CONNECTED}), r.fStates);
    EXPECT_EQ(999, s->fAckNr);
    EXPECT_EQ(0u, s->fCurWindowPackets); // the SYN is acknowledged
    EXPECT_FALSE(UTP_SetOption(s, UTP_OPTION_VERSION, 0));
    EXPECT_EQ(1, s->fVersion);
    EXPECT_TRUE(UTP_SetOption(s, UTP_OPTION_SNDBUF, 5000));
    EXPECT_EQ(5000u, s->fSndBuf);
    EXPECT_FALSE(UTP_SetOption(s, 12345, 1));
}

TEST_F(UtpConnection, WriteOfZeroBytesQueuesNothing)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    Advance(50);
    EXPECT_TRUE(UTP_Write(s, 0));
    EXPECT_EQ(0u, s->fCurWindowPackets);
    EXPECT_TRUE(fSent.empty());
}

TEST_F(UtpConnection, WriteRefusedOutsideConnected)
{
    Recorder r;
    UTPSocket* s = Create(kPeer, &r);
    EXPECT_FALSE(UTP_Write(s, 10));
    UTP_Connect(s);
    EXPECT_FALSE(UTP_Write(s, 10));
    EXPECT_EQ(0u, r.fWritten);
}

TEST_F(UtpConnection, SmallWritesCoalesceBehindAPacketInFlight)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    s->fMaxWindow = 20000;
    Advance(50);
    r.fOutgoing = std::string(100, 'a') + std::string(100, 'b') + std::string(100, 'c') +
                  std::string(100, 'd');
    EXPECT_TRUE(UTP_Write(s, 100));
    ASSERT_EQ(1u, fSent.size()); // the only packet goes at once
    fSent.clear();
    EXPECT_TRUE(UTP_Write(s, 100));
    EXPECT_TRUE(UTP_Write(s, 100));
    EXPECT_TRUE(UTP_Write(s, 100));
    EXPECT_TRUE(fSent.empty()); // held back behind the packet in flight
    EXPECT_EQ(2u, s->fCurWindowPackets);
    EXPECT_EQ(300u, s->fOutBuf.Get(uint16_t(s->fSeqNr - 1))->fPayload);

    PacketSpec ack = PeerPacket(s, ST_STATE);
    ack.fAckNr = sOldest(s);
    Advance(20);
    ASSERT_TRUE(Receive(sBuild(ack), kPeer));
    ASSERT_EQ(1u, fSent.size());
    const std::vector<uint8_t>& b = fSent[0].fBytes;
    ASSERT_EQ(20u + 300u, b.size());
    EXPECT_EQ(std::string(100, 'b') + std::string(100, 'c') + std::string(100, 'd'),
              std::string(b.begin() + 20, b.end()));
}

TEST_F(UtpConnection, WindowFullThenWritableAgain)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    Advance(50);
    r.fOutgoing.assign(3 * s->fPacketSize, 'z');
    EXPECT_FALSE(UTP_Write(s, r.fOutgoing.size())); // window of one packet
    EXPECT_EQ(CS_CONNECTED_FULL, UTP_GetState(s));
    EXPECT_EQ(s->fPacketSize, r.fWritten);
    PacketSpec ack = PeerPacket(s, ST_STATE);
    ack.fAckNr = sOldest(s);
    Advance(20);
    ASSERT_TRUE(Receive(sBuild(ack), kPeer));
    EXPECT_EQ(CS_CONNECTED, UTP_GetState(s));
    EXPECT_EQ(STATE_CHANGE_WRITABLE, r.fStates.back());
}

TEST_F(UtpConnection, CloseInIdleOrResetDestroysAtTheNextSweep)
{
    Recorder r1, r2;
    UTPSocket* idle = Create(kPeer, &r1);
    UTPSocket* reset = Establish(&r2);
    SendReset(reset, reset->fRecvId);
    EXPECT_EQ(CS_RESET, UTP_GetState(reset));
    UTP_CheckTimeouts();
    EXPECT_EQ(2u, UTP_GetConnectionCount()); // CS_RESET stays until closed
    UTP_Close(idle);
    UTP_Close(reset);
    EXPECT_EQ(CS_DESTROY, UTP_GetState(idle));
    UTP_CheckTimeouts();
    ExpectDestroyedOnce(r1);
    ExpectDestroyedOnce(r2);
    UTP_CheckTimeouts();
    EXPECT_EQ(1, r1.Count(STATE_CHANGE_DESTROYING));
}

TEST_F(UtpConnection, CloseWhileConnectingWaitsThenReportsReset)
{
    Recorder r;
    UTPSocket* s = Create(kPeer, &r);
    UTP_Connect(s);
    UTP_Close(s);
    EXPECT_EQ(CS_DESTROY_DELAY, UTP_GetState(s));
    Advance(59);
    UTP_CheckTimeouts();
    EXPECT_EQ(1u, UTP_GetConnectionCount());
    Advance(1);
    UTP_CheckTimeouts();
    EXPECT_EQ(std::vector<int>({UTP_ECONNRESET}), r.fErrors); // the SYN was never acknowledged
    ExpectDestroyedOnce(r);
}

TEST_F(UtpConnection, CloseWhenConnectedSendsFinAndEndsOnItsAck)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    UTP_Close(s);
    EXPECT_EQ(CS_FIN_SENT, UTP_GetState(s));
    ASSERT_EQ(1u, fSent.size());
    EXPECT_EQ(0x11, fSent[0].fBytes[0]);
    EXPECT_EQ(20u, fSent[0].fBytes.size());
    // Data arriving now is acknowledged but not delivered.
    PacketSpec data = PeerPacket(s, ST_DATA);
    data.fAckNr = uint16_t(sOldest(s) - 1);
    data.fPayload = "late";
    ASSERT_TRUE(Receive(sBuild(data), kPeer));
    EXPECT_EQ(1000, s->fAckNr);
    EXPECT_EQ("", r.fRead);
    EXPECT_EQ(CS_FIN_SENT, UTP_GetState(s));
    // The ACK covering the FIN ends it.
    PacketSpec ack = PeerPacket(s, ST_STATE);
    ASSERT_TRUE(Receive(sBuild(ack), kPeer));
    EXPECT_EQ(CS_DESTROY, UTP_GetState(s));
    UTP_CheckTimeouts();
    ExpectDestroyedOnce(r);
    EXPECT_TRUE(r.fErrors.empty());
}

TEST_F(UtpConnection, FinSentGivesUpWithTimeoutAndIsDestroyed)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    UTP_Close(s);
    (void)s;
    Poll(40000);
    EXPECT_EQ(std::vector<int>({UTP_ETIMEDOUT}), r.fErrors);
    ExpectDestroyedOnce(r);
}

TEST_F(UtpConnection, EndOfStreamThenCloseDestroysAfterTheDelay)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    ReceiveFin(s);
    EXPECT_EQ(CS_GOT_FIN, UTP_GetState(s));
    EXPECT_EQ(STATE_CHANGE_EOF, r.fStates.back());
    ASSERT_FALSE(fSent.empty()); // the FIN is acknowledged at once
    UTP_Close(s);
    EXPECT_EQ(CS_DESTROY_DELAY, UTP_GetState(s));
    Advance(59);
    UTP_CheckTimeouts();
    EXPECT_EQ(1u, UTP_GetConnectionCount());
    Advance(1);
    UTP_CheckTimeouts();
    ExpectDestroyedOnce(r);
    EXPECT_TRUE(r.fErrors.empty());
}

TEST_F(UtpConnection, EndOfStreamWithoutCloseTimesOutToReset)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    s->fMaxWindow = 100000;
    Advance(50);
    r.fOutgoing = "unacked";
    UTP_Write(s, 7);
    ReceiveFin(s);
    Advance(60);
    UTP_CheckTimeouts();
    EXPECT_EQ(CS_RESET, UTP_GetState(s));
    EXPECT_EQ(std::vector<int>({UTP_ECONNRESET}), r.fErrors);
    UTP_Close(s);
    UTP_CheckTimeouts();
    ExpectDestroyedOnce(r);
}

TEST_F(UtpConnection, ResetsInEachState)
{
    // CS_SYN_SENT: refused.
    Recorder r1;
    UTPSocket* a = Create(kPeer, &r1);
    UTP_Connect(a);
    SendReset(a, a->fRecvId);
    EXPECT_EQ(CS_RESET, UTP_GetState(a));
    EXPECT_EQ(std::vector<int>({UTP_ECONNREFUSED}), r1.fErrors);
    UTP_Close(a);
    UTP_CheckTimeouts();
    ExpectDestroyedOnce(r1);

    // CS_CONNECTED, matched by the send id: reset.
    Recorder r2;
    UTPSocket* b = Establish(&r2);
    SendReset(b, b->fSendId);
    EXPECT_EQ(CS_RESET, UTP_GetState(b));
    EXPECT_EQ(std::vector<int>({UTP_ECONNRESET}), r2.fErrors);
    EXPECT_EQ(BW_CLOSE, r2.fOverheadCategories.back());
    UTP_Close(b);
    UTP_CheckTimeouts();
    ExpectDestroyedOnce(r2);

    // CS_FIN_SENT: straight to destruction.
    Recorder r3;
    UTPSocket* c = Establish(&r3);
    UTP_Close(c);
    SendReset(c, c->fRecvId);
    EXPECT_EQ(CS_DESTROY, UTP_GetState(c));
    UTP_CheckTimeouts();
    ExpectDestroyedOnce(r3);

    // No user data: destroyed without any report.
    UTPSocket* d = Establish(nullptr);
    SendReset(d, d->fRecvId);
    EXPECT_EQ(CS_DESTROY, UTP_GetState(d));
    UTP_CheckTimeouts();
    EXPECT_EQ(0u, UTP_GetConnectionCount());
}

TEST_F(UtpConnection, ResetAfterCloseStillEndsTheConnection)
{
    // Closed while the peer's FIN was pending: a reset must not park it in CS_RESET, where
    // nobody would close it again.
    Recorder r;
    UTPSocket* s = Establish(&r);
    ReceiveFin(s);
    UTP_Close(s);
    ASSERT_EQ(CS_DESTROY_DELAY, UTP_GetState(s));
    SendReset(s, s->fRecvId);
    EXPECT_EQ(CS_DESTROY, UTP_GetState(s));
    UTP_CheckTimeouts();
    ExpectDestroyedOnce(r);
}

TEST_F(UtpConnection, ResetFromAnotherAddressOrIdIsIgnored)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    PacketSpec reset = PeerPacket(s, ST_RESET);
    reset.fConnId = s->fRecvId + 7;
    ASSERT_TRUE(Receive(sBuild(reset), kPeer));
    reset.fConnId = s->fRecvId;
    ASSERT_TRUE(Receive(sBuild(reset), sAddr4("127.0.0.9", 2000)));
    ASSERT_TRUE(Receive(sBuild(reset), sAddr4("127.0.0.2", 2001)));
    EXPECT_EQ(CS_CONNECTED, UTP_GetState(s));
    EXPECT_TRUE(fSent.empty()); // a reset is never answered
}

TEST_F(UtpConnection, ManyConnectionsDestroyedInOneSweepKeepTheirIndex)
{
    std::vector<Recorder> recorders(40);
    std::vector<UTPSocket*> sockets;
    for (int i = 0; i < 40; ++i)
    {
        sockets.push_back(Create(sAddr4("127.0.0.2", uint16_t(3000 + i)), &recorders[i]));
        UTP_Connect(sockets.back());
    }
    for (int i = 0; i < 40; i += 3)
        UTP_Close(sockets[i]);
    Advance(60);
    UTP_CheckTimeouts();
    EXPECT_EQ(40u - 14u, UTP_GetConnectionCount());
    for (int i = 0; i < 40; ++i)
    {
        EXPECT_EQ(i % 3 == 0 ? 1 : 0, recorders[i].Count(STATE_CHANGE_DESTROYING));
        if (i % 3 == 0)
            continue;
        // Survivors still match their packets through the index.
        PacketSpec answer = PeerPacket(sockets[i], ST_STATE);
        answer.fSeqNr = 1;
        ASSERT_TRUE(Receive(sBuild(answer), sAddr4("127.0.0.2", uint16_t(3000 + i))));
        EXPECT_EQ(CS_CONNECTED, UTP_GetState(sockets[i]));
    }
}

TEST_F(UtpConnection, DrainedReadBufferReopensAClosedWindow)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    r.fReadBufferSize = s->fRcvBuf; // the user holds a full buffer
    PacketSpec data = PeerPacket(s, ST_DATA);
    data.fPayload = std::string(2500, 'd');
    ASSERT_TRUE(Receive(sBuild(data), kPeer));
    ASSERT_EQ(1u, fSent.size()); // more than 2400 bytes: ACKed at once, window 0
    EXPECT_EQ(0u, sHeaderOf(fSent[0].fBytes, 1).fWindow);
    fSent.clear();
    r.fReadBufferSize = 0;
    UTP_ReadBufferDrained(s);
    ASSERT_EQ(1u, fSent.size()); // the window update goes out at once
    EXPECT_EQ(s->fRcvBuf, sHeaderOf(fSent[0].fBytes, 1).fWindow);
    // With a window still open, draining only brings the ACK forward to 100 ms.
    fSent.clear();
    r.fReadBufferSize = 1000;
    ASSERT_TRUE(Receive(sBuild(PeerPacket(s, ST_DATA)), kPeer));
    fSent.clear();
    r.fReadBufferSize = 0;
    UTP_ReadBufferDrained(s);
    EXPECT_TRUE(fSent.empty());
    Advance(100);
    UTP_CheckTimeouts();
    EXPECT_EQ(1u, fSent.size());
}

TEST_F(UtpConnection, OverheadIsReportedByCategory)
{
    Recorder r;
    UTPSocket* s = Create(kPeer, &r);
    UTP_Connect(s);
    ASSERT_EQ(std::vector<int>({BW_CONNECT}), r.fOverheadCategories);
    Advance(10);
    PacketSpec answer = PeerPacket(s, ST_STATE);
    answer.fSeqNr = 1000;
    ASSERT_TRUE(Receive(sBuild(answer), kPeer));
    EXPECT_EQ(BW_HEADER, r.fOverheadCategories.back()); // received
    Advance(50);
    r.fOutgoing = "x";
    r.fOverheadCategories.clear();
    UTP_Write(s, 1);
    EXPECT_EQ(std::vector<int>({BW_HEADER}), r.fOverheadCategories); // first transmission
    Advance(3000);
    UTP_CheckTimeouts();
    EXPECT_EQ(BW_RETRANSMIT, r.fOverheadCategories.back());
    r.fOverheadCategories.clear();
    UTP_SetCallbacks(s, nullptr, nullptr); // the default table: nothing reported
    Advance(6000);
    UTP_CheckTimeouts();
    EXPECT_TRUE(r.fOverheadCategories.empty());
}

TEST_F(UtpConnection, SendBufferGrowsAcrossTheSequenceWrap)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    s->fSeqNr = 65530;
    s->fMaxWindow = 1000000;
    s->fQuota = 100000000;
    r.fOutgoing.assign(40 * s->fPacketSize, 'w');
    EXPECT_TRUE(UTP_Write(s, r.fOutgoing.size()));
    ASSERT_EQ(40u, fSent.size());
    EXPECT_EQ(40u, s->fCurWindowPackets);
    EXPECT_GE(s->fOutBuf.fMask, 63u);
    for (size_t i = 0; i < fSent.size(); ++i)
        EXPECT_EQ(uint16_t(65530 + i), sHeaderOf(fSent[i].fBytes, 1).fSeqNr);
    PacketSpec ack = PeerPacket(s, ST_STATE);
    ack.fAckNr = uint16_t(65530 + 39);
    ASSERT_TRUE(Receive(sBuild(ack), kPeer));
    EXPECT_EQ(0u, s->fCurWindowPackets);
    EXPECT_EQ(0u, s->fCurWindow);
}

TEST_F(UtpConnection, ReorderBufferGrowsAcrossTheSequenceWrap)
{
    Recorder r;
    UTPSocket* s = Establish(&r);
    s->fAckNr = 65520;
    std::string expected;
    for (int i = 0; i < 40; ++i)
        expected += char('A' + i % 26);
    for (int i = 39; i >= 1; --i) // everything but the first, newest first
    {
        PacketSpec data = PeerPacket(s, ST_DATA);
        data.fSeqNr = uint16_t(65521 + i);
        data.fPayload = std::string(1, expected[size_t(i)]);
        ASSERT_TRUE(Receive(sBuild(data), kPeer));
    }
    EXPECT_EQ(39, s->fReorderCount);
    EXPECT_EQ("", r.fRead);
    PacketSpec first = PeerPacket(s, ST_DATA);
    first.fPayload = "A";
    ASSERT_TRUE(Receive(sBuild(first), kPeer));
    EXPECT_EQ(expected, r.fRead);
    EXPECT_EQ(uint16_t(65520 + 40), s->fAckNr);
    EXPECT_EQ(0, s->fReorderCount);
}

TEST_F(UtpConnection, IdleConnectionsSleepButKeepTheirDeadlines)
{
    // Sixty connections established 70 ms apart: each must send its keep-alive at the first
    // sweep 29 s after its last datagram, whichever order their deadlines come in.
    const int kCount = 60;
    std::vector<UTPSocket*> sockets;
    std::vector<uint64_t> established;
    for (int i = 0; i < kCount; ++i)
    {
        const sockaddr_in peer = sAddr4("127.0.0.2", uint16_t(5000 + i));
        UTPSocket* s = Create(peer, nullptr);
        sockets.push_back(s);
        UTP_Connect(s);
        PacketSpec answer = PeerPacket(s, ST_STATE);
        answer.fSeqNr = 1000;
        ASSERT_TRUE(Receive(sBuild(answer), peer));
        established.push_back(sNow());
        UTP_CheckTimeouts();
        Advance(70);
    }
    fSent.clear();
    std::vector<int> keepAlives(kCount, 0);
    for (int step = 0; step < 700; ++step)
    {
        Advance(50);
        UTP_CheckTimeouts();
        for (const Sent& d : fSent)
        {
            const int i = d.fTo.fPort - 5000;
            ASSERT_TRUE(i >= 0 && i < kCount);
            ++keepAlives[i];
            EXPECT_GE(sNow() - established[i], 29000u) << i;
            EXPECT_LT(sNow() - established[i], 29050u) << i;
            EXPECT_EQ(uint16_t(999 - 1), sHeaderOf(d.fBytes, 1).fAckNr);
        }
        fSent.clear();
    }
    for (int i = 0; i < kCount; ++i)
        EXPECT_EQ(1, keepAlives[i]) << i;

    // A packet wakes a sleeper: its delayed ACK goes out 100 ms later, not at its keep-alive.
    UTPSocket* s = sockets[7];
    const sockaddr_in peer = sAddr4("127.0.0.2", 5007);
    ASSERT_TRUE(Receive(sBuild(PeerPacket(s, ST_DATA)), peer));
    Advance(50);
    UTP_CheckTimeouts();
    EXPECT_TRUE(fSent.empty());
    Advance(50);
    UTP_CheckTimeouts();
    ASSERT_EQ(1u, fSent.size());
    EXPECT_EQ(1000, sHeaderOf(fSent[0].fBytes, 1).fAckNr);
}
