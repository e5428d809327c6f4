// Fuzz target: the whole receive path (UTP_ProcessDatagram and everything behind it) against live
// connections in several states, the input also steering the applications and the clock.
//
// Every run builds the same scene on the network simulator. First two puppet connections, version
// 1 and version 0, from an endpoint of their own, whose applications always have more to send:
// once their windows have grown to some 17 packets, every datagram to and from that endpoint is
// cut, and the input alone plays their peer, so that its acknowledgements, selective
// acknowledgements, windows, delays and clock steps drive the window update and decay, fast
// resend, time-outs and the send quota. Then, between a client and a server endpoint (both
// accepting): an established version-1 and version-0 connection moving data, one whose client
// closed with its FIN held back (FIN_SENT), one whose client closed (server side GOT_FIN), one
// whose SYN never arrives (SYN_SENT); and a stranger endpoint. The input is a program:
//
//   byte 0          scene variant: bit 0 applications report unread bytes, bit 1 small writes,
//                   bits 2-4 calls from inside callbacks (write, drain, close after 20000 bytes)
//   op % 8 = 0..2   a datagram client->server, server->client, stranger->server: flags, 16-bit
//                   little-endian length, bytes. Flags bit 0: rewrite the connection id (and
//                   version layout) to reach live record (flags >> 1) & 7, which also picks the
//                   direction; bit 4: seq_nr and ack_nr near that record's (offsets: flags >> 5)
//   op % 8 = 3      the clock moves on by spStep(next byte)
//   op % 8 = 4      application a % count, a the next byte: (a >> 4) & 3 = 0 writes more,
//                   1 closes (with a & 8: resets), 2 drains, 3 answers the next byte * 4096 as
//                   unread (255: the truth)
//   op % 8 = 5      the clock moves on by 1 ms
//   op % 8 = 6      a packet from a puppet's peer, or its application's close (spPuppetOp)
//   op % 8 = 7      a stall: the clock moves on as for op 3 while nothing runs; timers and
//                   deliveries that fell due run late, at once
//
// Checked after every operation: the send-buffer bookkeeping and the floors of window and
// time-out; at the end, no application saw a contract violation and the engine holds exactly the
// records whose destruction it has not reported. With UTP_FUZZ_MAKE_CORPUS=<dir> the target
// writes seed inputs to <dir>/utp_receive and the raw datagrams to <dir>/utp_packet, then exits.

#include "utp/sim/utp_sim.h"

#include "utp/engine/utp.h"
#include "utp/engine/utp_congestion.h"
#include "utp/engine/utp_packet.h"
#include "utp/engine/utp_socket.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <vector>

using namespace quillane::UTP::Engine;
using namespace quillane::UTP::Sim;

namespace
{

const int kClient = 0, kServer = 1, kStranger = 2, kPuppet = 3; // endpoints

// What the filter holds back, and the puppets (version 1, then version 0).
struct Scene
{
    bool fDropSyns = false;
    uint32_t fBlockedId = ~0u; // client datagrams with this connection id are dropped
    bool fPuppetsCut = false;  // nothing reaches or leaves the puppets' endpoint any more
    SimConn* fPuppets[2] = {nullptr, nullptr};
};

// Input cursor; reads zeros past the end.
struct Input
{
    const uint8_t* fData;
    size_t fLeft;

    uint8_t Byte() { return fLeft ? (--fLeft, *fData++) : 0; }
    const uint8_t* Take(size_t& ioLength)
    {
        ioLength = std::min(ioLength, fLeft);
        return fLeft -= ioLength, (fData += ioLength) - ioLength;
    }
};

AppConfig spApp(uint8_t iVariant, uint64_t iSend, int iVersion = 1)
{
    AppConfig a;
    a.fVersion = iVersion;
    a.fSendBytes = iSend;
    a.fVerify = false; // injected payload is legitimate data to the engine
    a.fClose = CloseWhen::kNever;
    a.fReportReadBuffer = iVariant & 1;
    a.fWriteChunk = (iVariant & 2) ? 700 : 0;
    a.fReenter = (iVariant >> 2) & 7;
    a.fCloseAfterBytes = 20000;
    return a;
}

void spBuildScene(Sim& ioSim, Scene& ioScene, uint8_t iVariant)
{
    ioSim.AddEndpoint("127.0.0.1", 5000, true);
    ioSim.AddEndpoint("127.0.0.2", 6000, true);
    ioSim.AddEndpoint("127.0.0.3", 7000, false);
    ioSim.AddEndpoint("127.0.0.4", 8000, false);
    ioSim.SetFilter(
        [&ioScene](Datagram& d)
        {
            PacketId id;
            const bool utp = sRecognize(d.fBytes.data(), d.fBytes.size(), id);
            const bool drop = (utp && ioScene.fDropSyns && id.fType == ST_SYN) ||
                              (utp && d.fFrom == kClient && id.fConnId == ioScene.fBlockedId) ||
                              (ioScene.fPuppetsCut && (d.fFrom == kPuppet || d.fTo == kPuppet));
            return drop ? Verdict::kDrop : Verdict::kDeliver;
        });

    // The puppets first (their first time-out, at 500 ms, comes after the rest of the scene):
    // a send buffer of some 17 packets, a 20 ms round trip. Their server sides send nothing, so
    // the puppets' receive sequence numbers stay put.
    LinkConfig link = ioSim.GetOptions().fDefaultLink;
    link.fDelayUs = 10000;
    ioSim.SetPath(kPuppet, kServer, link);
    ioSim.SetAccept(kServer, spApp(iVariant, 0));
    for (int version : {1, 0})
    {
        AppConfig a = spApp(iVariant, 1 << 20, version);
        a.fSndBuf = 24000;
        ioScene.fPuppets[1 - version] = ioSim.Connect(kPuppet, kServer, a);
    }
    ioSim.RunFor(400000);
    ioScene.fPuppetsCut = true;

    ioSim.SetAccept(kServer, spApp(iVariant, 20000));
    ioSim.SetAccept(kClient, spApp(iVariant, 5000));
    ioSim.Connect(kClient, kServer, spApp(iVariant, 30000));
    ioSim.Connect(kClient, kServer, spApp(iVariant, 30000, 0));
    ioSim.RunFor(60000); // the send quota lets the first packets out after some 40 ms

    SimConn* finSent = ioSim.Connect(kClient, kServer, spApp(iVariant, 0));
    ioSim.RunFor(5000);
    if (finSent->fSocket)
    {
        ioScene.fBlockedId = finSent->fSocket->fPeer.fSendId;
        finSent->Close();
    }
    SimConn* gotFin = ioSim.Connect(kClient, kServer, spApp(iVariant, 0));
    ioSim.RunFor(5000);
    gotFin->Close();
    ioScene.fDropSyns = true;
    ioSim.Connect(kClient, kServer, spApp(iVariant, 0));
    ioSim.RunFor(3000);
}

std::vector<SimConn*> spLive(Sim& ioSim)
{
    std::vector<SimConn*> live;
    for (const auto& c : ioSim.Conns())
        if (c->fSocket)
            live.push_back(c.get());
    return live;
}

// The endpoint at the other end of a record.
int spPeerOf(Sim& ioSim, const UTPSocket* iSocket)
{
    for (int e = 0; e <= kPuppet; ++e)
    {
        const SimEndpoint& ep = ioSim.GetEndpoint(e);
        PeerAddress a;
        PeerAddress_FromSockAddr(a, reinterpret_cast<const sockaddr*>(ep.fSockAddr),
                                 ep.fSockAddrLen);
        if (a == iSocket->fPeer.fAddr)
            return e;
    }
    return kStranger;
}

void spDatagramOp(Sim& ioSim, Input& ioInput, int iKind)
{
    const uint8_t flags = ioInput.Byte();
    size_t length = ioInput.Byte();
    length = std::min<size_t>(length | size_t(ioInput.Byte()) << 8, 2048);
    const uint8_t* p = ioInput.Take(length);
    std::vector<uint8_t> b(p, p + length);
    int from = iKind == 1 ? kServer : (iKind == 2 ? kStranger : kClient);
    int to = iKind == 1 ? kClient : kServer;
    const std::vector<SimConn*> live = spLive(ioSim);
    if ((flags & 1) && !live.empty())
    {
        const SimConn* target = live[size_t((flags >> 1) & 7) % live.size()];
        const UTPSocket* s = target->fSocket;
        const bool v1 = s->fPeer.fVersion == 1;
        b.resize(std::max(b.size(), sHeaderSize(s->fPeer.fVersion)));
        if (v1)
        {
            b[0] = uint8_t((b[0] >> 4) % 5 << 4 | 1);
            b[1] = uint8_t(b[1] % 3);
            sStore16(&b[2], uint16_t(s->fPeer.fRecvId));
        }
        else
            sStore32(&b[0], s->fPeer.fRecvId);
        if (flags & 0x10)
        {
            const int o = (flags >> 5) & 7;
            sStore16(&b[v1 ? 16 : 19], uint16_t(s->fRecv.fAckNr + o - 1));
            sStore16(&b[v1 ? 18 : 21], uint16_t(s->fSend.fSeqNr - 1 - (o & 3)));
        }
        to = target->fEndpoint;
        from = spPeerOf(ioSim, s);
    }
    ioSim.DeliverNow(from, to, b.data(), b.size());
}

// A packet from the peer of puppet f & 1 (0: version 1, 1: version 0), built from the input:
//   f   bits 1-2: ST_STATE, ST_DATA, ST_FIN, or (3) no packet: the puppet's application closes;
//       bit 3: an EACK; bit 4: extension bits first; bits 5-6: seq_nr the next one the puppet
//       expects, that plus 1 + s, that minus s (s the next byte), or 16 bits from the input;
//       bit 7: ack_nr 16 bits from the input
//   k   below 0xF0: ack_nr = the puppet's oldest packet - 1 + k % (its packets in flight + 2),
//       from "nothing new" through "all" to one past its newest; from 0xF0: its newest + k - 0xF8
//   w   window: version 0 w * 350 bytes, version 1 w * w * 16 (255: the largest)
//   d   timestamp (low nibble t): none (0), t * t ms old, or 5 ms ahead (15); reported delay
//       (high nibble r): r * r * 2 ms, "no measurement" (15) or nearly 2^32 us (14)
//   then with an EACK the mask length and mask, and for ST_DATA and ST_FIN a byte n: 6 * n
//   payload bytes.
void spPuppetOp(Sim& ioSim, const Scene& iScene, Input& ioInput)
{
    const uint8_t f = ioInput.Byte(), k = ioInput.Byte(), w = ioInput.Byte(), d = ioInput.Byte();
    const int kind = (f >> 1) & 3, placement = (f >> 5) & 3;
    uint16_t seqArg = placement ? ioInput.Byte() : 0;
    if (placement == 3)
        seqArg = uint16_t(seqArg << 8 | ioInput.Byte());
    uint16_t ack = k;
    if (f & 0x80)
        ack = uint16_t(ioInput.Byte() << 8 | ioInput.Byte());
    size_t maskLength = (f & 8) ? ioInput.Byte() : 0;
    const uint8_t* mask = ioInput.Take(maskLength);
    const size_t payload = (kind == 1 || kind == 2) ? size_t(ioInput.Byte()) * 6 : 0;

    SimConn* puppet = iScene.fPuppets[f & 1];
    const UTPSocket* s = puppet ? puppet->fSocket : nullptr;
    if (!s)
        return; // destroyed; the bytes are used all the same, so later operations keep meaning
    if (kind == 3)
        return puppet->Close();
    const int version = s->fPeer.fVersion;
    uint16_t seq = uint16_t(s->fRecv.fAckNr + 1);
    if (placement)
        seq = placement == 1 ? uint16_t(seq + 1 + seqArg)
                             : (placement == 2 ? uint16_t(seq - seqArg) : seqArg);
    if (!(f & 0x80))
    {
        const int cwp = s->fSend.fCurWindowPackets;
        ack = uint16_t(sOldest(s) - 1 + (k < 0xF0 ? k % (cwp + 2) : cwp + k - 0xF8));
    }
    const uint32_t window = version == 0 ? w * 350u : (w == 255 ? 0xFFFFFFFFu : w * w * 16u);
    const uint64_t now = ioSim.Now(), t = d & 15, r = d >> 4;
    const uint32_t stamp = t == 0 ? 0 : uint32_t(t == 15 ? now + 5000 : now - t * t * 1000);
    const uint32_t delay = r == 15 ? kNoDelay : (r == 14 ? 0xFFFFFF00u : uint32_t(r * r * 2000));

    std::vector<uint8_t> b(sHeaderSize(version));
    const int type = kind == 1 ? ST_DATA : (kind == 2 ? ST_FIN : ST_STATE);
    const int first = (f & 0x10) ? EXT_BITS : ((f & 8) ? EXT_EACK : EXT_NONE);
    sWriteHeader(b.data(), version, type, first, s->fPeer.fRecvId, window, seq, ack);
    sStamp(b.data(), version, stamp, delay);
    if (f & 0x10)
    {
        b.push_back(uint8_t((f & 8) ? EXT_EACK : EXT_NONE));
        b.push_back(8);
        b.insert(b.end(), 8, 0);
    }
    if (f & 8)
    {
        b.push_back(EXT_NONE);
        b.push_back(uint8_t(maskLength));
        b.insert(b.end(), mask, mask + maskLength);
    }
    b.insert(b.end(), payload, uint8_t(0x5A));
    ioSim.DeliverNow(kServer, kPuppet, b.data(), b.size());
}

void spAppOp(Sim& ioSim, Input& ioInput)
{
    const uint8_t a = ioInput.Byte();
    SimConn* c = ioSim.Conns()[a % ioSim.Conns().size()].get();
    if (!c->fSocket)
        return;
    switch ((a >> 4) & 3)
    {
    case 0:
        c->fConfig.fSendBytes += 1382 * uint64_t(1 + (a & 3));
        return c->Pump();
    case 1:
        return (a & 8) ? UTP_Reset(c->fSocket) : c->Close();
    case 2:
        return c->Drain();
    }
    const uint8_t v = ioInput.Byte();
    c->fConfig.fReadBufferAnswer = v == 255 ? -1 : (long long)v * 4096;
}

// A clock step in µs: mostly short; the upper half reaches the long time-outs (up to 64 s).
uint64_t spStep(uint8_t t)
{
    return t < 128 ? (uint64_t(t) + 1) * 1000 : uint64_t(t - 127) * (t - 127) * 4000;
}

void spCheck(bool iHolds, const char* iWhat, Sim& ioSim, const SimConn* iConn = nullptr)
{
    if (iHolds)
        return;
    std::fprintf(stderr, "%s\n%s\n%s", iWhat, iConn ? iConn->Describe().c_str() : "",
                 ioSim.Summary().c_str());
    std::abort();
}

void spCheckInvariants(Sim& ioSim)
{
    for (SimConn* c : spLive(ioSim))
    {
        const UTPSocket* s = c->fSocket;
        spCheck(s->fCong.fMaxWindow >= kMinWindow, "window below its floor", ioSim, c);
        spCheck(s->fCong.fRto >= kMinRto, "retransmission time-out below its floor", ioSim, c);
        const uint16_t oldest = sOldest(s);
        spCheck(!s->fSend.fCurWindowPackets || s->fSend.fOutBuf.Get(oldest), "oldest slot empty",
                ioSim, c);
        spCheck(s->fSend.fCurWindowPackets <= s->fSend.fOutBuf.fMask + 1, "more packets than slots",
                ioSim, c);
        uint64_t inFlight = 0;
        for (uint32_t i = 0; i < s->fSend.fCurWindowPackets; ++i)
        {
            const OutPacket* p = s->fSend.fOutBuf.Get(uint16_t(oldest + i));
            if (p && p->fTransmissions && !p->fNeedResend)
                inFlight += p->fPayload;
        }
        spCheck(inFlight == s->fSend.fCurWindow, "bytes in flight disagree with the buffer", ioSim,
                c);
    }
}

Sim::Options spOptions()
{
    Sim::Options o;
    o.fSeed = 1;
    o.fDefaultLink.fDelayUs = 1000;
    return o;
}

// Seed corpus

void spWrite(const std::string& iPath, const std::vector<uint8_t>& iBytes)
{
    if (FILE* f = std::fopen(iPath.c_str(), "wb"))
        std::fwrite(iBytes.data(), 1, iBytes.size(), f), std::fclose(f);
}

// A seed program for one puppet (iV: 0 version 1, 1 version 0): Peer adds a puppet operation
// (flags, ack offset, window, delays, then the bytes spPuppetOp reads after them), Step and Stall
// a clock operation.
struct Program
{
    uint8_t fV;
    std::vector<uint8_t> fBytes = {0};

    Program& Add(const std::vector<uint8_t>& iBytes)
    {
        return fBytes.insert(fBytes.end(), iBytes.begin(), iBytes.end()), *this;
    }
    Program& Peer(uint8_t f, uint8_t k, uint8_t w, uint8_t d, const std::vector<uint8_t>& x = {})
    {
        return Add({6, uint8_t(f | fV), k, w, d}).Add(x);
    }
    Program& Step(uint8_t t) { return Add({3, t}); }
    Program& Stall(uint8_t t) { return Add({7, t}); }
};

// Programs that play the puppets' peer, one behaviour each, for both versions.
std::vector<std::vector<uint8_t>> spPuppetPrograms()
{
    const uint8_t kData = 2, kFin = 4, kClose = 6, kEack = 8, kBits = 0x10, kAhead = 0x20; // flags
    const uint8_t kNone = 0, kOne = 1, kAll = 0xF8;       // acknowledging nothing new, one, all
    const uint8_t kOpen = 100, kLow = 0x12, kHigh = 0xB2; // a window, low and high delays
    std::vector<uint8_t> longMask(256, 0xB6);
    longMask[0] = 255;
    std::vector<std::vector<uint8_t>> out;
    for (uint8_t v : {0, 1})
    {
        // Acknowledgements one at a time at low delay grow the window; a high reported delay
        // shrinks it; a window smaller than a packet makes every send pay from the quota.
        Program p{v};
        for (int i = 0; i < 3; ++i)
            p.Peer(0, kOne, kOpen, kLow).Step(20);
        p.Peer(0, kOne, kOpen, kHigh).Peer(0, kOne, 5, 0xF0).Step(100).Peer(0, kOne, 255, 0xEF);
        out.push_back(p.Step(60).Peer(0, kAll, kOpen, kLow).fBytes);
        // Three later packets received: the two missing ones are resent once and the window
        // decays; the same EACK again resends nothing; a long hostile mask is bounded.
        p = Program{v};
        p.Peer(kEack, kNone, kOpen, kLow, {4, 0x0E, 0, 0, 0})
            .Peer(kEack, kNone, kOpen, kLow, {4, 0x0E, 0, 0, 0});
        p.Step(120).Peer(kEack | kBits, kOne, kOpen, kLow, {4, 0xF6, 0xFF, 0, 0}).Step(120);
        out.push_back(p.Peer(kEack, kNone, kOpen, kLow, longMask).fBytes);
        // Silence: time-outs restart the window and resend the oldest; acknowledgements in
        // resend-all mode resend the next; a zero window is probed after 15 s; the back-off
        // finally gives up.
        p = Program{v};
        p.Step(140).Peer(0, kOne, kOpen, kLow).Step(150).Peer(0, kOne, 0, kLow);
        out.push_back(p.Step(190).Step(255).Step(255).fBytes);
        // A suspended runner: everything falls due at once, the quota grows by a long step, and
        // the round trip measures the stall.
        p = Program{v};
        p.Stall(200).Step(0).Peer(0, kOne, kOpen, kLow).Stall(255).Peer(0, kAll, kOpen, kLow);
        out.push_back(p.Step(10).fBytes);
        // Data to the puppet: in order, ahead (answered with an EACK); the puppet closes, and
        // data, a FIN and the acknowledgement of everything arrive while its FIN is out.
        p = Program{v};
        p.Peer(kData, kNone, kOpen, kLow, {100}).Peer(kData | kAhead, kNone, kOpen, kLow, {1, 50});
        p.Step(2).Peer(kClose, 0, 0, 0).Peer(kData, kOne, kOpen, kLow, {20});
        p.Peer(kFin, kOne, kOpen, kLow, {0}).Peer(0, kAll, kOpen, kLow).Step(100);
        out.push_back(p.fBytes);
    }
    return out;
}

// Records the scene and a normal continuation; keeps up to three datagrams of each kind
// (direction, version, type, length class) so that the corpus stays small.
void spMakeCorpus(const std::string& iDir)
{
    std::vector<Datagram> seen;
    {
        Scene scene;
        Sim sim(spOptions());
        sim.SetTap([&seen](const Datagram& d) { seen.push_back(d); });
        spBuildScene(sim, scene, 0);
        // Some loss brings selective acknowledgements; a stray brings a reset.
        for (LinkConfig* l : {&sim.Link(kClient, kServer), &sim.Link(kServer, kClient)})
            l->fLoss = 0.1, l->fReorder = 0.3, l->fReorderUs = 4000;
        for (const auto& c : sim.Conns())
            c->fConfig.fSendBytes += 100000;
        for (const auto& c : sim.Conns())
            c->Pump();
        uint8_t stray[20] = {0x01, 0, 0x12, 0x34};
        stray[17] = 7;
        sim.Inject(kStranger, kServer, stray, sizeof stray);
        sim.RunFor(300000);
        sim.Link(kClient, kServer) = sim.Link(kServer, kClient) = spOptions().fDefaultLink;
        for (const auto& c : sim.Conns())
            c->Close();
        sim.RunFor(3000000);
    }
    const std::string receive = iDir + "/utp_receive", packet = iDir + "/utp_packet";
    std::error_code ignored; // a missing folder shows as files that cannot be written
    std::filesystem::create_directories(receive, ignored);
    std::filesystem::create_directories(packet, ignored);
    std::map<std::vector<size_t>, int> kinds;
    int n = 0;
    char name[64];
    for (const Datagram& d : seen)
    {
        const size_t size = d.fBytes.size();
        if (kinds[{size_t(d.fFrom), sDatagramHeaderSize(d.fBytes.data(), size),
                   size_t(sDatagramType(d.fBytes.data(), size)), size > 100 ? 1 : size}]++ >= 2)
            continue;
        std::snprintf(name, sizeof name, "/golden-%03d", n++);
        spWrite(packet + name, d.fBytes);
        // The datagram as it was, then aimed at a live record, then a little time; every scene
        // variant in turn.
        const uint8_t op = d.fFrom == kServer ? 1 : (d.fFrom == kStranger ? 2 : 0);
        std::vector<uint8_t> in = {uint8_t(n % 32)};
        for (uint8_t flags : {0, 1 | (n % 8) << 1 | 0x10})
        {
            in.insert(in.end(), {op, flags, uint8_t(size), uint8_t(size >> 8)});
            in.insert(in.end(), d.fBytes.begin(), d.fBytes.end());
        }
        in.insert(in.end(), {3, 10});
        spWrite(receive + name, in);
    }
    const std::vector<std::vector<uint8_t>> programs = spPuppetPrograms();
    for (size_t i = 0; i < programs.size(); ++i)
    {
        std::snprintf(name, sizeof name, "/puppet-%02zu", i);
        spWrite(receive + name, programs[i]);
    }
    std::printf("wrote %d + %zu seed inputs to %s, %d to %s\n", n, programs.size(), receive.c_str(),
                n, packet.c_str());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (const char* dir = std::getenv("UTP_FUZZ_MAKE_CORPUS"))
    {
        spMakeCorpus(dir);
        std::exit(0);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* iData, size_t iSize)
{
    Input in{iData, iSize};
    Scene scene; // outlives the simulator, whose filter reads it
    Sim sim(spOptions());
    spBuildScene(sim, scene, in.Byte());
    for (int ops = 0; in.fLeft && ops < 256; ++ops)
    {
        const int kind = in.Byte() % 8;
        if (kind <= 2)
            spDatagramOp(sim, in, kind);
        else if (kind == 3 || kind == 5)
            sim.RunFor(kind == 3 ? spStep(in.Byte()) : 1000);
        else if (kind == 4)
            spAppOp(sim, in);
        else if (kind == 6)
            spPuppetOp(sim, scene, in);
        else
            sim.Stall(spStep(in.Byte()));
        spCheckInvariants(sim);
    }
    sim.RunFor(1000000);
    spCheckInvariants(sim);
    size_t live = 0;
    for (const auto& c : sim.Conns())
    {
        spCheck(c->fFaults.empty(), c->fFaults.empty() ? "" : c->fFaults[0].c_str(), sim, c.get());
        live += c->fSocket != nullptr;
    }
    spCheck(UTP_GetConnectionCount() == live, "the engine's records and the applications' differ",
            sim);
    return 0;
}
