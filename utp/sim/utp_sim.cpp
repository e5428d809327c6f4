// The simulator's event loop, link model and engine glue. See utp_sim.h for the model and its
// invariants.

#include "utp/sim/utp_sim.h"

#include "utp/engine/utp_clock.h"
#include "morvek/platform/Platform_Address.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quillane::UTP::Sim
{

// ---------------------------------------------------------------------------------------------
// Helpers

size_t sDatagramHeaderSize(const uint8_t* iBytes, size_t iLength)
{
    if (iLength < 20)
        return 0;
    if ((iBytes[0] & 0x0F) == 1 && (iBytes[0] >> 4) < 5 && iBytes[1] < 3)
        return 20;
    return iLength >= 23 ? 23 : 0;
}

int sDatagramType(const uint8_t* iBytes, size_t iLength)
{
    const size_t header = sDatagramHeaderSize(iBytes, iLength);
    if (header == 20)
        return iBytes[0] >> 4;
    if (header == 23)
        return iBytes[18] < 5 ? iBytes[18] : -1;
    return -1;
}

namespace
{

uint64_t spMonoNs()
{
    return uint64_t(std::chrono::duration_cast<std::chrono::nanoseconds>(
                        std::chrono::steady_clock::now().time_since_epoch())
                        .count());
}

// Key of an endpoint address: IPv4 address and port exactly; IPv6 address and port hashed, with
// the top bit set so that the two families never meet.
uint64_t spAddrKey(const sockaddr* iAddr, int iLen)
{
    if (iLen >= int(sizeof(sockaddr_in)) && iAddr->sa_family == AF_INET)
    {
        sockaddr_in sin;
        std::memcpy(&sin, iAddr, sizeof sin);
        return (uint64_t(ntohl(sin.sin_addr.s_addr)) << 16) | ntohs(sin.sin_port);
    }
    if (iLen >= int(sizeof(sockaddr_in6)) && iAddr->sa_family == AF_INET6)
    {
        sockaddr_in6 sin6;
        std::memcpy(&sin6, iAddr, sizeof sin6);
        uint64_t h = sFnv1a64(kFnvOffset, sin6.sin6_addr.s6_addr, 16);
        h = sFnv1a64(h, reinterpret_cast<const uint8_t*>(&sin6.sin6_port), 2);
        return h | (uint64_t(1) << 63);
    }
    return ~uint64_t(0);
}

Sim* sCurrent = nullptr;

} // namespace

// Static entry points handed to the engine.
struct SimCallbacks
{
    static void sSendTo(void* iUserData, const uint8_t* iBytes, size_t iLength, const sockaddr* iTo,
                        int iToLen)
    {
        SimEndpoint* ep = static_cast<SimEndpoint*>(iUserData);
        ep->fSim->pSend(ep, iBytes, iLength, iTo, iToLen);
    }
    static void sIncoming(void* iUserData, UTPSocket* iSocket)
    {
        SimEndpoint* ep = static_cast<SimEndpoint*>(iUserData);
        ep->fSim->pAccept(ep, iSocket);
    }
};

// ---------------------------------------------------------------------------------------------
// Life

Sim::Sim(const Options& iOptions)
    : fOptions(iOptions), fRng(iOptions.fSeed ^ 0x5EED5EED5EED5EEDull), fNow(iOptions.fStartUs)
{
    if (sCurrent)
    {
        std::fprintf(stderr, "utpsim: only one Sim may exist at a time\n");
        std::abort();
    }
    sCurrent = this;
    if (const char* trace = std::getenv("UTPSIM_TRACE"))
        fOptions.fTrace = fOptions.fTrace || trace[0] == '1';
    UTP_FreeAll();
    UTP_UseVirtualClock(fNow);
    UTP_SeedRandom(iOptions.fSeed);
    if (fOptions.fTickUs)
        pPush(fNow + fOptions.fTickUs, kTick, 0);
}

Sim::~Sim()
{
    UTP_FreeAll();
    UTP_SetClockSource(nullptr);
    sCurrent = nullptr;
}

int Sim::AddEndpoint(const char* iIP, uint16_t iPort, bool iListen)
{
    std::unique_ptr<SimEndpoint> ep(new SimEndpoint());
    ep->fSim = this;
    ep->fId = int(fEndpoints.size());
    ep->fListen = iListen;
    std::memset(ep->fSockAddr, 0, sizeof ep->fSockAddr);
    sockaddr_in sin;
    sockaddr_in6 sin6;
    std::memset(&sin, 0, sizeof sin);
    std::memset(&sin6, 0, sizeof sin6);
    if (inet_pton(AF_INET, iIP, &sin.sin_addr) == 1)
    {
        sin.sin_family = AF_INET;
        sin.sin_port = htons(iPort);
        std::memcpy(ep->fSockAddr, &sin, sizeof sin);
        ep->fSockAddrLen = int(sizeof sin);
    }
    else if (inet_pton(AF_INET6, iIP, &sin6.sin6_addr) == 1)
    {
        sin6.sin6_family = AF_INET6;
        sin6.sin6_port = htons(iPort);
        std::memcpy(ep->fSockAddr, &sin6, sizeof sin6);
        ep->fSockAddrLen = int(sizeof sin6);
    }
    else
    {
        std::fprintf(stderr, "utpsim: bad address %s\n", iIP);
        std::abort();
    }
    const uint64_t key =
        spAddrKey(reinterpret_cast<const sockaddr*>(ep->fSockAddr), ep->fSockAddrLen);
    fEndpointByAddr[key] = ep->fId;
    fEndpoints.push_back(std::move(ep));
    return int(fEndpoints.size()) - 1;
}

void Sim::SetAccept(int iEndpoint, const AppConfig& iConfig)
{
    fEndpoints[iEndpoint]->fAccept = iConfig;
}

Sim::LinkState& Sim::pLink(int iFrom, int iTo)
{
    const uint64_t key = (uint64_t(uint32_t(iFrom)) << 32) | uint32_t(iTo);
    auto it = fLinks.find(key);
    if (it == fLinks.end())
    {
        it = fLinks.emplace(key, LinkState()).first;
        it->second.fConfig = fOptions.fDefaultLink;
    }
    return it->second;
}

LinkConfig& Sim::Link(int iFrom, int iTo)
{
    return pLink(iFrom, iTo).fConfig;
}

const LinkStats& Sim::Stats(int iFrom, int iTo)
{
    return pLink(iFrom, iTo).fStats;
}

void Sim::SetPath(int iA, int iB, const LinkConfig& iConfig)
{
    Link(iA, iB) = iConfig;
    Link(iB, iA) = iConfig;
}

SimConn* Sim::Connect(int iFrom, int iTo, const AppConfig& iConfig)
{
    UTP_SetVirtualClock(fNow);
    SimEndpoint* from = fEndpoints[iFrom].get();
    const SimEndpoint* to = fEndpoints[iTo].get();
    UTPSocket* s = UTP_Create(&SimCallbacks::sSendTo, from,
                              reinterpret_cast<const sockaddr*>(to->fSockAddr), to->fSockAddrLen);
    if (iConfig.fVersion != 1)
        UTP_SetOption(s, UTP_OPTION_VERSION, iConfig.fVersion);
    if (iConfig.fSndBuf)
        UTP_SetOption(s, UTP_OPTION_SNDBUF, iConfig.fSndBuf);
    if (iConfig.fRcvBuf)
        UTP_SetOption(s, UTP_OPTION_RCVBUF, iConfig.fRcvBuf);
    fConns.emplace_back(new SimConn(this, iFrom, s, iConfig, false));
    SimConn* conn = fConns.back().get();
    UTP_SetCallbacks(s, &SimConn::sCallbacks, conn);
    UTP_Connect(s);
    return conn;
}

void Sim::pAccept(SimEndpoint* iEndpoint, UTPSocket* iSocket)
{
    const AppConfig& cfg = iEndpoint->fAccept;
    if (cfg.fSndBuf)
        UTP_SetOption(iSocket, UTP_OPTION_SNDBUF, cfg.fSndBuf);
    if (cfg.fRcvBuf)
        UTP_SetOption(iSocket, UTP_OPTION_RCVBUF, cfg.fRcvBuf);
    fConns.emplace_back(new SimConn(this, iEndpoint->fId, iSocket, cfg, true));
    SimConn* conn = fConns.back().get();
    UTP_SetCallbacks(iSocket, &SimConn::sCallbacks, conn);
    conn->fConnected = true;
    conn->fConnectedAtUs = fNow;
    conn->pSchedulePump();
}

// ---------------------------------------------------------------------------------------------
// Datagrams

int Sim::pFindEndpoint(const sockaddr* iAddr, int iLen) const
{
    auto it = fEndpointByAddr.find(spAddrKey(iAddr, iLen));
    return it == fEndpointByAddr.end() ? -1 : it->second;
}

void Sim::pSend(SimEndpoint* iFrom, const uint8_t* iBytes, size_t iLength, const sockaddr* iTo,
                int iToLen)
{
    iFrom->fStats.fDatagramsOut++;
    if (sDatagramType(iBytes, iLength) == 0)
        iFrom->fStats.fDataOut++;
    const int to = pFindEndpoint(iTo, iToLen);
    if (to < 0)
        return;
    if (!fOptions.fProfile)
        return pTransmit(iFrom->fId, to, iBytes, iLength);
    const uint64_t t0 = spMonoNs();
    pTransmit(iFrom->fId, to, iBytes, iLength);
    (fInTimeoutCheck ? fTimeoutSendNs : iFrom->fStats.fSendNs) += spMonoNs() - t0;
}

void Sim::Inject(int iFrom, int iTo, const uint8_t* iBytes, size_t iLength)
{
    pTransmit(iFrom, iTo, iBytes, iLength);
}

uint32_t Sim::pTakeSlot()
{
    if (fFreePackets.empty())
    {
        fPackets.emplace_back();
        return uint32_t(fPackets.size() - 1);
    }
    const uint32_t slot = fFreePackets.back();
    fFreePackets.pop_back();
    return slot;
}

void Sim::DeliverNow(int iFrom, int iTo, const uint8_t* iBytes, size_t iLength)
{
    const uint32_t slot = pTakeSlot();
    Datagram& d = fPackets[slot];
    d.fFrom = iFrom;
    d.fTo = iTo;
    d.fIndex = 0;
    d.fBytes.assign(iBytes, iBytes + iLength);
    UTP_SetVirtualClock(fNow);
    pDeliver(slot);
}

void Sim::pTransmit(int iFrom, int iTo, const uint8_t* iBytes, size_t iLength)
{
    LinkState& link = pLink(iFrom, iTo);
    link.fStats.fSent++;
    link.fStats.fBytes += iLength;
    Datagram& d = fScratch;
    d.fFrom = iFrom;
    d.fTo = iTo;
    d.fIndex = link.fCount++;
    d.fBytes.assign(iBytes, iBytes + iLength);
    if (fFilter && fFilter(d) == Verdict::kDrop)
    {
        link.fStats.fFiltered++;
        pTrace("drop", d);
        return;
    }
    const bool spared = d.fIndex < link.fConfig.fSpareFirst;
    if (!spared && fRng.Chance(link.fConfig.fLoss))
    {
        link.fStats.fLost++;
        pTrace("lost", d);
        return;
    }
    pQueueDelivery(link, d, spared);
}

// Schedules the arrival of one datagram (twice when duplicated) through the link's bottleneck,
// propagation delay, jitter and reordering.
void Sim::pQueueDelivery(LinkState& ioLink, const Datagram& iDatagram, bool iSpared)
{
    const LinkConfig& cfg = ioLink.fConfig;
    const size_t size = iDatagram.fBytes.size();
    const int copies = (!iSpared && fRng.Chance(cfg.fDuplicate)) ? 2 : 1;
    if (copies == 2)
        ioLink.fStats.fDuplicated++;
    for (int c = 0; c < copies; ++c)
    {
        uint64_t at = fNow;
        if (cfg.fRateBytesPerSec)
        {
            const uint64_t start = std::max(fNow, ioLink.fBusyUntil);
            const uint64_t backlog = (start - fNow) * cfg.fRateBytesPerSec / 1000000;
            if (cfg.fQueueLimitBytes && backlog + size > cfg.fQueueLimitBytes)
            {
                ioLink.fStats.fQueueDrops++;
                continue;
            }
            ioLink.fStats.fMaxQueueUs = std::max(ioLink.fStats.fMaxQueueUs, start - fNow);
            ioLink.fBusyUntil =
                start + (size * 1000000 + cfg.fRateBytesPerSec - 1) / cfg.fRateBytesPerSec;
            at = ioLink.fBusyUntil;
        }
        at += cfg.fDelayUs + fRng.Below(cfg.fJitterUs + 1);
        if (!iSpared && fRng.Chance(cfg.fReorder))
        {
            ioLink.fStats.fHeldBack++;
            at += cfg.fReorderUs;
        }
        const uint32_t slot = pTakeSlot();
        Datagram& d = fPackets[slot];
        d.fFrom = iDatagram.fFrom;
        d.fTo = iDatagram.fTo;
        d.fIndex = iDatagram.fIndex;
        d.fBytes.assign(iDatagram.fBytes.begin(), iDatagram.fBytes.end());
        pPush(at, kDeliver, slot);
    }
}

void Sim::pDeliver(uint32_t iSlot)
{
    // The engine may send (and so grow the slab) while it reads this datagram: work on bytes
    // taken out of the slab, and give the buffer back afterwards to keep its capacity.
    std::vector<uint8_t> bytes;
    bytes.swap(fPackets[iSlot].fBytes);
    const int fromId = fPackets[iSlot].fFrom;
    SimEndpoint* to = fEndpoints[fPackets[iSlot].fTo].get();
    const SimEndpoint* from = fEndpoints[fromId].get();
    pLink(fromId, to->fId).fStats.fDelivered++;
    if (fOptions.fTrace)
    {
        fPackets[iSlot].fBytes.swap(bytes);
        pTrace("recv", fPackets[iSlot]);
        fPackets[iSlot].fBytes.swap(bytes);
    }
    if (fTap)
    {
        fPackets[iSlot].fBytes.swap(bytes);
        fTap(fPackets[iSlot]);
        fPackets[iSlot].fBytes.swap(bytes);
    }
    to->fStats.fDatagramsIn++;
    const uint64_t t0 = fOptions.fProfile ? spMonoNs() : 0;
    const bool utp = UTP_ProcessDatagram(
        to->fListen ? &SimCallbacks::sIncoming : nullptr, &SimCallbacks::sSendTo, to, bytes.data(),
        bytes.size(), reinterpret_cast<const sockaddr*>(from->fSockAddr), from->fSockAddrLen);
    if (fOptions.fProfile)
        to->fStats.fProcessNs += spMonoNs() - t0;
    if (!utp)
        to->fStats.fNotUtp++;
    fPackets[iSlot].fBytes.swap(bytes);
    fFreePackets.push_back(iSlot);
    if (fOptions.fCheckAfterDatagram)
        pCheckTimeouts();
}

// ---------------------------------------------------------------------------------------------
// Events

// Heap order: earliest time first, and events of one time in the order they were made.
bool Sim::pLater(const Event& iA, const Event& iB)
{
    return iA.fAt != iB.fAt ? iA.fAt > iB.fAt : iA.fSeq > iB.fSeq;
}

void Sim::pPush(uint64_t iAt, uint32_t iKind, uint32_t iSlot)
{
    fHeap.push_back(Event{iAt, fSeq++, iKind, iSlot});
    std::push_heap(fHeap.begin(), fHeap.end(), &Sim::pLater);
}

void Sim::At(uint64_t iAtUs, std::function<void()> iFn)
{
    uint32_t slot;
    if (fFreeCalls.empty())
    {
        slot = uint32_t(fCalls.size());
        fCalls.emplace_back();
    }
    else
    {
        slot = fFreeCalls.back();
        fFreeCalls.pop_back();
    }
    fCalls[slot] = std::move(iFn);
    pPush(std::max(iAtUs, fNow), kCall, slot);
}

void Sim::pCheckTimeouts()
{
    fTimeoutChecks++;
    const uint64_t t0 = fOptions.fProfile ? spMonoNs() : 0;
    fInTimeoutCheck = true;
    UTP_CheckTimeouts();
    fInTimeoutCheck = false;
    if (fOptions.fProfile)
        fTimeoutCheckNs += spMonoNs() - t0;
}

void Sim::pTick()
{
    pCheckTimeouts();
    pPush(fNow + fOptions.fTickUs, kTick, 0);
}

void Sim::pDispatch(const Event& iEvent)
{
    switch (iEvent.fKind)
    {
    case kDeliver:
        pDeliver(iEvent.fSlot);
        break;
    case kTick:
        pTick();
        break;
    default:
    {
        std::function<void()> fn = std::move(fCalls[iEvent.fSlot]);
        fCalls[iEvent.fSlot] = nullptr;
        fFreeCalls.push_back(iEvent.fSlot);
        fn();
        break;
    }
    }
}

bool Sim::RunUntil(const std::function<bool()>& iDone, uint64_t iMaxUs)
{
    const uint64_t deadline = fNow + iMaxUs;
    while (!iDone())
    {
        if (fHeap.empty() || fHeap.front().fAt > deadline)
        {
            fNow = std::max(fNow, deadline);
            UTP_SetVirtualClock(fNow);
            return false;
        }
        std::pop_heap(fHeap.begin(), fHeap.end(), &Sim::pLater);
        const Event e = fHeap.back();
        fHeap.pop_back();
        fNow = std::max(fNow, e.fAt); // events are late only after a Stall
        UTP_SetVirtualClock(fNow);
        fEventsRun++;
        pDispatch(e);
    }
    return true;
}

void Sim::Stall(uint64_t iUs)
{
    fNow += iUs;
    UTP_SetVirtualClock(fNow);
}

void Sim::RunFor(uint64_t iUs)
{
    RunUntil([] { return false; }, iUs);
}

bool Sim::RunUntilAllDestroyed(uint64_t iMaxUs)
{
    return RunUntil(
        [this]
        {
            for (const auto& c : fConns)
                if (!c->fDestroyed)
                    return false;
            return true;
        },
        iMaxUs);
}

void Sim::pTrace(const char* iWhat, const Datagram& iDatagram) const
{
    if (fOptions.fTrace)
        std::fprintf(stderr, "%12.6f %s %d->%d %s\n", double(fNow - fOptions.fStartUs) / 1e6, iWhat,
                     iDatagram.fFrom, iDatagram.fTo,
                     DescribeDatagram(iDatagram.fBytes.data(), iDatagram.fBytes.size()).c_str());
}

std::string Sim::DescribeDatagram(const uint8_t* iBytes, size_t iLength)
{
    static const char* const kTypes[] = {"DATA", "FIN", "STATE", "RESET", "SYN"};
    const size_t header = sDatagramHeaderSize(iBytes, iLength);
    const int type = sDatagramType(iBytes, iLength);
    char line[256];
    if (type < 0)
    {
        std::snprintf(line, sizeof line, "not uTP, %zu bytes", iLength);
        return line;
    }
    const bool v1 = header == 20;
    const uint32_t id = v1 ? (uint32_t(iBytes[2]) << 8 | iBytes[3])
                           : (uint32_t(iBytes[0]) << 24 | uint32_t(iBytes[1]) << 16 |
                              uint32_t(iBytes[2]) << 8 | iBytes[3]);
    const uint8_t* seq = iBytes + (v1 ? 16 : 19);
    const int ext = v1 ? iBytes[1] : iBytes[17];
    int n = std::snprintf(line, sizeof line, "v%d %-5s id %u seq %u ack %u len %zu", v1 ? 1 : 0,
                          kTypes[type], id, unsigned(seq[0] << 8 | seq[1]),
                          unsigned(seq[2] << 8 | seq[3]), iLength);
    if (ext == 1 && iLength >= header + 6)
        std::snprintf(line + n, sizeof line - size_t(n), " eack %02x%02x%02x%02x",
                      iBytes[header + 2], iBytes[header + 3], iBytes[header + 4],
                      iBytes[header + 5]);
    return line;
}

std::string Sim::Summary()
{
    std::string out;
    char line[512];
    std::snprintf(line, sizeof line, "virtual time %.3f s, %llu events, %zu engine records\n",
                  double(fNow - fOptions.fStartUs) / 1e6, (unsigned long long)fEventsRun,
                  UTP_GetConnectionCount());
    out += line;
    for (const auto& kv : fLinks)
    {
        const LinkStats& s = kv.second.fStats;
        std::snprintf(line, sizeof line,
                      "link %d->%d: sent %llu lost %llu filtered %llu qdrop %llu dup %llu held "
                      "%llu delivered %llu maxqueue %.1f ms\n",
                      int(kv.first >> 32), int(uint32_t(kv.first)), (unsigned long long)s.fSent,
                      (unsigned long long)s.fLost, (unsigned long long)s.fFiltered,
                      (unsigned long long)s.fQueueDrops, (unsigned long long)s.fDuplicated,
                      (unsigned long long)s.fHeldBack, (unsigned long long)s.fDelivered,
                      double(s.fMaxQueueUs) / 1000.0);
        out += line;
    }
    for (const auto& c : fConns)
        out += c->Describe() + "\n";
    return out;
}

} // namespace quillane::UTP::Sim
