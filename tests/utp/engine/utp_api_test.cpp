// Tests of the public calls: every ending of a connection in each state, on the unit-test fixture;
// then end-to-end transfers between two engines over the simulated network: connect, move data
// both ways, close, and check that both records are gone. Every byte is checked against the
// sender's generated stream, so any loss, duplication or reordering reaching the application
// shows.

#include "tests/utp/engine/utp_test_support.h"
#include "utp/sim/utp_sim.h"

#include <algorithm>
#include <set>

using namespace quillane::test;
using namespace quillane::UTP::Sim;

namespace
{

// The stages Enter brings a connection into, in the order they come.
typedef int Stage;
const Stage kIdle = 0, kSynSent = 1, kConnected = 2, kReset = 3, kFinSent = 4, kGotFin = 5,
            kClosedAfterFin = 6;

class UtpApi : public UtpFixture
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
            SendReset(s, s->fPeer.fRecvId);
        if (iStage == kFinSent)
            UTP_Close(s);
        EXPECT_TRUE(iStage < kGotFin || Receive(Peer(s, ST_FIN)));
        if (iStage == kClosedAfterFin)
            UTP_Close(s);
        return s;
    }
};

} // namespace

// Every ending in each state is one destruction. Our close answers a peer's FIN with our FIN
// (stamped, with our window), our reset sends ST_RESET (neither) if the peer may hold a connection.
// After our FIN, data is acknowledged, not delivered; the peer's FIN after ours ends it. The peer's
// reset (by either id) is never answered; it ends a closed or userless connection at once, without
// an error once we have closed after the peer (the first closer answers our FIN so).
TEST_F(UtpApi, EveryEndingInEachStateIsOneDestruction)
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
            EXPECT_TRUE(r.fRead.empty() && s->fRecv.fAckNr == data.fSeqNr &&
                        s->fState == CS_FIN_SENT);
            ASSERT_TRUE(Receive(Peer(s, ST_FIN)));
        }
        else if (row.fHow >= kTheirs)
        {
            SendReset(s, s->fPeer.fRecvId + 7); // this one and the next two are ignored
            SendReset(s, s->fPeer.fRecvId, sAddr4("127.0.0.9", 2000));
            SendReset(s, s->fPeer.fRecvId, sAddr4("127.0.0.2", 2001));
            EXPECT_TRUE(r.fErrors.empty());
            SendReset(s, row.fHow == kBySendId ? s->fPeer.fSendId : s->fPeer.fRecvId);
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
            EXPECT_TRUE(h.fType == row.fSends && h.fConnId == s->fPeer.fSendId &&
                        h.fSeqNr == s->fSend.fSeqNr && h.fAckNr == s->fRecv.fAckNr &&
                        h.fWindow == (fin ? s->fRecv.fRcvWin : 0) && (h.fTimestamp != 0) == fin);
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

namespace
{

const uint64_t kMB = 1000000;
const uint64_t kSecond = 1000000;                         // virtual microseconds
const uint64_t kClockWrapUs = (uint64_t(1) << 32) * 1000; // ms counter and 32-bit µs both wrap

// An application writing iSend bytes of stream iSendSeed and expecting iExpect of iExpectSeed.
AppConfig App(uint64_t iSend, uint64_t iSendSeed, uint64_t iExpect, uint64_t iExpectSeed,
              AppConfig iBase = AppConfig())
{
    iBase.fSendBytes = iSend;
    iBase.fSendSeed = iSendSeed;
    iBase.fExpectBytes = iExpect;
    iBase.fExpectSeed = iExpectSeed;
    return iBase;
}

// A client and a listening server with one path between them.
struct Pair
{
    explicit Pair(const Sim::Options& iOptions = Sim::Options(), bool iIPv6 = false)
        : fSim(iOptions)
    {
        fClient = fSim.AddEndpoint(iIPv6 ? "fd00::1" : "127.0.0.1", 40001, false);
        fServer = fSim.AddEndpoint(iIPv6 ? "fd00::2" : "127.0.0.2", 40002, true);
    }

    // Client sends iUp bytes and the server iDown bytes; both close when done.
    SimConn* Start(uint64_t iUp, uint64_t iDown, AppConfig iClient = AppConfig(),
                   AppConfig iServer = AppConfig())
    {
        fSim.SetAccept(fServer, App(iDown, 22, iUp, 11, iServer));
        return fSim.Connect(fClient, fServer, App(iUp, 11, iDown, 22, iClient));
    }

    SimConn* ServerConn() const
    {
        for (const auto& c : fSim.Conns())
            if (c->fIncoming)
                return c.get();
        return nullptr;
    }

    Sim fSim;
    int fClient;
    int fServer;
};

// Both sides of the one connection delivered every byte once, in order, unchanged, and both
// records are gone.
void ExpectDelivered(Pair& ioPair, const SimConn* iClient)
{
    const SimConn* server = ioPair.ServerConn();
    ASSERT_NE(server, nullptr) << ioPair.fSim.Summary();
    EXPECT_EQ(2u, ioPair.fSim.Conns().size()) << ioPair.fSim.Summary();
    for (const SimConn* c : {iClient, server})
        EXPECT_TRUE(c->Complete()) << c->Describe() << "\n" << ioPair.fSim.Summary();
    EXPECT_EQ(iClient->fSendHash, server->fRecvHash);
    EXPECT_EQ(server->fSendHash, iClient->fRecvHash);
    EXPECT_EQ(UTP_GetConnectionCount(), 0u) << ioPair.fSim.Summary();
}

LinkConfig Path(uint64_t iDelayUs, double iLoss)
{
    LinkConfig link;
    link.fDelayUs = iDelayUs;
    link.fLoss = iLoss;
    link.fSpareFirst = 2; // the handshake: a lost SYN only costs the 3 s SYN timer
    return link;
}

Sim::Options Seeded(uint64_t iSeed)
{
    Sim::Options options;
    options.fSeed = iSeed;
    return options;
}

// The first simulation seed for which the engine's random draws satisfy iWanted.
template <class Wanted> uint64_t SeedWhere(Wanted iWanted)
{
    for (uint64_t s = 1; s < 5000000; ++s)
    {
        UTP_SeedRandom(s);
        if (iWanted())
            return s;
    }
    return 0;
}

// Drops the first datagram that iFrom sends from now on; ioDropped counts it.
void DropFirstFrom(Sim& ioSim, int iFrom, int& ioDropped)
{
    ioSim.SetFilter(
        [&ioDropped, iFrom](Datagram& d) {
            return d.fFrom == iFrom && !ioDropped ? (++ioDropped, Verdict::kDrop)
                                                  : Verdict::kDeliver;
        });
}

// One row of the hostile-path table.
struct PathCase
{
    std::string fName;
    LinkConfig fLink;
    uint64_t fUp, fDown;
    Sim::Options fOptions = {};
    AppConfig fClient = {};
    bool fIPv6 = false, fDropSynAnswer = false;
};

} // namespace

TEST(UtpApiTransfer, TwentyMegabytesEachWayOnACleanPath)
{
    Pair pair;
    LinkConfig link = Path(10000, 0);
    link.fRateBytesPerSec = 8 * kMB; // 64 Mbit/s bottleneck: the delay controller has to work
    pair.fSim.SetPath(pair.fClient, pair.fServer, link);
    SimConn* client = pair.Start(20 * kMB, 20 * kMB);
    ASSERT_TRUE(pair.fSim.RunUntilAllDestroyed(60 * kSecond)) << pair.fSim.Summary();
    ExpectDelivered(pair, client);
    for (const SimConn* c : {client, pair.ServerConn()})
    {
        EXPECT_TRUE(c->fErrors.empty()) << c->Describe();
        // Nothing was lost, so nothing may be sent twice.
        EXPECT_EQ(c->fOverheadSent[BW_RETRANSMIT], 0u) << c->Describe();
    }
    // The bottleneck moves 20 MB in 2.5 s; the window must open far enough to come close.
    const uint64_t took = client->fDoneReceivingAtUs - client->fConnectedAtUs;
    EXPECT_LT(took, 6 * kSecond) << pair.fSim.Summary();
    RecordProperty("transfer_ms", int(took / 1000));
    const uint64_t maxQueue = pair.fSim.Stats(pair.fClient, pair.fServer).fMaxQueueUs;
    RecordProperty("max_queue_ms", int(maxQueue / 1000));
    // LEDBAT aims at 100 ms of queuing: the queue may overshoot, but must not run away.
    EXPECT_LT(maxQueue, 400000u) << pair.fSim.Summary();
}

// Hostile paths and peer variants; each row also checks what makes it special.
TEST(UtpApiTransfer, HostilePathsDeliverEverything)
{
    std::vector<PathCase> cases;
    LinkConfig link = Path(25000, 0.01);
    link.fDuplicate = 0.10;
    link.fReorder = 0.10;
    link.fReorderUs = 15000; // arrives behind roughly the next dozen packets
    link.fJitterUs = 8000;
    cases.push_back({"duplication, reordering, jitter", link, 8 * kMB, 8 * kMB});
    link = Path(5000, 0);
    link.fDuplicate = 1.0;
    link.fSpareFirst = 0; // the handshake is duplicated too
    cases.push_back({"every datagram twice", link, 2 * kMB, 2 * kMB});
    // Both sides use the 23-byte header throughout.
    cases.push_back({"version-0 client", Path(10000, 0.02), 2 * kMB, 2 * kMB});
    cases.back().fClient.fVersion = 0;
    cases.push_back({"IPv6 peers", Path(10000, 0.02), 2 * kMB, 2 * kMB});
    cases.back().fIPv6 = true;
    // 5% loss with jitter, and an idle runner: delayed acknowledgements wait for the 50 ms sweep.
    link = Path(15000, 0.05);
    link.fJitterUs = 4000;
    cases.push_back({"timer sweep every 50 ms only", link, 3 * kMB, 3 * kMB});
    cases.back().fOptions.fCheckAfterDatagram = false;
    cases.push_back({"clocks wrap 2 s in", Path(20000, 0.01), 6 * kMB, 6 * kMB});
    cases.back().fOptions.fStartUs = kClockWrapUs - 2 * kSecond;
    // A seed whose initial seq_nr is near 32767; loss makes selective acks straddle the wrap.
    cases.push_back({"sequence numbers wrap", Path(5000, 0.005), 48 * kMB, 100000});
    cases.back().fOptions.fSeed = SeedWhere(
        []
        {
            UTP_Random15();
            return UTP_Random15() >= 32600;
        });
    cases.push_back({"3000-byte send buffer", Path(5000, 0.01), 200000, 0});
    cases.back().fClient.fSndBuf = 3000;
    // Regression: the repeated SYN must be answered by the connection the first one made, not
    // make a second one with the same ids (whose seq_nr the client would then follow).
    cases.push_back({"SYN answer lost", Path(10000, 0), 500000, 0});
    cases.back().fDropSynAnswer = true;

    for (const PathCase& row : cases)
    {
        SCOPED_TRACE(row.fName);
        Pair pair(row.fOptions, row.fIPv6);
        pair.fSim.SetPath(pair.fClient, pair.fServer, row.fLink);
        size_t all = 0, v0 = 0, largest = 0, full = 0;
        uint32_t lowestSeq = 65535, highestSeq = 0;
        pair.fSim.SetTap(
            [&](const Datagram& d)
            {
                const int type = sDatagramType(d.fBytes.data(), d.fBytes.size());
                ++all;
                v0 += sDatagramHeaderSize(d.fBytes.data(), d.fBytes.size()) == 23;
                largest = std::max(largest, d.fBytes.size());
                full += d.fBytes.size() == 1232;
                if (d.fFrom == pair.fClient && type == 0 && d.fBytes.size() >= 20)
                {
                    const uint32_t seq = uint32_t(d.fBytes[16]) << 8 | d.fBytes[17];
                    lowestSeq = std::min(lowestSeq, seq);
                    highestSeq = std::max(highestSeq, seq);
                }
            });
        int dropped = 0;
        if (row.fDropSynAnswer)
            DropFirstFrom(pair.fSim, pair.fServer, dropped);
        SimConn* client = pair.Start(row.fUp, row.fDown, row.fClient);
        ASSERT_TRUE(pair.fSim.RunUntilAllDestroyed(600 * kSecond)) << pair.fSim.Summary();
        ExpectDelivered(pair, client);
        EXPECT_EQ(row.fDropSynAnswer ? 1 : 0, dropped);
        EXPECT_TRUE(row.fLink.fLoss < 0.05 || client->fOverheadSent[BW_RETRANSMIT] > 0);
        EXPECT_TRUE(row.fClient.fVersion != 0 || (v0 == all && v0 > 2000)) << v0 << " of " << all;
        EXPECT_TRUE(!row.fIPv6 || (largest == 1232 && full > 2000)) << largest << ", " << full;
        EXPECT_TRUE(row.fOptions.fStartUs == Sim::Options().fStartUs ||
                    pair.fSim.Now() > kClockWrapUs);
        // Sequence wrap: data went out both before and after it.
        EXPECT_TRUE(row.fUp < 40 * kMB || (lowestSeq < 1000 && highestSeq > 65000))
            << lowestSeq << ".." << highestSeq;
    }
}

// 20% loss, eight seeds: arrivals are intact prefixes, short stops are reported, most complete.
// Regression: rtt samples from packets already marked for resending inflated the rto (2.5 s on a
// 30 ms path) until one time-out doubled the back-off past 30 s and the connection gave up.
TEST(UtpApiTransfer, TwentyPercentLossEachWay)
{
    int complete = 0;
    for (uint64_t seed = 1; seed <= 8; ++seed)
    {
        Pair pair(Seeded(seed));
        pair.fSim.SetPath(pair.fClient, pair.fServer, Path(15000, 0.20));
        pair.Start(400000, 400000);
        ASSERT_TRUE(pair.fSim.RunUntilAllDestroyed(1200 * kSecond)) << pair.fSim.Summary();
        EXPECT_EQ(UTP_GetConnectionCount(), 0u);
        bool all = true, reported = false;
        for (const auto& c : pair.fSim.Conns())
        {
            EXPECT_TRUE(c->fFaults.empty()) << c->Describe();
            EXPECT_EQ(c->fFirstMismatch, -1) << c->Describe();
            all = all && c->Complete();
            reported = reported || !c->fErrors.empty();
        }
        complete += all;
        EXPECT_TRUE(all || reported) << "a transfer stopped short without an error\n"
                                     << pair.fSim.Summary();
    }
    RecordProperty("complete_of_8", complete);
    EXPECT_GE(complete, 6) << "transfers at 20% loss give up (see above)";
}

// Short transfers over random paths (loss up to 8%, duplication, reordering, small queues). The
// first seed runs again at the end: clock and randomness all come from the simulation, so the
// same seed gives the same datagrams at the same times, and any failure here replays exactly.
TEST(UtpApiTransfer, RandomPathsDeliverAndReplayExactly)
{
    uint64_t firstHash = 0;
    for (uint64_t run = 1; run <= 41; ++run)
    {
        const uint64_t seed = run > 40 ? 1 : run;
        SCOPED_TRACE("seed " + std::to_string(seed));
        Pair pair(Seeded(seed));
        Rng rng(seed * 7919);
        LinkConfig link = Path(1000 + rng.Below(60000), rng.Uniform() * 0.08);
        link.fJitterUs = rng.Below(10000);
        link.fDuplicate = rng.Uniform() * 0.05;
        link.fReorder = rng.Uniform() * 0.1;
        link.fReorderUs = rng.Below(30000);
        if (rng.Chance(0.5))
        {
            link.fRateBytesPerSec = 500000 + rng.Below(10 * kMB);
            link.fQueueLimitBytes = 30000 + rng.Below(300000);
        }
        pair.fSim.SetPath(pair.fClient, pair.fServer, link);
        uint64_t hash = kFnvOffset;
        pair.fSim.SetTap(
            [&](const Datagram& d)
            {
                const uint64_t now = pair.fSim.Now();
                hash = sFnv1a64(hash, reinterpret_cast<const uint8_t*>(&now), sizeof now);
                hash = sFnv1a64(hash, d.fBytes.data(), d.fBytes.size());
            });
        const uint64_t up = rng.Below(400000), down = rng.Below(400000);
        AppConfig client;
        client.fVersion = int(rng.Below(2));
        SimConn* c = pair.Start(up, down, client);
        ASSERT_TRUE(pair.fSim.RunUntilAllDestroyed(600 * kSecond)) << pair.fSim.Summary();
        ExpectDelivered(pair, c);
        if (run == 1)
            firstHash = hash;
        if (run > 40)
        {
            EXPECT_EQ(hash, firstHash) << "the same seed did not replay";
        }
    }
}

// Regression: two connects in a row whose random id seeds collide must still get distinct ids
// on one peer (else one connection's datagrams reach the other and the streams mix).
TEST(UtpApiTransfer, SecondConnectionToOnePeerGetsItsOwnId)
{
    const uint64_t seed = SeedWhere(
        []
        {
            const uint32_t first = UTP_Random15();
            UTP_Random15();
            return UTP_Random15() == first;
        });
    ASSERT_NE(seed, 0u);
    Pair pair(Seeded(seed));
    pair.fSim.SetPath(pair.fClient, pair.fServer, Path(10000, 0));
    AppConfig server = App(100000, 9, 100000, 2);
    server.fCheckContent = false; // matched by hash below
    pair.fSim.SetAccept(pair.fServer, server);
    for (int i = 0; i < 2; ++i)
        pair.fSim.Connect(pair.fClient, pair.fServer, App(100000, 100 + i, 100000, 9));
    ASSERT_TRUE(pair.fSim.RunUntilAllDestroyed(300 * kSecond)) << pair.fSim.Summary();
    std::multiset<uint64_t> sent, received;
    for (const auto& c : pair.fSim.Conns())
    {
        EXPECT_TRUE(c->Complete()) << c->Describe();
        (c->fIncoming ? received : sent).insert(c->fIncoming ? c->fRecvHash : c->fSendHash);
    }
    EXPECT_EQ(4u, pair.fSim.Conns().size());
    EXPECT_EQ(sent, received) << pair.fSim.Summary();
    EXPECT_EQ(2u, std::set<uint64_t>(sent.begin(), sent.end()).size());
}

// Readers that fall behind throttle the sender through the window: a slow one, one stalled for a
// minute (probed every 15 s), one whose reopening ack is lost (the next probe brings it), one cut.
TEST(UtpApiTransfer, LaggingReaderThrottlesTheSender)
{
    const int kSlow = 0, kStalled = 1, kStalledUpdateLost = 2, kCut = 3;
    for (const int mode : {kSlow, kStalled, kStalledUpdateLost, kCut})
    {
        SCOPED_TRACE("mode " + std::to_string(mode));
        Pair pair;
        pair.fSim.SetPath(pair.fClient, pair.fServer, Path(10000, 0));
        AppConfig server;
        server.fReportReadBuffer = true;
        server.fRcvBuf = mode == kSlow ? 200000 : 100000;
        server.fReadRateBytesPerSec = mode == kSlow ? kMB : 0;
        SimConn* c = pair.Start(mode == kSlow ? 3 * kMB : kMB, 0, AppConfig(), server);
        ASSERT_TRUE(pair.fSim.RunUntil([&] { return pair.ServerConn() != nullptr; }, kSecond));
        SimConn* s = pair.ServerConn();
        int dropped = 0;
        uint64_t lastArrival = 0; // at the reader
        pair.fSim.SetTap([&](const Datagram& d)
                         { lastArrival = d.fTo == pair.fServer ? pair.fSim.Now() : lastArrival; });
        if (mode != kSlow)
        {
            s->PauseReading(true);
            pair.fSim.RunFor(mode == kStalled ? 60 * kSecond : 5 * kSecond);
            EXPECT_GT(s->fUnread, 90000u) << s->Describe();
            EXPECT_LE(s->fUnread, 100000u + (mode == kStalled ? 5 : 1) * 1382) << s->Describe();
            EXPECT_LT(c->fWritten, 1 * kMB);
            if (mode == kStalledUpdateLost)
                DropFirstFrom(pair.fSim, pair.fServer, dropped);
            if (mode == kCut)
                pair.fSim.SetFilter([](Datagram&) { return Verdict::kDrop; });
            s->PauseReading(false);
        }
        const uint64_t resumedAt = pair.fSim.Now();
        ASSERT_TRUE(pair.fSim.RunUntilAllDestroyed(120 * kSecond)) << pair.fSim.Summary();
        EXPECT_EQ(dropped, mode == kStalledUpdateLost ? 1 : 0);
        if (mode == kCut)
        {
            // The writer gives up when its probe is lost (15 s, then the 31.5 s back-off); the
            // reader, nothing in flight, 87 s after its last datagram (within a sweep, to the ms).
            EXPECT_EQ(std::vector<int>({UTP_ETIMEDOUT}), c->fErrors);
            EXPECT_EQ(c->fErrors, s->fErrors);
            const uint64_t writer = c->fDestroyedAtUs - resumedAt;
            const uint64_t reader = s->fDestroyedAtUs - lastArrival;
            EXPECT_TRUE(writer > 35 * kSecond && writer < 50 * kSecond) << writer;
            EXPECT_TRUE(reader >= 87 * kSecond - 1000 && reader <= 87 * kSecond + 100000) << reader;
            continue;
        }
        EXPECT_TRUE(c->Complete()) << c->Describe();
        EXPECT_TRUE(s->Complete()) << s->Describe();
        EXPECT_LE(s->fMaxUnread, uint64_t(server.fRcvBuf) + 8 * 1382) << s->Describe();
        const uint64_t took = s->fDoneReceivingAtUs - resumedAt;
        // A slow reader's rate, not the path, decides the time; a resumed one gets going at once.
        EXPECT_TRUE(mode == kSlow ? took >= 2 * kSecond
                                  : took < (mode == kStalled ? 3 : 15) * kSecond)
            << "took " << took << " us\n"
            << pair.fSim.Summary();
    }
}

// An idle pair stays connected for 10 minutes, through a 29 s outage (a keep-alive lost each
// way); our reset ends the peer's side at once and ours at the next sweep.
TEST(UtpApiTransfer, IdlePairOutlivesAnOutageAndOurResetEndsOne)
{
    Pair pair;
    AppConfig app;
    app.fClose = CloseWhen::kNever;
    bool cut = false;
    pair.fSim.SetFilter([&](Datagram&) { return cut ? Verdict::kDrop : Verdict::kDeliver; });
    SimConn* idle = pair.Start(0, 0, app, app);
    SimConn* reset = pair.fSim.Connect(pair.fClient, pair.fServer, App(0, 11, 0, 22, app));
    pair.fSim.RunFor(kSecond);
    const uint64_t resetAt = pair.fSim.Now();
    UTP_Reset(reset->fSocket);
    pair.fSim.At(resetAt + 100 * kSecond, [&] { cut = true; });
    pair.fSim.At(resetAt + 129 * kSecond, [&] { cut = false; });
    pair.fSim.RunFor(600 * kSecond);
    const std::vector<int> errors[4] = {{}, {}, {}, {UTP_ECONNRESET}}; // clients, then servers
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(errors[i], pair.fSim.Conns()[i]->fErrors) << pair.fSim.Conns()[i]->Describe();
    EXPECT_FALSE(idle->fDestroyed || pair.ServerConn()->fDestroyed);
    EXPECT_LE(reset->fDestroyedAtUs - resetAt, Sim::Options().fTickUs);
}

// UTP_Write, UTP_ReadBufferDrained and UTP_Close called from inside the engine's callbacks.
TEST(UtpApiTransfer, CallsFromInsideCallbacks)
{
    Pair pair;
    LinkConfig link = Path(10000, 0.05);
    link.fReorder = 0.05;
    link.fReorderUs = 10000;
    pair.fSim.SetPath(pair.fClient, pair.fServer, link);
    AppConfig client, server;
    server.fReenter = kReenterWrite | kReenterDrain;
    client.fReenter = kReenterWrite | kReenterDrain | kReenterClose;
    client.fCloseAfterBytes = 2 * kMB; // the server is done writing before the last byte arrives
    SimConn* c = pair.Start(3 * kMB, 2 * kMB, client, server);
    ASSERT_TRUE(pair.fSim.RunUntilAllDestroyed(300 * kSecond)) << pair.fSim.Summary();
    // The client closes on its last byte read, maybe before writing all: what it wrote arrived.
    const SimConn* s = pair.ServerConn();
    EXPECT_TRUE(c->fFaults.empty() && s->fFaults.empty()) << pair.fSim.Summary();
    EXPECT_EQ(c->fReceived, 2 * kMB);
    EXPECT_EQ(c->fFirstMismatch, -1);
    EXPECT_EQ(s->fFirstMismatch, -1);
    EXPECT_EQ(s->fReceived, c->fWritten) << pair.fSim.Summary();
    EXPECT_EQ(UTP_GetConnectionCount(), 0u);
}
