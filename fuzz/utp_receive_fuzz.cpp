// Fuzz target: the whole receive path (UTP_ProcessDatagram and everything behind it) against live
// connections in several states, with the input also steering the applications and the clock.
//
// Each run builds the same scene on the network simulator: a client and a server endpoint (both
// accepting) with an established version-1 connection and an established version-0 connection
// moving data, one connection whose client closed with its FIN held back (FIN_SENT), one whose
// SYN never arrives (SYN_SENT), and one whose client closed normally (server side GOT_FIN), plus a
// stranger endpoint. Before them come two puppet connections (one per version) from a fourth
// endpoint whose applications always have more to send: once their windows have grown to some 17
// packets, every datagram to and from that endpoint is cut, and from then on the input alone
// plays their peer. So their send buffers hold packets in flight, and the input's
// acknowledgements, selective acknowledgements, windows, delays and clock steps drive the window
// update and decay, fast resend, time-outs and the send quota. The input is a program of
// operations:
//
//   byte 0           scene variant: bit 0 applications report unread bytes, bit 1 small writes,
//                    bits 2-4 calls from inside callbacks (write, drain, close after 20000 bytes)
//   op % 8 == 0..2   a datagram: 0 client->server, 1 server->client, 2 stranger->server;
//                    flags byte, 16-bit little-endian length, bytes. Flags bit 0: rewrite the
//                    connection id (and version layout) to reach live record (flags >> 1) & 7,
//                    which also picks the direction; bit 4: put seq_nr/ack_nr near that record's
//                    window (offsets from flags >> 5).
//   op % 8 == 3      advance the clock by t + 1 ms for t < 128, else (t - 127)^2 * 4 ms (to 64 s),
//                    t the next byte
//   op % 8 == 4      an application action on connection a % count, a the next byte:
//                    (a >> 4) & 3 = 0 write more, 1 close, 2 drain, 3 lie about the read buffer
//   op % 8 == 5      advance 1 ms
//   op % 8 == 6      a packet from a puppet's peer, built from the next bytes (see spPuppetOp)
//   op % 8 == 7      a stall: the clock moves on as for op 3 while nothing runs; timers and
//                    deliveries that fell due run late, at once
//
// Checked after every operation: the engine's send-buffer bookkeeping (the oldest packet's slot
// is occupied while packets are in the send buffer; the bytes in flight are the payloads of the
// packets sent and not marked for resending) and the floors of the window and the time-out; at
// the end: no application saw a contract violation (a write callback outside UTP_Write or beyond
// what was offered, any callback after destruction) and the engine holds exactly the records
// whose destruction it has not reported.
//
// With UTP_FUZZ_MAKE_CORPUS=<dir> set, the target instead writes seed inputs to <dir>/utp_receive
// (the datagrams of the scene and of a normal continuation, and programs that play the puppets'
// peer) and the raw datagrams to <dir>/utp_packet, then exits.

#include "utp_sim.h"

#include "engine/utp.h"
#include "engine/utp_packet.h"
#include "engine/utp_socket.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <vector>

using namespace utpsim;
// The engine's internals the checks read and the puppets' peer writes with (not the whole
// namespace: its PacketType enumeration would hide the simulator's function of that name).
using quillane::UTP::Engine::EXT_BITS;
using quillane::UTP::Engine::EXT_EACK;
using quillane::UTP::Engine::EXT_NONE;
using quillane::UTP::Engine::kMinRto;
using quillane::UTP::Engine::kMinWindow;
using quillane::UTP::Engine::kNoDelay;
using quillane::UTP::Engine::OutPacket;
using quillane::UTP::Engine::sHeaderSize;
using quillane::UTP::Engine::sOldest;
using quillane::UTP::Engine::sStamp;
using quillane::UTP::Engine::ST_DATA;
using quillane::UTP::Engine::ST_FIN;
using quillane::UTP::Engine::ST_STATE;
using quillane::UTP::Engine::sWriteHeader;

namespace
{

const int kClient = 0;
const int kServer = 1;
const int kStranger = 2;
const int kPuppet = 3; // the endpoint of the puppet connections

// What the filter holds back while the scene is built (and after).
struct Holds
{
    bool fDropSyns = false;
    uint32_t fBlockedId = ~0u; // client datagrams with this connection id are dropped
    bool fPuppetsCut = false;  // nothing reaches or leaves the puppet endpoint any more
};

// The scene's handles: what the filter holds back, and the puppet connections (version 1, then
// version 0) whose peer the input plays.
struct Scene
{
    Holds fHolds;
    SimConn* fPuppets[2] = {nullptr, nullptr};
};

// Input cursor; reads zeros past the end.
class Input
{
  public:
    Input(const uint8_t* iData, size_t iSize) : fData(iData), fLeft(iSize) {}
    bool Empty() const { return fLeft == 0; }
    uint8_t Byte()
    {
        if (!fLeft)
            return 0;
        --fLeft;
        return *fData++;
    }
    const uint8_t* Take(size_t& ioLength)
    {
        ioLength = ioLength < fLeft ? ioLength : fLeft;
        const uint8_t* p = fData;
        fData += ioLength;
        fLeft -= ioLength;
        return p;
    }

  private:
    const uint8_t* fData;
    size_t fLeft;
};

AppConfig spApp(uint8_t iVariant, uint64_t iSend)
{
    AppConfig a;
    a.fSendBytes = iSend;
    a.fVerify = false; // injected payload is legitimate data to the engine
    a.fClose = CloseWhen::kNever;
    a.fReportReadBuffer = iVariant & 1;
    a.fWriteChunk = (iVariant & 2) ? 700 : 0;
    a.fReenter = (iVariant >> 2) & 7;
    a.fCloseAfterBytes = 20000;
    return a;
}

uint32_t spIdOf(const Datagram& iDatagram)
{
    const std::vector<uint8_t>& b = iDatagram.fBytes;
    const size_t header = HeaderSize(b.data(), b.size());
    if (header == 20)
        return uint32_t(b[2]) << 8 | b[3];
    if (header == 23)
        return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    return ~0u;
}

// The puppets' applications: always more to send, through a send buffer of some 17 packets, over
// a path of 20 ms round trip.
const uint64_t kPuppetSend = 1 << 20;
const int kPuppetSndBuf = 24000;
const uint64_t kPuppetDelayUs = 10000;
const uint64_t kPuppetWarmUpUs = 400000;

// Builds the scene described at the top.
void spBuildScene(Sim& ioSim, Scene& ioScene, uint8_t iVariant)
{
    Holds& holds = ioScene.fHolds;
    ioSim.AddEndpoint("127.0.0.1", 5000, true);
    ioSim.AddEndpoint("127.0.0.2", 6000, true);
    ioSim.AddEndpoint("127.0.0.3", 7000, false);
    ioSim.AddEndpoint("127.0.0.4", 8000, false);
    ioSim.SetFilter(
        [&holds](Datagram& d)
        {
            const int type = PacketType(d.fBytes.data(), d.fBytes.size());
            if (holds.fDropSyns && type == 4)
                return Verdict::kDrop;
            if (d.fFrom == kClient && spIdOf(d) == holds.fBlockedId)
                return Verdict::kDrop;
            if (holds.fPuppetsCut && (d.fFrom == kPuppet || d.fTo == kPuppet))
                return Verdict::kDrop;
            return Verdict::kDeliver;
        });

    // The puppets first (their first time-out, at 500 ms, comes after the rest of the scene).
    // Their server sides send nothing, so the puppets' receive sequence numbers stay put.
    LinkConfig link = ioSim.GetOptions().fDefaultLink;
    link.fDelayUs = kPuppetDelayUs;
    ioSim.SetPath(kPuppet, kServer, link);
    ioSim.SetAccept(kServer, spApp(iVariant, 0));
    for (int version : {1, 0})
    {
        AppConfig a = spApp(iVariant, kPuppetSend);
        a.fVersion = version;
        a.fSndBuf = kPuppetSndBuf;
        ioScene.fPuppets[1 - version] = ioSim.Connect(kPuppet, kServer, a);
    }
    ioSim.RunFor(kPuppetWarmUpUs);
    holds.fPuppetsCut = true;

    ioSim.SetAccept(kServer, spApp(iVariant, 20000));
    ioSim.SetAccept(kClient, spApp(iVariant, 5000));
    ioSim.Connect(kClient, kServer, spApp(iVariant, 30000));
    AppConfig v0 = spApp(iVariant, 30000);
    v0.fVersion = 0;
    ioSim.Connect(kClient, kServer, v0);
    ioSim.RunFor(60000); // the send quota lets the first packets out after some 40 ms

    SimConn* finSent = ioSim.Connect(kClient, kServer, spApp(iVariant, 0));
    ioSim.RunFor(5000);
    if (finSent->fSocket)
    {
        holds.fBlockedId = finSent->fSocket->fSendId;
        finSent->Close();
    }
    SimConn* gotFin = ioSim.Connect(kClient, kServer, spApp(iVariant, 0));
    ioSim.RunFor(5000);
    gotFin->Close();
    holds.fDropSyns = true;
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
        const Endpoint& ep = ioSim.GetEndpoint(e);
        PeerAddress a;
        PeerAddress_FromSockAddr(a, reinterpret_cast<const sockaddr*>(ep.fSockAddr),
                                 ep.fSockAddrLen);
        if (a == iSocket->fAddr)
            return e;
    }
    return kStranger;
}

// Makes a datagram reach iTarget: its id (in the record's version layout) and, optionally,
// sequence numbers near the record's window.
void spAim(std::vector<uint8_t>& ioBytes, const UTPSocket* iTarget, uint8_t iFlags)
{
    const bool v1 = iTarget->fVersion == 1;
    const size_t header = v1 ? 20 : 23;
    if (ioBytes.size() < header)
        ioBytes.resize(header, 0);
    const uint32_t id = iTarget->fRecvId;
    if (v1)
    {
        ioBytes[0] = uint8_t((((ioBytes[0] >> 4) % 5) << 4) | 1);
        ioBytes[1] = uint8_t(ioBytes[1] % 3);
        ioBytes[2] = uint8_t(id >> 8);
        ioBytes[3] = uint8_t(id);
    }
    else
    {
        for (int i = 0; i < 4; ++i)
            ioBytes[size_t(i)] = uint8_t(id >> (24 - 8 * i));
    }
    if (iFlags & 0x10)
    {
        const uint16_t seq = uint16_t(iTarget->fAckNr + 1 + ((iFlags >> 5) & 7) - 2);
        const uint16_t ack = uint16_t(iTarget->fSeqNr - 1 - ((iFlags >> 5) & 3));
        const size_t at = v1 ? 16 : 19;
        ioBytes[at] = uint8_t(seq >> 8);
        ioBytes[at + 1] = uint8_t(seq);
        ioBytes[at + 2] = uint8_t(ack >> 8);
        ioBytes[at + 3] = uint8_t(ack);
    }
}

void spDatagramOp(Sim& ioSim, Input& ioInput, int iKind)
{
    const uint8_t flags = ioInput.Byte();
    size_t length = ioInput.Byte();
    length |= size_t(ioInput.Byte()) << 8;
    length = length > 2048 ? 2048 : length;
    const uint8_t* p = ioInput.Take(length);
    std::vector<uint8_t> bytes(p, p + length);
    int from = iKind == 1 ? kServer : (iKind == 2 ? kStranger : kClient);
    int to = iKind == 1 ? kClient : kServer;
    const std::vector<SimConn*> live = spLive(ioSim);
    if ((flags & 1) && !live.empty())
    {
        const SimConn* target = live[size_t((flags >> 1) & 7) % live.size()];
        spAim(bytes, target->fSocket, flags);
        to = target->fEndpoint;
        from = spPeerOf(ioSim, target->fSocket);
    }
    ioSim.DeliverNow(from, to, bytes.data(), bytes.size());
}

// ---------------------------------------------------------------------------------------------
// The puppets' peer

// The window a puppet's peer advertises: closed, smaller than a packet, around the send buffer,
// or far beyond it. Version 0 carries the byte in 350-byte units.
uint32_t spPeerWindow(int iVersion, uint8_t w)
{
    if (iVersion == 0)
        return uint32_t(w) * 350;
    return w == 255 ? 0xFFFFFFFFu : uint32_t(w) * w * 16;
}

// The peer's timestamp of a packet sent iNowUs - (one-way delay): no timestamp, 1 to 196 ms ago,
// or in the future.
uint32_t spPeerTimestamp(uint64_t iNowUs, uint8_t iNibble)
{
    if (iNibble == 0)
        return 0;
    if (iNibble == 15)
        return uint32_t(iNowUs + 5000);
    return uint32_t(iNowUs - uint64_t(iNibble) * iNibble * 1000);
}

// The delay the peer reports for our packets: none (0 or the no-measurement value), 2 to 338 ms,
// or nearly 2^32 µs.
uint32_t spPeerReplyDelay(uint8_t iNibble)
{
    if (iNibble == 15)
        return kNoDelay;
    if (iNibble == 14)
        return 0xFFFFFF00u;
    return uint32_t(iNibble) * iNibble * 2000;
}

// A packet from the peer of puppet (f & 1: 0 version 1, 1 version 0), built from the input:
//   f    bits 1-2: type (0 ST_STATE, 1 ST_DATA, 2 ST_FIN, 3 ST_STATE); bit 3: an EACK;
//        bit 4: an extension-bits extension first; bits 5-6: seq_nr 0 the next one the puppet
//        expects, 1 that plus 1 + s, 2 that minus s (s the next byte), 3 16 bits from the input;
//        bit 7: ack_nr 16 bits from the input
//   k    below 0xF0: ack_nr = the puppet's oldest packet - 1 + k % (packets in its send buffer
//        + 2), from "nothing new" through "all" to one past its newest; from 0xF0: its newest
//        packet + k - 0xF8 (0xF8 acknowledges everything)
//   w    window (spPeerWindow)
//   d    low nibble: timestamp (spPeerTimestamp); high nibble: reported delay (spPeerReplyDelay)
//   then with an EACK the mask length and mask bytes, and for ST_DATA and ST_FIN a byte n:
//   6 * n payload bytes.
void spPuppetOp(Sim& ioSim, const Scene& iScene, Input& ioInput)
{
    static const int kTypes[4] = {ST_STATE, ST_DATA, ST_FIN, ST_STATE};
    const uint8_t f = ioInput.Byte();
    const uint8_t k = ioInput.Byte();
    const uint8_t w = ioInput.Byte();
    const uint8_t d = ioInput.Byte();
    const int type = kTypes[(f >> 1) & 3];
    const int placement = (f >> 5) & 3;
    uint16_t seqArg = placement ? ioInput.Byte() : 0;
    if (placement == 3)
        seqArg = uint16_t(seqArg << 8 | ioInput.Byte());
    uint16_t ackArg = k;
    if (f & 0x80)
        ackArg = uint16_t(ioInput.Byte() << 8 | ioInput.Byte());
    size_t maskLength = (f & 8) ? ioInput.Byte() : 0;
    std::vector<uint8_t> mask(maskLength, 0);
    const uint8_t* m = ioInput.Take(maskLength);
    std::copy(m, m + maskLength, mask.begin());
    const size_t payload = type == ST_STATE ? 0 : size_t(ioInput.Byte()) * 6;

    const SimConn* puppet = iScene.fPuppets[f & 1];
    const UTPSocket* s = puppet ? puppet->fSocket : nullptr;
    if (!s)
        return; // destroyed; the bytes are used all the same, so later operations keep meaning
    const int version = s->fVersion;
    uint16_t seq = uint16_t(s->fAckNr + 1);
    if (placement == 1)
        seq = uint16_t(seq + 1 + seqArg);
    else if (placement == 2)
        seq = uint16_t(seq - seqArg);
    else if (placement == 3)
        seq = seqArg;
    uint16_t ack = ackArg;
    if (!(f & 0x80))
    {
        const int cwp = s->fCurWindowPackets;
        ack = uint16_t(sOldest(s) - 1 + (k < 0xF0 ? k % (cwp + 2) : cwp + k - 0xF8));
    }

    std::vector<uint8_t> b(sHeaderSize(version));
    const int first = (f & 0x10) ? EXT_BITS : ((f & 8) ? EXT_EACK : EXT_NONE);
    sWriteHeader(b.data(), version, type, first, s->fRecvId, spPeerWindow(version, w), seq, ack);
    sStamp(b.data(), version, spPeerTimestamp(ioSim.Now(), d & 15), spPeerReplyDelay(d >> 4));
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
        b.insert(b.end(), mask.begin(), mask.end());
    }
    b.insert(b.end(), payload, uint8_t(0x5A));
    ioSim.DeliverNow(kServer, kPuppet, b.data(), b.size());
}

void spAppOp(Sim& ioSim, Input& ioInput)
{
    const uint8_t a = ioInput.Byte();
    const auto& conns = ioSim.Conns();
    SimConn* c = conns[a % conns.size()].get();
    if (!c->fSocket)
        return;
    switch ((a >> 4) & 3)
    {
    case 0:
        c->fConfig.fSendBytes += 1382 * uint64_t(1 + (a & 3));
        c->Pump();
        break;
    case 1:
        c->Close();
        break;
    case 2:
        c->Drain();
        break;
    default:
    {
        const uint8_t v = ioInput.Byte();
        c->fConfig.fReadBufferAnswer = v == 255 ? -1 : (long long)v * 4096;
        break;
    }
    }
}

// A clock step in µs: mostly short; the upper half reaches the long time-outs (up to 64 s).
uint64_t spStep(uint8_t t)
{
    return t < 128 ? (uint64_t(t) + 1) * 1000 : uint64_t(t - 127) * (t - 127) * 4000;
}

void spFail(const char* iWhat, const SimConn* iConn)
{
    std::fprintf(stderr, "%s: %s\n", iWhat, iConn->Describe().c_str());
    std::abort();
}

// Send-buffer bookkeeping of every live record: the oldest packet's slot is occupied while packets
// are in the buffer, and the bytes counted in flight are exactly the payloads of the packets sent
// and not marked for resending. Whatever the peer says, the window and the time-out keep their
// floors.
void spCheckInvariants(Sim& ioSim)
{
    for (SimConn* c : spLive(ioSim))
    {
        const UTPSocket* s = c->fSocket;
        if (s->fMaxWindow < kMinWindow)
            spFail("window below its floor", c);
        if (s->fRto < kMinRto)
            spFail("retransmission time-out below its floor", c);
        const uint16_t oldest = uint16_t(s->fSeqNr - s->fCurWindowPackets);
        if (s->fCurWindowPackets && !s->fOutBuf.Get(oldest))
            spFail("oldest send-buffer slot empty", c);
        if (s->fCurWindowPackets > s->fOutBuf.fMask + 1)
            spFail("more packets in the send buffer than slots", c);
        uint64_t inFlight = 0;
        for (uint32_t i = 0; i < s->fCurWindowPackets; ++i)
        {
            const OutPacket* p = s->fOutBuf.Get(uint16_t(oldest + i));
            if (p && p->fTransmissions && !p->fNeedResend)
                inFlight += p->fPayload;
        }
        if (inFlight != s->fCurWindow)
            spFail("bytes in flight disagree with the send buffer", c);
    }
}

void spCheckEnd(Sim& ioSim)
{
    size_t live = 0;
    for (const auto& c : ioSim.Conns())
    {
        if (!c->fFaults.empty())
        {
            std::fprintf(stderr, "application saw: %s\n%s\n", c->fFaults[0].c_str(),
                         c->Describe().c_str());
            std::abort();
        }
        live += c->fSocket != nullptr;
    }
    if (UTP_GetConnectionCount() != live)
    {
        std::fprintf(stderr, "engine holds %zu records, applications know %zu\n%s",
                     UTP_GetConnectionCount(), live, ioSim.Summary().c_str());
        std::abort();
    }
}

Sim::Options spOptions()
{
    Sim::Options o;
    o.fSeed = 1;
    o.fDefaultLink.fDelayUs = 1000;
    return o;
}

// ---------------------------------------------------------------------------------------------
// Seed corpus

void spWrite(const std::string& iPath, const std::vector<uint8_t>& iBytes)
{
    if (FILE* f = std::fopen(iPath.c_str(), "wb"))
    {
        std::fwrite(iBytes.data(), 1, iBytes.size(), f);
        std::fclose(f);
    }
}

// A seed program (operations as at the top), written with the names of what they do.
class Program
{
  public:
    // spPuppetOp flags.
    enum : uint8_t
    {
        kV0 = 1,
        kData = 2,
        kFin = 4,
        kEack = 8,
        kBits = 0x10,
        kAhead = 0x20
    };
    // spPuppetOp ack offsets: nothing new, the oldest packet, everything.
    enum : uint8_t
    {
        kDupAck = 0,
        kOne = 1,
        kAll = 0xF8
    };

    explicit Program(uint8_t iVariant) : fBytes{iVariant} {}
    Program& Step(uint8_t t) { return Add({3, t}); }
    Program& Stall(uint8_t t) { return Add({7, t}); }
    Program& App(uint8_t a) { return Add({4, a}); }
    // A packet from a puppet's peer: flags, ack offset, window, delays, then the extra bytes
    // (seq_nr argument, mask length and mask, payload length) in spPuppetOp's order.
    Program& Peer(uint8_t f, uint8_t k, uint8_t w, uint8_t d, std::vector<uint8_t> iExtra = {})
    {
        Add({6, f, k, w, d});
        return Add(iExtra);
    }
    Program& Add(const std::vector<uint8_t>& iBytes)
    {
        fBytes.insert(fBytes.end(), iBytes.begin(), iBytes.end());
        return *this;
    }

    std::vector<uint8_t> fBytes;
};

// The application operation byte that applies iAction ((a >> 4) & 3 of spAppOp) to connection
// iIndex among iCount.
uint8_t spAppByte(size_t iCount, size_t iIndex, int iAction)
{
    for (int a = 0; a < 256; ++a)
        if (((a >> 4) & 3) == iAction && size_t(a) % iCount == iIndex)
            return uint8_t(a);
    return 0;
}

// Programs that play the puppets' peer, each for both versions, one behaviour each.
std::vector<std::vector<uint8_t>> spPuppetPrograms()
{
    size_t count = 0, index[2] = {0, 0};
    {
        Scene scene;
        Sim sim(spOptions());
        spBuildScene(sim, scene, 0);
        count = sim.Conns().size();
        for (size_t i = 0; i < count; ++i)
            for (int p = 0; p < 2; ++p)
                if (sim.Conns()[i].get() == scene.fPuppets[p])
                    index[p] = i;
    }
    const uint8_t kLowDelay = 0x12, kHighDelay = 0xB2, kOpen = 100;
    std::vector<Program> out;
    for (uint8_t v : {uint8_t(0), uint8_t(Program::kV0)})
    {
        // Acknowledgements one at a time at low delay grow the window; a high reported delay
        // shrinks it; a window smaller than a packet makes every send pay from the quota.
        Program acks(0);
        for (int i = 0; i < 3; ++i)
            acks.Peer(v, Program::kOne, kOpen, kLowDelay).Step(20);
        acks.Peer(v, Program::kOne, kOpen, kHighDelay).Peer(v, Program::kOne, 5, 0xF0).Step(100);
        acks.Peer(v, Program::kOne, 255, 0xEF).Step(60).Peer(v, Program::kAll, kOpen, kLowDelay);
        out.push_back(acks);

        // Three later packets received: the two missing ones are resent once and the window
        // decays; the same EACK again resends nothing; a long hostile mask is bounded.
        Program eack(0);
        eack.Peer(v | Program::kEack, Program::kDupAck, kOpen, kLowDelay, {4, 0x0E, 0, 0, 0});
        eack.Peer(v | Program::kEack, Program::kDupAck, kOpen, kLowDelay, {4, 0x0E, 0, 0, 0});
        eack.Step(120).Peer(v | Program::kEack | Program::kBits, Program::kOne, kOpen, kLowDelay,
                            {4, 0xF6, 0xFF, 0, 0});
        std::vector<uint8_t> longMask = {255};
        longMask.insert(longMask.end(), 255, 0xB6);
        eack.Step(120).Peer(v | Program::kEack, Program::kDupAck, kOpen, kLowDelay, longMask);
        out.push_back(eack);

        // Silence: time-outs restart the window and resend the oldest; acknowledgements in
        // resend-all mode resend the next; a zero window is probed after 15 s; the back-off
        // finally gives up.
        Program timeout(0);
        timeout.Step(140).Peer(v, Program::kOne, kOpen, kLowDelay).Step(150);
        timeout.Peer(v, Program::kOne, 0, kLowDelay).Step(190).Step(255).Step(255);
        out.push_back(timeout);

        // A suspended runner: everything falls due at once, the quota grows by a long step, and
        // the round trip measures the stall.
        Program stall(0);
        stall.Stall(200).Step(0).Peer(v, Program::kOne, kOpen, kLowDelay).Stall(255);
        stall.Peer(v, Program::kAll, kOpen, kLowDelay).Step(10);
        out.push_back(stall);

        // Data to the puppet: in order, ahead (answered with an EACK); the puppet closes, and
        // data, a FIN and the acknowledgement of everything arrive while its FIN is out.
        Program data(0);
        data.Peer(v | Program::kData, Program::kDupAck, kOpen, kLowDelay, {100});
        data.Peer(v | Program::kData | Program::kAhead, Program::kDupAck, kOpen, kLowDelay,
                  {1, 50});
        data.Step(2).App(spAppByte(count, index[v], 1));
        data.Peer(v | Program::kData, Program::kOne, kOpen, kLowDelay, {20});
        data.Peer(v | Program::kFin, Program::kOne, kOpen, kLowDelay, {0});
        data.Peer(v, Program::kAll, kOpen, kLowDelay).Step(100);
        out.push_back(data);
    }
    std::vector<std::vector<uint8_t>> programs;
    for (const Program& p : out)
        programs.push_back(p.fBytes);
    return programs;
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
        {
            l->fLoss = 0.1;
            l->fReorder = 0.3;
            l->fReorderUs = 4000;
        }
        for (const auto& c : sim.Conns())
            c->fConfig.fSendBytes += 100000;
        for (const auto& c : sim.Conns())
            c->Pump();
        const uint8_t stray[20] = {0x01, 0, 0x12, 0x34, 0, 0, 0, 0, 0, 0,
                                   0,    0, 0,    0,    0, 0, 0, 7, 0, 0};
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
    std::map<std::string, int> kinds;
    int n = 0;
    for (const Datagram& d : seen)
    {
        const size_t header = HeaderSize(d.fBytes.data(), d.fBytes.size());
        const std::string kind = std::to_string(d.fFrom) + "-" + std::to_string(header) + "-" +
                                 std::to_string(PacketType(d.fBytes.data(), d.fBytes.size())) +
                                 "-" + std::to_string(d.fBytes.size() > 100 ? 1 : d.fBytes.size());
        if (kinds[kind]++ >= 2)
            continue;
        char name[64];
        std::snprintf(name, sizeof name, "/golden-%03d", n++);
        spWrite(packet + name, d.fBytes);
        // The datagram as it was, then aimed at a live record, then a little time.
        const int op = d.fFrom == kServer ? 1 : (d.fFrom == kStranger ? 2 : 0);
        std::vector<uint8_t> in = {uint8_t(n % 32)}; // every scene variant in turn
        for (uint8_t flags : {uint8_t(0), uint8_t(1 | (n % 8) << 1 | 0x10)})
        {
            in.push_back(uint8_t(op));
            in.push_back(flags);
            in.push_back(uint8_t(d.fBytes.size()));
            in.push_back(uint8_t(d.fBytes.size() >> 8));
            in.insert(in.end(), d.fBytes.begin(), d.fBytes.end());
        }
        in.push_back(3);
        in.push_back(10);
        spWrite(receive + name, in);
    }
    const std::vector<std::vector<uint8_t>> programs = spPuppetPrograms();
    for (size_t i = 0; i < programs.size(); ++i)
    {
        char name[64];
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
    Input in(iData, iSize);
    Scene scene; // outlives the simulator, whose filter reads it
    Sim sim(spOptions());
    spBuildScene(sim, scene, in.Byte());
    for (int ops = 0; !in.Empty() && ops < 256; ++ops)
    {
        const int kind = in.Byte() % 8;
        if (kind <= 2)
            spDatagramOp(sim, in, kind);
        else if (kind == 3)
            sim.RunFor(spStep(in.Byte()));
        else if (kind == 4)
            spAppOp(sim, in);
        else if (kind == 5)
            sim.RunFor(1000);
        else if (kind == 6)
            spPuppetOp(sim, scene, in);
        else
            sim.Stall(spStep(in.Byte()));
        spCheckInvariants(sim);
    }
    sim.RunFor(1000000);
    spCheckInvariants(sim);
    spCheckEnd(sim);
    return 0;
}
