// Fuzz target: the whole receive path (UTP_ProcessDatagram and everything behind it) against live
// connections in several states, with the input also steering the applications and the clock.
//
// Each run builds the same scene on the network simulator: a client and a server endpoint (both
// accepting) with an established version-1 connection and an established version-0 connection
// moving data, one connection whose client closed with its FIN held back (FIN_SENT), one whose
// SYN never arrives (SYN_SENT), and one whose client closed normally (server side GOT_FIN), plus a
// stranger endpoint. The input is then a program of operations:
//
//   byte 0           scene variant: bit 0 applications report unread bytes, bit 1 small writes,
//                    bits 2-4 calls from inside callbacks (write, drain, close after 20000 bytes)
//   op % 6 == 0..2   a datagram: 0 client->server, 1 server->client, 2 stranger->server;
//                    flags byte, 16-bit little-endian length, bytes. Flags bit 0: rewrite the
//                    connection id (and version layout) to reach live record (flags >> 1) & 7,
//                    which also picks the direction; bit 4: put seq_nr/ack_nr near that record's
//                    window (offsets from flags >> 5).
//   op % 6 == 3      advance the clock by t + 1 ms for t < 128, else (t - 127)^2 * 4 ms (to 64 s),
//                    t the next byte
//   op % 6 == 4      an application action on connection a % count, a the next byte:
//                    (a >> 4) & 3 = 0 write more, 1 close, 2 drain, 3 lie about the read buffer
//   op % 6 == 5      advance 1 ms
//
// Checked after every operation: the engine's send-buffer bookkeeping (the oldest packet's slot
// is occupied while packets are in the send buffer; the bytes in flight are the payloads of the
// packets sent and not marked for resending); at the end: no application saw a contract
// violation (a write callback outside UTP_Write or beyond what was offered, any callback after
// destruction) and the engine holds exactly the records whose destruction it has not reported.
//
// With UTP_FUZZ_MAKE_CORPUS=<dir> set, the target instead records the datagrams of the scene and
// of a normal continuation and writes them as seed inputs to <dir>/utp_receive and as raw
// datagrams to <dir>/utp_packet, then exits.

#include "utp_sim.h"

#include "engine/utp.h"
#include "engine/utp_socket.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <vector>

using namespace utpsim;

namespace
{

const int kClient = 0;
const int kServer = 1;
const int kStranger = 2;

// What the filter holds back while the scene is built (and after).
struct Holds
{
    bool fDropSyns = false;
    uint32_t fBlockedId = ~0u; // client datagrams with this connection id are dropped
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

// Builds the scene described at the top.
void spBuildScene(Sim& ioSim, Holds& ioHolds, uint8_t iVariant)
{
    ioSim.AddEndpoint("127.0.0.1", 5000, true);
    ioSim.AddEndpoint("127.0.0.2", 6000, true);
    ioSim.AddEndpoint("127.0.0.3", 7000, false);
    ioSim.SetAccept(kServer, spApp(iVariant, 20000));
    ioSim.SetAccept(kClient, spApp(iVariant, 5000));
    ioSim.SetFilter(
        [&ioHolds](Datagram& d)
        {
            const int type = PacketType(d.fBytes.data(), d.fBytes.size());
            if (ioHolds.fDropSyns && type == 4)
                return Verdict::kDrop;
            if (d.fFrom == kClient && spIdOf(d) == ioHolds.fBlockedId)
                return Verdict::kDrop;
            return Verdict::kDeliver;
        });
    ioSim.Connect(kClient, kServer, spApp(iVariant, 30000));
    AppConfig v0 = spApp(iVariant, 30000);
    v0.fVersion = 0;
    ioSim.Connect(kClient, kServer, v0);
    ioSim.RunFor(60000); // the send quota lets the first packets out after some 40 ms

    SimConn* finSent = ioSim.Connect(kClient, kServer, spApp(iVariant, 0));
    ioSim.RunFor(5000);
    if (finSent->fSocket)
    {
        ioHolds.fBlockedId = finSent->fSocket->fSendId;
        finSent->Close();
    }
    SimConn* gotFin = ioSim.Connect(kClient, kServer, spApp(iVariant, 0));
    ioSim.RunFor(5000);
    gotFin->Close();
    ioHolds.fDropSyns = true;
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
        from = to == kClient ? kServer : kClient;
    }
    ioSim.DeliverNow(from, to, bytes.data(), bytes.size());
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

void spFail(const char* iWhat, const SimConn* iConn)
{
    std::fprintf(stderr, "%s: %s\n", iWhat, iConn->Describe().c_str());
    std::abort();
}

// Send-buffer bookkeeping of every live record: the oldest packet's slot is occupied while packets
// are in the buffer, and the bytes counted in flight are exactly the payloads of the packets sent
// and not marked for resending.
void spCheckInvariants(Sim& ioSim)
{
    for (SimConn* c : spLive(ioSim))
    {
        const UTPSocket* s = c->fSocket;
        const uint16_t oldest = uint16_t(s->fSeqNr - s->fCurWindowPackets);
        if (s->fCurWindowPackets && !s->fOutBuf.Get(oldest))
            spFail("oldest send-buffer slot empty", c);
        if (s->fCurWindowPackets > s->fOutBuf.fMask + 1)
            spFail("more packets in the send buffer than slots", c);
        uint64_t inFlight = 0;
        for (uint32_t i = 0; i < s->fCurWindowPackets; ++i)
        {
            const quillane::UTP::Engine::OutPacket* p = s->fOutBuf.Get(uint16_t(oldest + i));
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

// Records the scene and a normal continuation; keeps up to three datagrams of each kind
// (direction, version, type, length class) so that the corpus stays small.
void spMakeCorpus(const std::string& iDir)
{
    std::vector<Datagram> seen;
    {
        Holds holds;
        Sim sim(spOptions());
        sim.SetTap([&seen](const Datagram& d) { seen.push_back(d); });
        spBuildScene(sim, holds, 0);
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
        if (kinds[kind]++ >= 3)
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
    std::printf("wrote %d seed inputs to %s and %s\n", n, receive.c_str(), packet.c_str());
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
    Holds holds; // outlives the simulator, whose filter reads it
    Sim sim(spOptions());
    spBuildScene(sim, holds, in.Byte());
    for (int ops = 0; !in.Empty() && ops < 256; ++ops)
    {
        const int kind = in.Byte() % 6;
        if (kind <= 2)
            spDatagramOp(sim, in, kind);
        else if (kind == 3)
        {
            // Mostly short steps; the upper half reaches the long time-outs (up to 64 s).
            const uint64_t t = in.Byte();
            sim.RunFor(t < 128 ? (t + 1) * 1000 : (t - 127) * (t - 127) * 4000);
        }
        else if (kind == 4)
            spAppOp(sim, in);
        else
            sim.RunFor(1000);
        spCheckInvariants(sim);
    }
    sim.RunFor(1000000);
    spCheckInvariants(sim);
    spCheckEnd(sim);
    return 0;
}
