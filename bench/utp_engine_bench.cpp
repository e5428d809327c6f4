// Cost of the uTP engine itself: two engines in one process joined by the in-memory simulated
// network (no loss, a fast virtual link), one connection moving data one way.
//
// - EngineThroughput: payload bytes per second of wall time through both engines (the
//   simulator's own work included; the goal is at least 1 GB/s on one core).
// - EngineCostPerPacket: the same transfer with every engine call timed: nanoseconds per data
//   packet on the sending side (UTP_Write plus processing the acknowledgements) and per datagram
//   on the receiving side (UTP_ProcessDatagram, acknowledgements included).
// - EngineScale: the per-packet costs again while 999 other connections are live (2000 engine
//   records: both ends of every connection live in this process) and the busy connection is the
//   newest, so any walk of the connection list pays in full. Ratios to the single-connection
//   case are reported as counters and in a summary line; the goal is at most 2x per datagram.
//
// - EngineRunnerTimers: a timer sweep after every datagram, as the UDP runner makes them, with 1
//   and with 1000 connections: the sweep visits every record.
//
// Threads: one.

#include "utp/sim/utp_sim.h"

#include "utp/engine/utp.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <string>

using namespace quillane::UTP::Sim;

namespace
{

const uint64_t kTransferBytes = 64ull << 20;

struct Costs
{
    double fSendNsPerPacket = 0;
    double fRecvNsPerDatagram = 0;
    double fPerDatagramNs = 0; // engine time of both sides per datagram exchanged
    double fTimerNsPerCheck = 0;
};

Costs sSingle, sScale;
double sRunnerTimerNs[2]; // timer sweep per datagram with 1 and with 1000 connections

Sim::Options BenchOptions(bool iProfile)
{
    Sim::Options o;
    o.fSeed = 7;
    o.fProfile = iProfile;
    o.fCheckAfterDatagram = false; // timers at the runner's 50 ms period
    o.fDefaultLink.fDelayUs = 100;
    o.fDefaultLink.fRateBytesPerSec = 2000000000; // 16 Gbit/s: the engine is the limit
    return o;
}

AppConfig Sender(uint64_t iBytes)
{
    AppConfig a;
    a.fSendBytes = iBytes;
    a.fVerify = false;
    a.fClose = CloseWhen::kAfterSend;
    return a;
}

AppConfig Receiver(uint64_t iBytes)
{
    AppConfig a;
    a.fExpectBytes = iBytes;
    a.fVerify = false;
    return a;
}

// One busy transfer from iFrom to iTo; returns false when it did not finish.
bool Transfer(Sim& ioSim, int iFrom, int iTo, uint64_t iBytes = kTransferBytes)
{
    SimConn* c = ioSim.Connect(iFrom, iTo, Sender(iBytes));
    const bool ok = ioSim.RunUntil([c] { return c->Destroyed(); }, 600000000) &&
                    c->fErrors.empty() && c->fWritten == iBytes;
    if (!ok)
        std::fprintf(stderr, "%s\n", c->Describe().c_str());
    return ok;
}

// Engine time only: the simulated network's share of each call (the send callback) is taken out.
Costs Measure(Sim& ioSim, int iSender, int iReceiver, uint64_t iChecksBefore, uint64_t iCheckNs,
              uint64_t iCheckSendNs)
{
    const SimEndpointStats& s = ioSim.GetEndpoint(iSender).fStats;
    const SimEndpointStats& r = ioSim.GetEndpoint(iReceiver).fStats;
    const double sendNs = double(s.fWriteNs + s.fProcessNs - s.fSendNs);
    const double recvNs = double(r.fProcessNs - r.fSendNs);
    Costs c;
    c.fSendNsPerPacket = sendNs / double(s.fDataOut ? s.fDataOut : 1);
    c.fRecvNsPerDatagram = recvNs / double(r.fDatagramsIn ? r.fDatagramsIn : 1);
    const uint64_t datagrams = s.fDatagramsIn + r.fDatagramsIn;
    c.fPerDatagramNs = (sendNs + recvNs) / double(datagrams ? datagrams : 1);
    const uint64_t checks = ioSim.TimeoutChecks() - iChecksBefore;
    c.fTimerNsPerCheck =
        double(ioSim.TimeoutCheckNs() - iCheckNs - (ioSim.TimeoutSendNs() - iCheckSendNs)) /
        double(checks ? checks : 1);
    return c;
}

void Report(benchmark::State& ioState, const Costs& iCosts)
{
    ioState.counters["send_ns_per_pkt"] = iCosts.fSendNsPerPacket;
    ioState.counters["recv_ns_per_dgram"] = iCosts.fRecvNsPerDatagram;
    ioState.counters["ns_per_dgram"] = iCosts.fPerDatagramNs;
    ioState.counters["timer_ns_per_check"] = iCosts.fTimerNsPerCheck;
}

// Connected pairs that stay quiet. They run between other addresses than the busy pair: the
// engine matches datagrams by peer address and connection id only.
void AddIdleConnections(Sim& ioSim, int iCount)
{
    const int idleServer = ioSim.AddEndpoint("127.0.8.1", 41003, true);
    AppConfig quiet;
    quiet.fVerify = false;
    quiet.fClose = CloseWhen::kNever;
    ioSim.SetAccept(idleServer, quiet);
    for (int i = 0; i < iCount; ++i)
    {
        char ip[32];
        std::snprintf(ip, sizeof ip, "127.0.%d.%d", 1 + i / 250, 1 + i % 250);
        const int client = ioSim.AddEndpoint(ip, uint16_t(42000 + i), false);
        ioSim.Connect(client, idleServer, quiet);
    }
    ioSim.RunFor(200000);
}

// The busy pair: a sender at 127.0.0.1 and an accepting receiver at 127.0.0.2.
struct BusyPair
{
    int fSender;
    int fReceiver;
};

BusyPair AddBusyPair(Sim& ioSim)
{
    const BusyPair pair{ioSim.AddEndpoint("127.0.0.1", 41001, false),
                        ioSim.AddEndpoint("127.0.0.2", 41002, true)};
    ioSim.SetAccept(pair.fReceiver, Receiver(kTransferBytes));
    return pair;
}

// One transfer per benchmark iteration over the pair.
void TransferEachIteration(benchmark::State& ioState, Sim& ioSim, const BusyPair& iPair)
{
    for (auto _ : ioState)
    {
        if (!Transfer(ioSim, iPair.fSender, iPair.fReceiver))
            ioState.SkipWithError("transfer did not finish");
    }
}

void EngineThroughput(benchmark::State& ioState)
{
    Sim sim(BenchOptions(false));
    const BusyPair pair = AddBusyPair(sim);
    TransferEachIteration(ioState, sim, pair);
    ioState.SetBytesProcessed(int64_t(ioState.iterations() * kTransferBytes));
}

void EngineCostPerPacket(benchmark::State& ioState)
{
    Sim sim(BenchOptions(true));
    const BusyPair pair = AddBusyPair(sim);
    TransferEachIteration(ioState, sim, pair);
    const int a = pair.fSender, b = pair.fReceiver;
    sSingle = Measure(sim, a, b, 0, 0, 0);
    Report(ioState, sSingle);
    ioState.SetBytesProcessed(int64_t(ioState.iterations() * kTransferBytes));
}

void EngineScale(benchmark::State& ioState)
{
    const int idle = int(ioState.range(0)) - 1;
    Sim sim(BenchOptions(true));
    AddIdleConnections(sim, idle);
    const int server = sim.AddEndpoint("127.0.0.2", 41002, true);
    const int busy = sim.AddEndpoint("127.0.9.1", 41001, false);
    sim.SetAccept(server, Receiver(kTransferBytes));
    const uint64_t checks = sim.TimeoutChecks(), checkNs = sim.TimeoutCheckNs(),
                   checkSendNs = sim.TimeoutSendNs();
    TransferEachIteration(ioState, sim, BusyPair{busy, server});
    sScale = Measure(sim, busy, server, checks, checkNs, checkSendNs);
    Report(ioState, sScale);
    ioState.counters["live_records"] = double(UTP_GetConnectionCount());
    if (sSingle.fPerDatagramNs > 0)
    {
        ioState.counters["ratio_send"] = sScale.fSendNsPerPacket / sSingle.fSendNsPerPacket;
        ioState.counters["ratio_recv"] = sScale.fRecvNsPerDatagram / sSingle.fRecvNsPerDatagram;
        ioState.counters["ratio_dgram"] = sScale.fPerDatagramNs / sSingle.fPerDatagramNs;
    }
    ioState.SetBytesProcessed(int64_t(ioState.iterations() * kTransferBytes));
}

// As the runner drives the engine: a timer sweep (UTP_CheckTimeouts) after every datagram. The
// sweep visits every record, so its cost per datagram grows with the number of connections.
void EngineRunnerTimers(benchmark::State& ioState)
{
    const uint64_t bytes = 2ull << 20;
    Sim::Options o = BenchOptions(true);
    o.fCheckAfterDatagram = true;
    Sim sim(o);
    AddIdleConnections(sim, int(ioState.range(0)) - 1);
    const int server = sim.AddEndpoint("127.0.0.2", 41002, true);
    const int busy = sim.AddEndpoint("127.0.9.1", 41001, false);
    sim.SetAccept(server, Receiver(bytes));
    const uint64_t checks = sim.TimeoutChecks(), checkNs = sim.TimeoutCheckNs();
    for (auto _ : ioState)
    {
        if (!Transfer(sim, busy, server, bytes))
            ioState.SkipWithError("transfer did not finish");
    }
    const uint64_t n = sim.TimeoutChecks() - checks;
    const double perDatagram = double(sim.TimeoutCheckNs() - checkNs) / double(n ? n : 1);
    ioState.counters["timer_ns_per_dgram"] = perDatagram;
    sRunnerTimerNs[ioState.range(0) > 1 ? 1 : 0] = perDatagram;
    ioState.counters["live_records"] = double(UTP_GetConnectionCount());
    ioState.SetBytesProcessed(int64_t(ioState.iterations() * bytes));
}

} // namespace

BENCHMARK(EngineThroughput)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(EngineCostPerPacket)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(EngineScale)->Arg(1000)->Unit(benchmark::kMillisecond)->MinTime(1.0);
BENCHMARK(EngineRunnerTimers)->Arg(1)->Arg(1000)->Unit(benchmark::kMillisecond)->Iterations(2);

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    if (sSingle.fPerDatagramNs > 0 && sScale.fPerDatagramNs > 0)
        std::printf("utp engine: 1000 connections vs 1: per-datagram cost ratio %.2f (goal <= 2), "
                    "send %.2f, receive %.2f; timer check %.0f ns vs %.0f ns\n",
                    sScale.fPerDatagramNs / sSingle.fPerDatagramNs,
                    sScale.fSendNsPerPacket / sSingle.fSendNsPerPacket,
                    sScale.fRecvNsPerDatagram / sSingle.fRecvNsPerDatagram, sScale.fTimerNsPerCheck,
                    sSingle.fTimerNsPerCheck);
    if (sRunnerTimerNs[0] > 0 && sRunnerTimerNs[1] > 0)
        std::printf("utp engine: a timer sweep after every datagram costs %.0f ns with 1 "
                    "connection, %.0f ns with 1000 (ratio %.0f)\n",
                    sRunnerTimerNs[0], sRunnerTimerNs[1], sRunnerTimerNs[1] / sRunnerTimerNs[0]);
    benchmark::Shutdown();
    return 0;
}
