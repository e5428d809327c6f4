// The layer that drives the uTP engine over the application's UDP sockets and hands each
// connection out as a blocking byte stream.
//
// - Ubermeister: the one process-wide object. It owns the lock fMtx under which every piece of
//   state below lives and every engine call is made, the one broadcast condition fCnd that every
//   blocked caller waits on, the registry of Endpoints (one per socket, each knowing its
//   Managers), and the runner thread that waits on all registered sockets, feeds each datagram
//   (unmasked) to the engine and runs the engine's timers after every pass (so at least every
//   50 ms while any socket is registered). It is the target of every engine callback.
//
//   While a thread holds fMtx, the datagrams the engine sends are masked into an Outbox and the
//   broadcasts it asks for are noted. The thread settles (pSettle) before it waits on fCnd,
//   before the runner waits for its sockets, and when its outermost acquisition ends: it sends
//   the Outbox and then broadcasts once (right after giving fMtx up, where it gives it up). So
//   one engine call or one runner pass hands its datagrams to the system in batches and wakes
//   the waiters once, and nothing is held back across a wait. Peers get the same datagrams in
//   the same order, at most one pass later; waiters cannot tell, as they could not have run
//   before fMtx was given up anyway.
// - Endpoint: one per socket descriptor in use. It is the engine's name for the local socket
//   (the send user data of every connection over it, so connections of different sockets never
//   match each other's datagrams) and holds the socket's queue of incoming connections.
// - Manager: one per call that hands a socket in. Accepting (MakeStreamerRW) takes the oldest
//   incoming connection queued on its socket, whichever Manager of the socket read it; Connect
//   opens an outgoing connection through its socket.
// - StreamerRW: one per connection, a ZStreamR, a ZStreamW and a ZStreamerRW at once. A read
//   waits until a byte is there or none can come; a write waits until the engine took every byte
//   or the connection can take no more.
//
// Bounds on what a peer can make grow: each socket queues at most kBacklog incoming connections
// (while full, SYNs are dropped before the engine creates anything); a stream's queue of received
// bytes is reported to the engine, so its advertised window closes while the reader is slow, and
// a peer that sends beyond the window past kReceiveLimit fails its stream.
//
// Threads: the runner thread and any number of caller threads. Lock order: fMtx, then at most the
// log sink's mutex or fCnd's own inner mutex (fCnd is also broadcast without fMtx). The Python
// interpreter lock is never requested while fMtx is held. The engine calls back on the thread that
// called into it, always with fMtx held.
//
// Lifetimes: a StreamerRW is held by its callers, by its socket's pending queue until taken, and
// by its engine connection (one reference, taken when the connection gets the stream's callbacks
// and given back when the engine reports the connection destroyed). A Manager is held by its
// streams, by the caller that made it and, during one pass, by the runner. An Endpoint is held by
// its Managers. All three decide their own death under fMtx (Finalize), since the runner and the
// engine find them there; the socket is polled as long as its Endpoint has a registered Manager.

#ifndef QUILLANE_UTP_RUNTIME_STREAMERRW_UTP_H
#define QUILLANE_UTP_RUNTIME_STREAMERRW_UTP_H

#include "engine/utp.h"
#include "runtime/ByteQueue.h"
#include "runtime/Outbox.h"

#include "morvek/ZStream.h"
#include "morvek/ZThread.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace quillane
{

// What UTP_Make does once its arguments are converted: registers a Manager for iSocket, then
// accepts (iListen) or connects to iHost (a name or dotted IPv4 address) at the low 16 bits of
// iPort. Null when the host yields no IPv4 address. Throws std::runtime_error for a descriptor
// that is not an open socket, std::bad_alloc when the runner cannot be started.
Morvek::ZRef<Morvek::ZStreamerRW> sUTP_Make(int iSocket, const std::string& iHost, int iPort,
                                            bool iListen);

// Starts closing the stream's connection (when it is a uTP stream).
void sUTP_Close(const Morvek::ZRef<Morvek::ZStreamerRW>& iStreamerRW);

namespace UTP
{

// Socket buffers are raised to what a request for this many bytes gives.
const int kSocketBufferSize = 131072;
// Incoming connections queued on one socket and not yet taken.
const size_t kBacklog = 128;
// Datagrams read from one socket in one pass of the runner, so that timers run between passes.
const size_t kDatagramsPerPass = 64;
// Datagrams read from a socket with one call, at most (each into a buffer of kDatagramCapacity;
// only the pages a datagram fills are ever touched).
const size_t kReceiveBatch = 32;
// Received bytes a stream may hold: twice the largest window the engine advertises (3.5 MiB),
// rounded up. Only a peer that ignores the window gets there.
const size_t kReceiveLimit = 8 * 1024 * 1024;
// Room for the largest UDP datagram.
const size_t kDatagramCapacity = 65536;
// The runner's longest wait for readable sockets, and an idle runner's longest sleep.
const uint32_t kPollMilliseconds = 50;
const double kIdleSeconds = 1.0;
// A write whose window is full tries again at least this often.
const double kWriteRetrySeconds = 1.0;

// Values of StreamerRW's state. 1 to 4 are the engine's reports as they arrive.
enum
{
    eState_Opening = 0,   // outgoing, not yet answered
    eState_Connected = 1, // STATE_CHANGE_CONNECTED
    eState_Writable = 2,  // STATE_CHANGE_WRITABLE; also every incoming connection at once
    eState_EOF = 3,       // the peer has finished sending
    eState_Destroyed = 4, // the engine connection is gone
    eState_Failed = 5     // any engine error
};

class Endpoint;
class Manager;
class StreamerRW;

// =================================================================================================

class Ubermeister : public Morvek::ZCounted
{
  public:
    // The one Ubermeister, made (and its runner started) by the first call; it lives as long as
    // the process, since its runner is never stopped. Throws std::bad_alloc when the runner
    // cannot be started; a later call tries again.
    static Ubermeister& sGet();

    // Raises the socket's buffers, registers a new Manager for it (waking an idle runner) and
    // returns it. Throws std::runtime_error when iSocket is not an open socket.
    Morvek::ZRef<Manager> pMakeManager(int iSocket);

    // Diagnostics (each takes fMtx): registered Managers, connections queued on a socket, live
    // engine connections, datagrams batched and not yet handed to the system (0 whenever fMtx is
    // free, as every holder settles before it gives fMtx up).
    size_t CountManagers();
    size_t CountPending(int iSocket);
    size_t CountConnections();
    size_t CountUnsent();

  private:
    friend class Endpoint;
    friend class Manager;
    friend class StreamerRW;

    Ubermeister();
    ~Ubermeister() override;
    void Initialize() override;

    // fMtx as this layer takes it: counts the acquisitions (fLockDepth), and the outermost one
    // settles before it gives fMtx up.
    class Lock
    {
      public:
        explicit Lock(Ubermeister& iUbermeister);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

      private:
        Ubermeister& fUbermeister;
    };

    // Gives fMtx up entirely (settled first) for its lifetime, and takes it back at the same
    // depth: the runner's wait for its sockets.
    class Unlock
    {
      public:
        explicit Unlock(Ubermeister& iUbermeister);
        ~Unlock();
        Unlock(const Unlock&) = delete;
        Unlock& operator=(const Unlock&) = delete;

      private:
        Ubermeister& fUbermeister;
        const int fDepth;
    };

    // With fMtx held. pSettle sends the outbox and answers whether the broadcast that pWake
    // asked for is owed (the caller makes it: after giving fMtx up, or before it waits); pWait
    // and pWaitFor settle, broadcast and then wait on fCnd (pWaitFor answers false when the span
    // ran out).
    bool pSettle() noexcept;
    void pSendOutbox() noexcept;
    void pWake();
    void pWait();
    bool pWaitFor(double iSeconds);

    // The runner.
    static void spRunner(void* iUbermeister);
    void pRunner();
    void pTakeSnapshot();
    void pReceive(size_t iIndex);
    void pProcess(Endpoint* iEndpoint, Morvek::Platform::ReceiveSlot& ioSlot);
    void pAbandonIncoming(Endpoint* iEndpoint, UTPSocket* iUTPSocket);

    // Engine callbacks: static entries (user data first) and the members they call.
    static void spSendToProc(void* iEndpoint, const uint8_t* iBytes, size_t iLength,
                             const sockaddr* iAddress, int iAddressLength);
    static void spUTPGotIncomingConnection(void* iEndpoint, UTPSocket* iUTPSocket);
    static void spUTPOnReadProc(void* iStreamerRW, const uint8_t* iBytes, size_t iCount);
    static void spUTPOnWriteProc(void* iStreamerRW, uint8_t* oDest, size_t iCount);
    static size_t spUTPGetReadBufferSizeProc(void* iStreamerRW);
    static void spUTPOnStateChangeProc(void* iStreamerRW, int iState);
    static void spUTPOnErrorProc(void* iStreamerRW, int iErrorCode);
    static void spUTPOnOverheadProc(void* iStreamerRW, bool iSend, size_t iCount, int iCategory);
    static const UTPCallbacks sCallbacks;

    void pSendToProc(Endpoint* iEndpoint, const uint8_t* iBytes, size_t iLength,
                     const sockaddr* iAddress, int iAddressLength);
    void pUTPGotIncomingConnection(Endpoint* iEndpoint, UTPSocket* iUTPSocket);
    void pUTPOnReadProc(StreamerRW* iStreamerRW, const uint8_t* iBytes, size_t iCount);
    void pUTPOnWriteProc(StreamerRW* iStreamerRW, uint8_t* oDest, size_t iCount);
    size_t pUTPGetReadBufferSizeProc(StreamerRW* iStreamerRW);
    void pUTPOnStateChangeProc(StreamerRW* iStreamerRW, int iState);
    void pUTPOnErrorProc(StreamerRW* iStreamerRW);

    // Stream and manager operations.
    Morvek::ZRef<StreamerRW> pConnect(Manager* iManager, const sockaddr* iAddress,
                                      int iAddressLength);
    Morvek::ZRef<StreamerRW> pMakeStreamerRW(Manager* iManager);
    size_t pWaitReadable(StreamerRW* iStreamerRW);
    void pRead(StreamerRW* iStreamerRW, void* oDest, size_t iCount, size_t* oCountRead);
    size_t pReadAvailable(StreamerRW* iStreamerRW, size_t iMaxCount,
                          std::unique_ptr<uint8_t[]>& oBytes);
    void pTook(StreamerRW* iStreamerRW);
    void pWrite(StreamerRW* iStreamerRW, const void* iSource, size_t iCount, size_t* oCountWritten);
    void pClose(StreamerRW* iStreamerRW);
    void pFinalize(StreamerRW* iStreamerRW);
    void pFinalize(Manager* iManager);
    void pFinalize(Endpoint* iEndpoint);

    // Helpers, all with fMtx held.
    bool pWritable(const StreamerRW* iStreamerRW) const;
    void pCloseConnection(StreamerRW* iStreamerRW);
    void pFail(StreamerRW* iStreamerRW);
    void pDropPending(StreamerRW* iStreamerRW);

    Morvek::ZRecursiveMutex fMtx;
    Morvek::ZCondition fCnd;
    std::map<int, Endpoint*> fEndpoints; // by descriptor; no references held

    // Under fMtx (see Lock and pSettle).
    int fLockDepth; // Lock's acquisitions by the holder; 0 while fMtx is free or given up
    bool fWakeDue;  // a broadcast is owed to fCnd's waiters
    Outbox fOutbox; // datagrams sent since the holder last settled

    // The runner's own, reused from pass to pass (touched only by the runner, under fMtx).
    std::vector<int> fPollSockets;
    std::vector<uint8_t> fPollReady;
    std::vector<Morvek::ZRef<Manager>> fPollManagers; // one per polled socket, in step
    std::vector<uint64_t> fPollRegistrations;         // each Endpoint's fRegistrations, in step
    std::unique_ptr<uint8_t[]> fReceiveBytes; // kReceiveBatch buffers, kDatagramCapacity each
    std::vector<Morvek::Platform::ReceiveSlot> fReceiveSlots; // one per buffer
};

// =================================================================================================

class Endpoint : public Morvek::ZCounted
{
  public:
    explicit Endpoint(int iSocket);
    ~Endpoint() override;

    void Finalize() override;

  private:
    friend class Manager;
    friend class Ubermeister;

    // All under fMtx, except fSocket.
    const int fSocket;                             // the application's; never closed here
    std::set<Manager*> fManagers;                  // registered; no references held
    std::deque<Morvek::ZRef<StreamerRW>> fPending; // incoming, oldest first, at most kBacklog
    bool fInvalid; // not an open descriptor: not polled until a Manager is registered again
    uint64_t fRegistrations; // Managers registered so far (a new socket may reuse a descriptor)
};

// =================================================================================================

class Manager : public Morvek::ZStreamerRWFactory
{
  public:
    explicit Manager(const Morvek::ZRef<Endpoint>& iEndpoint);
    ~Manager() override;

    // Waits, with no time limit, for an incoming connection on this socket and takes the oldest.
    Morvek::ZRef<Morvek::ZStreamerRW> MakeStreamerRW() override;

    // Opens a connection to the address and waits until the engine has connected or given up;
    // the stream is returned either way (a failed one reads nothing and takes no bytes).
    Morvek::ZRef<StreamerRW> Connect(const sockaddr* iAddress, int iAddressLength);

    void Finalize() override;

    int GetSocket() const;

  private:
    friend class Ubermeister;

    const Morvek::ZRef<Endpoint> fEndpoint;
    bool fRegistered; // in its Endpoint's set (under fMtx)
};

// =================================================================================================

class StreamerRW : public Morvek::ZStreamerRW, private Morvek::ZStreamR, private Morvek::ZStreamW
{
  public:
    StreamerRW(const Morvek::ZRef<Manager>& iManager, UTPSocket* iUTPSocket);
    ~StreamerRW() override;

    const Morvek::ZStreamR& GetStreamR() override;
    const Morvek::ZStreamW& GetStreamW() override;

    // Waits like a read, then moves up to iMaxCount bytes into a new buffer of exactly as many
    // bytes as were there (so a huge count allocates nothing more). Returns the count; 0 when
    // the stream has ended (oBytes untouched then). Throws std::bad_alloc, taking nothing.
    size_t ReadAvailable(size_t iMaxCount, std::unique_ptr<uint8_t[]>& oBytes);

    // Starts closing the connection. Further reads return what is queued, then end; a write in
    // progress returns its count. A second Close does nothing.
    void Close();

    void Finalize() override;

    // Diagnostics (each takes fMtx).
    int GetState();
    size_t CountQueued();

  private:
    friend class Ubermeister;

    void Imp_Read(void* oDest, size_t iCount, size_t* oCountRead) override;
    void Imp_Write(const void* iSource, size_t iCount, size_t* oCountWritten) override;

    // All below under the Ubermeister's fMtx, except fManager (set at construction).
    const Morvek::ZRef<Manager> fManager;
    UTPSocket* fUTPSocket;  // null once the engine reported the connection destroyed
    int fState;             // eState_ values; the latest report wins
    ByteQueue fBuffer;      // received, not yet read
    const uint8_t* fData;   // next caller byte the engine may take; null when no write runs
    size_t fDataSize;       // caller bytes still to be taken
    bool fClosed;           // UTP_Close was called (at most once per connection)
    bool fPending;          // in its socket's queue of incoming connections
    uint32_t fWriteWaiters; // writes waiting for the one in progress to end
};

} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_RUNTIME_STREAMERRW_UTP_H
