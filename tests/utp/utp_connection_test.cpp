// State machine tests: connecting, coalescing small writes, closing and resets in each state,
// destruction reported once with the record freed (the sanitizer build catches any later use),
// the ACK rules after data and after a drained read buffer, and sleeping idle connections.

#include "tests/utp/utp_test_support.h"

using namespace quillane::test;

namespace
{

// The stages Enter brings a connection into, in the order they come.
typedef int Stage;
const Stage kIdle = 0, kSynSent = 1, kConnected = 2, kReset = 3, kFinSent = 4, kGotFin = 5,
            kClosedAfterFin = 6;

class UtpConnection : public UtpFixture
{
  protected:
    void SendReset(const UTPSocket* s, uint32_t iId, const sockaddr_in& iFrom = kPeer)
    {
        PacketDraft reset = Peer(s, ST_RESET);
        reset.fConnId = iId;
        ASSERT_TRUE(Receive(reset, iFrom));
    }

    // A connection brought into iStage (iRecorder may be null).
    UTPSocket* Enter(Stage iStage, Recorder* iRecorder)
    {
        if (iStage == kIdle || iStage == kSynSent)
        {
            UTPSocket* s = Create(kPeer, iRecorder);
            if (iStage == kSynSent)
                UTP_Connect(s);
            return s;
        }
        UTPSocket* s = Establish(iRecorder);
        if (iStage == kReset)
            SendReset(s, s->fRecvId);
        if (iStage == kFinSent)
            UTP_Close(s);
        EXPECT_TRUE(iStage < kGotFin || Receive(Peer(s, ST_FIN)));
        if (iStage == kClosedAfterFin)
            UTP_Close(s);
        return s;
    }
};

} // namespace

// Writes are refused until the SYN is answered, the version is fixed from then on, overhead is
// reported by category; once connected, small writes behind a packet in flight are held back
// and leave as one packet when it is acknowledged.
TEST_F(UtpConnection, ConnectThenCoalesceSmallWrites)
{
    UTPSocket* s = Create(kPeer, &fRec);
    UTP_Connect(s);
    EXPECT_FALSE(UTP_Write(s, 10));
    Advance(10);
    ASSERT_TRUE(Receive(SynAnswer(s)));
    EXPECT_EQ(std::vector<int>({STATE_CHANGE_CONNECTED}), fRec.fStates);
    EXPECT_EQ(std::vector<int>({BW_CONNECT, BW_HEADER}), fRec.fOverheadCategories);
    EXPECT_FALSE(UTP_SetOption(s, UTP_OPTION_VERSION, 0));
    EXPECT_FALSE(UTP_SetOption(s, 12345, 1));
    EXPECT_EQ(int(kDefaultBufferV1), UTP_GetOption(s, UTP_OPTION_RCVBUF));

    s->fMaxWindow = 20000;
    Advance(50); // the send quota fills
    fSent.clear();
    for (char c : std::string("abcd"))
        fRec.fOutgoing += std::string(100, c);
    for (int i = 0; i < 4; ++i)
        EXPECT_TRUE(UTP_Write(s, 100));
    ASSERT_EQ(1u, fSent.size());
    fSent.clear();
    Advance(20);
    ASSERT_TRUE(Receive(AckOf(s, 1)));
    ASSERT_EQ(1u, fSent.size());
    const std::vector<uint8_t>& b = fSent[0].fBytes;
    EXPECT_EQ(fRec.fOutgoing.substr(100), std::string(b.begin() + 20, b.end()));
}

// Every ending in each state is one destruction. Our close answers a peer's FIN with our FIN
// (stamped, with our window), our reset sends ST_RESET (neither) if the peer may hold a connection.
// After our FIN, data is acknowledged, not delivered; the peer's FIN after ours ends it. The peer's
// reset (by either id) is never answered; it ends a closed or userless connection at once, without
// an error once we have closed after the peer (the first closer answers our FIN so).
TEST_F(UtpConnection, EveryEndingInEachStateIsOneDestruction)
{
    const int kClose = 0, kOurReset = 1, kTheirFin = 2, kTheirs = 3, kBySendId = 4, kNoUser = 5;
    struct Row
    {
        Stage fStage;
        int fHow, fAfter;
        uint64_t fDelayMs;
        std::vector<int> fErrors;
        int fSends; // type of the one datagram sent, or -1
    };
    const Row rows[] = {{kIdle, kClose, CS_DESTROY, 0, {}, -1},
                        {kReset, kClose, CS_DESTROY, 0, {UTP_ECONNRESET}, -1},
                        {kSynSent, kClose, CS_DESTROY_DELAY, 60, {UTP_ECONNRESET}, -1}, // no answer
                        {kGotFin, kClose, CS_DESTROY_DELAY, 60, {}, ST_FIN},
                        {kIdle, kOurReset, CS_DESTROY, 0, {}, -1},
                        {kReset, kOurReset, CS_DESTROY, 0, {UTP_ECONNRESET}, -1},
                        {kSynSent, kOurReset, CS_DESTROY, 0, {}, ST_RESET},
                        {kFinSent, kOurReset, CS_DESTROY, 0, {}, ST_RESET},
                        {kFinSent, kTheirFin, CS_DESTROY, 0, {}, -1},
                        {kSynSent, kTheirs, CS_RESET, 0, {UTP_ECONNREFUSED}, -1},
                        {kConnected, kBySendId, CS_RESET, 0, {UTP_ECONNRESET}, -1},
                        {kFinSent, kTheirs, CS_DESTROY, 0, {UTP_ECONNRESET}, -1},
                        {kClosedAfterFin, kTheirs, CS_DESTROY, 0, {}, -1}, // our FIN answered
                        {kConnected, kNoUser, CS_DESTROY, 0, {}, -1}};
    for (const Row& row : rows)
    {
        SCOPED_TRACE(std::to_string(row.fStage) + " ended by " + std::to_string(row.fHow));
        Recorder r;
        UTPSocket* s = Enter(row.fStage, row.fHow == kNoUser ? nullptr : &r);
        Sweep();
        EXPECT_EQ(1u, UTP_GetConnectionCount()); // nothing ends before
        fSent.clear();
        if (row.fHow == kTheirFin)
        {
            PacketDraft data = Data(s, 0, "late");
            data.fAckNr = uint16_t(sOldest(s) - 1); // our FIN stays unacknowledged
            ASSERT_TRUE(Receive(data));
            EXPECT_TRUE(r.fRead.empty() && s->fAckNr == data.fSeqNr && s->fState == CS_FIN_SENT);
            ASSERT_TRUE(Receive(Peer(s, ST_FIN)));
        }
        else if (row.fHow >= kTheirs)
        {
            SendReset(s, s->fRecvId + 7); // this one and the next two are ignored
            SendReset(s, s->fRecvId, sAddr4("127.0.0.9", 2000));
            SendReset(s, s->fRecvId, sAddr4("127.0.0.2", 2001));
            EXPECT_TRUE(r.fErrors.empty());
            SendReset(s, row.fHow == kBySendId ? s->fSendId : s->fRecvId);
            EXPECT_TRUE(row.fHow == kNoUser || r.fOverheadCategories.back() == BW_CLOSE);
        }
        else
            row.fHow == kOurReset ? UTP_Reset(s) : UTP_Close(s);
        EXPECT_EQ(row.fAfter, UTP_GetState(s));
        ASSERT_EQ(row.fSends < 0 ? 0u : 1u, fSent.size());
        for (const Sent& d : fSent)
        {
            const PacketHeader h = sHeaderOf(d.fBytes);
            const bool fin = row.fSends == ST_FIN;
            EXPECT_TRUE(h.fType == row.fSends && h.fConnId == s->fSendId && h.fSeqNr == s->fSeqNr &&
                        h.fAckNr == s->fAckNr && h.fWindow == (fin ? s->fRcvWin : 0) &&
                        (h.fTimestamp != 0) == fin);
        }
        if (row.fAfter == CS_RESET)
            UTP_Close(s);
        if (row.fDelayMs)
        {
            Sweep(row.fDelayMs - 1);
            EXPECT_EQ(1u, UTP_GetConnectionCount());
            Advance(1);
        }
        Sweep();
        EXPECT_EQ(0u, UTP_GetConnectionCount());
        Sweep();
        EXPECT_EQ(row.fErrors, r.fErrors);
        EXPECT_EQ(row.fHow == kNoUser ? 0 : 1, r.Count(STATE_CHANGE_DESTROYING));
    }
}

// Destroying every third of 40 connections in one sweep keeps the rest stepped and matched.
TEST_F(UtpConnection, ManyConnectionsDestroyedInOneSweep)
{
    std::vector<Recorder> recorders(40);
    std::vector<UTPSocket*> sockets;
    for (uint16_t i = 0; i < 40; ++i)
    {
        sockets.push_back(Create(sAddr4("127.0.0.2", uint16_t(3000 + i)), &recorders[i]));
        UTP_Connect(sockets.back());
        if (i % 3 == 0)
            UTP_Close(sockets.back());
    }
    Sweep(60);
    EXPECT_EQ(40u - 14u, UTP_GetConnectionCount());
    for (uint16_t i = 1; i < 40; ++i)
    {
        if (i % 3 == 0)
            continue;
        ASSERT_TRUE(Receive(SynAnswer(sockets[i]), sAddr4("127.0.0.2", uint16_t(3000 + i))));
        EXPECT_EQ(CS_CONNECTED, UTP_GetState(sockets[i]));
    }
}

// More than 2400 bytes since the last ACK are acknowledged at once (here with a closed window);
// draining the read buffer then sends the window update at once.
TEST_F(UtpConnection, AckAfter2400BytesAndWindowUpdateAfterDrain)
{
    UTPSocket* s = Establish(&fRec);
    fRec.fReadBufferSize = s->fRcvBuf; // the user holds a full buffer
    ASSERT_TRUE(Receive(Data(s, 0, std::string(1300, 'a'))));
    EXPECT_TRUE(fSent.empty());
    ASSERT_TRUE(Receive(Data(s, 0, std::string(1300, 'b'))));
    ASSERT_EQ(1u, fSent.size());
    EXPECT_EQ(0u, sHeaderOf(fSent[0].fBytes).fWindow);
    fRec.fReadBufferSize = 0;
    UTP_ReadBufferDrained(s);
    ASSERT_EQ(2u, fSent.size());
    EXPECT_EQ(s->fRcvBuf, sHeaderOf(fSent[1].fBytes).fWindow);
}

// Sixty connections established 70 ms apart sleep, and each sends its keep-alive at the first
// sweep 29 s after its last datagram, whatever order their deadlines come in. A packet wakes a
// sleeper: its delayed ACK goes out 100 ms later.
TEST_F(UtpConnection, IdleConnectionsSleepButKeepTheirDeadlines)
{
    const int kCount = 60;
    std::vector<UTPSocket*> sockets;
    for (int i = 0; i < kCount; ++i)
    {
        const sockaddr_in peer = sAddr4("127.0.0.2", uint16_t(5000 + i));
        sockets.push_back(Create(peer, nullptr));
        UTP_Connect(sockets.back());
        ASSERT_TRUE(Receive(SynAnswer(sockets.back()), peer));
        Sweep(70);
    }
    fSent.clear();
    std::vector<int> keepAlives(kCount, 0);
    for (int step = 0; step < 700; ++step)
    {
        Sweep(50);
        for (const Sent& d : fSent)
        {
            const int i = d.fTo.fPort - 5000;
            ASSERT_TRUE(i >= 0 && i < kCount);
            ++keepAlives[i];
            const uint32_t quiet = sNow() - uint32_t(kStartUs / 1000 + 70 * i);
            EXPECT_TRUE(quiet >= 29000 && quiet < 29050) << i << ": " << quiet;
            EXPECT_EQ(998, sHeaderOf(d.fBytes).fAckNr);
        }
        fSent.clear();
    }
    EXPECT_EQ(std::vector<int>(kCount, 1), keepAlives);

    ASSERT_TRUE(Receive(Data(sockets[7], 0, ""), sAddr4("127.0.0.2", 5007)));
    Sweep(50);
    EXPECT_TRUE(fSent.empty());
    Sweep(50);
    ASSERT_EQ(1u, fSent.size());
    EXPECT_EQ(1000, sHeaderOf(fSent[0].fBytes).fAckNr);
}
