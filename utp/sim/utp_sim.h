// Network simulator for the uTP engine.
//
// Endpoints (an IPv4 or IPv6 address and a port each, like one UDP socket of an application)
// exchange datagrams over modelled one-way links: propagation delay, jitter, a bottleneck rate with
// an optional tail-drop queue, random loss, duplication and reordering, all drawn from one seeded
// generator. Events (datagram arrivals, the runner's timer ticks, application steps) run in order
// of virtual time on the engine's virtual clock, so minutes of protocol run in milliseconds and
// every run with the same seed replays exactly.
//
// Each connection has an application side (SimConn) that plays what the stream layer does: it
// writes a generated stream through the write callback, checks every received byte against the
// peer's generated stream, drains its read buffer, and closes when its work is done.
//
// Invariants:
// - One Sim at a time per process: the engine's state is process-wide. A Sim frees every engine
//   record (UTP_FreeAll) when it starts and when it ends, so nothing leaks from one run into the
//   next; a SimConn's socket pointer is valid only while the Sim lives.
// - The simulator never calls into the engine from inside an engine callback, except
//   UTP_SetCallbacks for an accepted connection (as the real runner does). Callbacks schedule
//   application steps instead.
// Threads: single-threaded; everything runs on the thread that calls Run*.
//
// Typical use (UTPSIM_TRACE=1 in the environment prints every datagram with its virtual time):
//   Sim sim;
//   const int a = sim.AddEndpoint("127.0.0.1", 4000, false);
//   const int b = sim.AddEndpoint("127.0.0.2", 4000, true);
//   sim.SetPath(a, b, link);
//   sim.SetAccept(b, serverApp);
//   SimConn* c = sim.Connect(a, b, clientApp);
//   ASSERT_TRUE(sim.RunUntilAllDestroyed(60000000)) << sim.Summary();
//   EXPECT_TRUE(c->Complete()) << c->Describe();

#ifndef QUILLANE_UTP_SIM_UTP_SIM_H
#define QUILLANE_UTP_SIM_UTP_SIM_H

#include "utp/engine/utp.h"
#include "utp/sim/sim_util.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace quillane::UTP::Sim
{

class Sim;

// One direction of a path between two endpoints.
struct LinkConfig
{
    uint64_t fDelayUs = 10000;     // propagation delay
    uint64_t fJitterUs = 0;        // extra delay, uniform in [0, fJitterUs]
    uint64_t fRateBytesPerSec = 0; // bottleneck rate; 0 = unlimited
    uint64_t fQueueLimitBytes = 0; // tail drop when the rate queue holds more; 0 = unbounded
    double fLoss = 0;              // probability that a datagram is lost
    double fDuplicate = 0;         // probability that a datagram arrives twice
    double fReorder = 0;           // probability that a datagram is held back by fReorderUs
    uint64_t fReorderUs = 30000;   //
    uint64_t fSpareFirst = 0;      // the first datagrams are never lost, duplicated or held
};

struct LinkStats
{
    uint64_t fSent = 0;       // datagrams handed to the link
    uint64_t fFiltered = 0;   // dropped by the test's filter
    uint64_t fLost = 0;       // random loss
    uint64_t fQueueDrops = 0; // tail drop at the bottleneck
    uint64_t fDuplicated = 0; //
    uint64_t fHeldBack = 0;   // reordered
    uint64_t fDelivered = 0;  //
    uint64_t fBytes = 0;      // bytes handed to the link
    uint64_t fMaxQueueUs = 0; // longest wait in the bottleneck queue
};

// A datagram on its way. Filters may change its bytes.
struct Datagram
{
    int fFrom;
    int fTo;
    uint64_t fIndex; // position among the datagrams sent on this link, from 0
    std::vector<uint8_t> fBytes;
};

enum class Verdict
{
    kDeliver,
    kDrop
};

// Calls an application may make from inside the engine's callbacks.
enum : unsigned
{
    kReenterWrite = 1, // writes from the connected and writable reports
    kReenterDrain = 2, // drains from the read callback
    kReenterClose = 4, // closes from the read callback (after fCloseAfterBytes) and on errors
};

enum class CloseWhen
{
    kNever,     // only SimConn::Close
    kAfterSend, // once every byte to send was taken by the engine
    kWhenDone   // once everything was sent and the expected bytes (or the end of stream) arrived
};

// What the application on one side of a connection does.
struct AppConfig
{
    uint64_t fSendBytes = 0;   // length of the stream this side writes
    uint64_t fSendSeed = 1;    // its content (Pattern seed)
    uint64_t fExpectBytes = 0; // length of the stream it expects to receive
    uint64_t fExpectSeed = 2;  // its content
    bool fVerify = true;       // hash both streams, check the received length
    bool fCheckContent = true; // with fVerify: compare received bytes with fExpectSeed
    size_t fWriteChunk = 0;    // bytes offered per UTP_Write; 0 = everything left
    CloseWhen fClose = CloseWhen::kWhenDone;
    bool fCloseOnError = true;         // an error report makes the application close
    bool fReportReadBuffer = false;    // answer the unread byte count (else 0, like the runner)
    long long fReadBufferAnswer = -1;  // when 0 or more: the answer, whatever is unread
    uint64_t fReadRateBytesPerSec = 0; // application read rate; 0 = reads at once
    int fVersion = 1;                  // header version of an outgoing connection
    int fSndBuf = 0;                   // UTP_OPTION_SNDBUF when not 0
    int fRcvBuf = 0;                   // UTP_OPTION_RCVBUF when not 0
    // Engine calls made from inside callbacks instead of in later steps (kReenter* bits).
    unsigned fReenter = 0;
    uint64_t fCloseAfterBytes = 0; // with kReenterClose: close inside the read callback then
};

// The application side of one connection, and everything observed on it.
class SimConn
{
  public:
    SimConn(Sim* iSim, int iEndpoint, UTPSocket* iSocket, const AppConfig& iConfig, bool iIncoming);

    static const UTPCallbacks sCallbacks;

    // Application calls (never from inside an engine callback).
    void Close();
    void Pump();  // offers what is left to write
    void Drain(); // consumes unread bytes per the read rate
    // A paused application reads nothing; unread bytes pile up (and, when reported, close the
    // window) until it resumes.
    void PauseReading(bool iPaused);

    // True once the engine reported the connection destroyed.
    bool Destroyed() const { return fDestroyed; }
    // True when every byte was written, the whole expected stream arrived intact and the
    // connection is gone.
    bool Complete() const;
    std::string Describe() const;

    Sim* fSim;
    int fEndpoint;
    UTPSocket* fSocket; // null once destroyed
    AppConfig fConfig;
    bool fIncoming;

    bool fConnected = false;
    bool fEof = false;
    bool fDestroyed = false;
    bool fCloseCalled = false;
    std::vector<int> fStates;         // every state change reported, in order
    std::vector<int> fErrors;         // every error code reported, in order
    std::vector<std::string> fFaults; // contract violations seen by the application

    uint64_t fWritten = 0;   // bytes taken by the engine through the write callback
    uint64_t fReceived = 0;  // bytes delivered through the read callback
    uint64_t fUnread = 0;    // delivered but not yet consumed by the application
    uint64_t fMaxUnread = 0; //
    uint64_t fSendHash = kFnvOffset;
    uint64_t fRecvHash = kFnvOffset;
    long long fFirstMismatch = -1; // stream offset of the first wrong byte received
    uint64_t fOverheadSent[6] = {};
    uint64_t fOverheadRecv[6] = {};
    uint64_t fConnectedAtUs = 0, fEofAtUs = 0, fDestroyedAtUs = 0, fDoneReceivingAtUs = 0;

  private:
    friend class Sim;
    friend struct SimConnCallbacks;
    void pOnRead(const uint8_t* iBytes, size_t iCount);
    void pOnWrite(uint8_t* oDest, size_t iCount);
    size_t pReadBufferSize();
    void pOnStateChange(int iState);
    void pOnError(int iCode);
    void pOnOverhead(bool iSend, size_t iCount, int iCategory);
    void pFault(const std::string& iWhat);
    void pMaybeClose();
    void pSchedulePump();
    void pPumpNowOrLater();
    void pScheduleDrain(uint64_t iDelayUs);

    Pattern fSendPattern;
    Pattern fExpectPattern;
    size_t fOffered = 0;        // bytes the current UTP_Write may still pull
    std::vector<uint8_t> fSink; // where a reader that does not verify puts the bytes
    bool fReadPaused = false;
    bool fInWrite = false; // inside UTP_Write
    bool fPumpPending = false;
    bool fDrainPending = false;
};

// Cost accounting of one endpoint, filled when Options::fProfile is set.
struct SimEndpointStats
{
    uint64_t fDatagramsIn = 0;
    uint64_t fDatagramsOut = 0;
    uint64_t fDataOut = 0;   // datagrams sent with payload (ST_DATA)
    uint64_t fNotUtp = 0;    // datagrams UTP_ProcessDatagram refused
    uint64_t fProcessNs = 0; // time inside UTP_ProcessDatagram
    uint64_t fWriteNs = 0;   // time inside UTP_Write
    uint64_t fSendNs = 0;    // of which the simulated network took in the send callback
};

// One simulated UDP socket: its address, whether it accepts connections, and its counters. The
// engine's send user data for every connection made on it.
struct SimEndpoint
{
    Sim* fSim;
    int fId;
    uint8_t fSockAddr[UTP_SOCKADDR_MAX];
    int fSockAddrLen;
    bool fListen;
    AppConfig fAccept; // application of every connection it accepts
    SimEndpointStats fStats;
};

class Sim
{
  public:
    struct Options
    {
        uint64_t fSeed = 1;
        uint64_t fStartUs = 1000000000;  // virtual clock at start (1000 s)
        uint64_t fTickUs = 50000;        // UTP_CheckTimeouts period, as the runner's select
        bool fCheckAfterDatagram = true; // also after every datagram, as the runner does
        bool fProfile = false;           // time engine calls into SimEndpointStats
        bool fTrace = false;             // one stderr line per datagram (also UTPSIM_TRACE=1)
        LinkConfig fDefaultLink;         // for links not configured explicitly
    };

    explicit Sim(const Options& iOptions);
    Sim() : Sim(Options()) {}
    ~Sim();
    Sim(const Sim&) = delete;
    Sim& operator=(const Sim&) = delete;

    // Endpoints: "127.0.0.1" or "::1", and a port. A listening endpoint accepts incoming
    // connections and gives each an application configured by SetAccept.
    int AddEndpoint(const char* iIP, uint16_t iPort, bool iListen = true);
    void SetAccept(int iEndpoint, const AppConfig& iConfig);
    SimEndpoint& GetEndpoint(int iEndpoint) { return *fEndpoints[iEndpoint]; }

    // The link from iFrom to iTo (created with the default configuration on first use).
    LinkConfig& Link(int iFrom, int iTo);
    const LinkStats& Stats(int iFrom, int iTo);
    // Sets both directions between two endpoints.
    void SetPath(int iA, int iB, const LinkConfig& iConfig);

    // Creates and connects a connection from iFrom to iTo; its application follows iConfig.
    SimConn* Connect(int iFrom, int iTo, const AppConfig& iConfig);
    const std::vector<std::unique_ptr<SimConn>>& Conns() const { return fConns; }

    // Called for every datagram as it is sent, before the link model; may change it or drop it.
    void SetFilter(std::function<Verdict(Datagram&)> iFilter) { fFilter = std::move(iFilter); }
    // Called for every datagram as it arrives, before the engine sees it.
    void SetTap(std::function<void(const Datagram&)> iTap) { fTap = std::move(iTap); }
    // Puts a datagram on the link from iFrom to iTo as if iFrom had sent it.
    void Inject(int iFrom, int iTo, const uint8_t* iBytes, size_t iLength);
    // Hands a datagram from iFrom to iTo's engine at once, bypassing the link.
    void DeliverNow(int iFrom, int iTo, const uint8_t* iBytes, size_t iLength);

    // Runs events until iDone holds (checked after every event) or iMaxUs of virtual time has
    // passed. Returns whether iDone held.
    bool RunUntil(const std::function<bool()>& iDone, uint64_t iMaxUs);
    void RunFor(uint64_t iUs);
    // Runs until every connection is destroyed.
    bool RunUntilAllDestroyed(uint64_t iMaxUs);

    // Moves the clock on by iUs without running anything, like a runner that was not scheduled
    // (a suspended process): what fell due meanwhile runs late, in order, at the next Run*.
    void Stall(uint64_t iUs);

    // Runs iFn at virtual time iAtUs (not before now).
    void At(uint64_t iAtUs, std::function<void()> iFn);
    uint64_t Now() const { return fNow; }
    Rng& Random() { return fRng; }
    const Options& GetOptions() const { return fOptions; }
    uint64_t EventsRun() const { return fEventsRun; }
    uint64_t TimeoutChecks() const { return fTimeoutChecks; }
    uint64_t TimeoutCheckNs() const { return fTimeoutCheckNs; }
    // Of TimeoutCheckNs, the time the simulated network took in the send callback.
    uint64_t TimeoutSendNs() const { return fTimeoutSendNs; }

    // One line per link and connection, for failure messages.
    std::string Summary();
    // One line describing a uTP datagram: version, type, id, seq_nr, ack_nr, length, EACK.
    static std::string DescribeDatagram(const uint8_t* iBytes, size_t iLength);

  private:
    friend class SimConn;
    friend struct SimCallbacks;

    struct LinkState
    {
        LinkConfig fConfig;
        LinkStats fStats;
        uint64_t fBusyUntil = 0; // when the bottleneck finishes the last queued datagram
        uint64_t fCount = 0;
    };
    struct Event
    {
        uint64_t fAt;
        uint64_t fSeq;
        uint32_t fKind;
        uint32_t fSlot;
    };
    enum : uint32_t
    {
        kDeliver,
        kTick,
        kCall
    };

    static bool pLater(const Event& iA, const Event& iB);
    LinkState& pLink(int iFrom, int iTo);
    int pFindEndpoint(const sockaddr* iAddr, int iLen) const;
    void pSend(SimEndpoint* iFrom, const uint8_t* iBytes, size_t iLength, const sockaddr* iTo,
               int iToLen);
    void pTransmit(int iFrom, int iTo, const uint8_t* iBytes, size_t iLength);
    void pQueueDelivery(LinkState& ioLink, const Datagram& iDatagram, bool iSpared);
    uint32_t pTakeSlot();
    void pPush(uint64_t iAt, uint32_t iKind, uint32_t iSlot);
    void pDispatch(const Event& iEvent);
    void pDeliver(uint32_t iSlot);
    void pTick();
    void pTrace(const char* iWhat, const Datagram& iDatagram) const;
    void pCheckTimeouts();
    void pAccept(SimEndpoint* iEndpoint, UTPSocket* iSocket);

    Options fOptions;
    Rng fRng;
    uint64_t fNow;
    uint64_t fSeq = 0;
    uint64_t fEventsRun = 0;
    uint64_t fTimeoutChecks = 0;
    uint64_t fTimeoutCheckNs = 0;
    uint64_t fTimeoutSendNs = 0;
    bool fInTimeoutCheck = false;
    std::vector<Event> fHeap;
    std::vector<std::unique_ptr<SimEndpoint>> fEndpoints;
    std::unordered_map<uint64_t, int> fEndpointByAddr;
    std::unordered_map<uint64_t, LinkState> fLinks;
    std::vector<std::unique_ptr<SimConn>> fConns;

    // Slabs of in-flight datagrams and pending calls, recycled through free lists so that the
    // steady state allocates nothing.
    std::vector<Datagram> fPackets;
    std::vector<uint32_t> fFreePackets;
    std::vector<std::function<void()>> fCalls;
    std::vector<uint32_t> fFreeCalls;

    Datagram fScratch; // the datagram being sent, as the filter sees it
    std::function<Verdict(Datagram&)> fFilter;
    std::function<void(const Datagram&)> fTap;
};

// Summary of the bytes on the wire, read without the engine: the packet type of a uTP datagram of
// either version (0 to 4), or -1 when it is not a uTP packet.
int sDatagramType(const uint8_t* iBytes, size_t iLength);
// Header size of a uTP datagram (20 or 23), or 0 when it is not a uTP packet.
size_t sDatagramHeaderSize(const uint8_t* iBytes, size_t iLength);

} // namespace quillane::UTP::Sim

#endif // QUILLANE_UTP_SIM_UTP_SIM_H
