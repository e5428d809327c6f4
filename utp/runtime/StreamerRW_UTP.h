// The layer that drives the uTP engine over the application's UDP sockets and hands each
// connection out as a blocking byte stream.
//
// - Ubermeister: the one process-wide object. It owns the lock fMtx under which every piece of
//   state below lives and every engine call is made, the one broadcast condition fCnd that every
//   blocked caller waits on, the registry of Endpoints (one per socket), and the runner thread
//   that waits on all of them, feeds each datagram (unmasked) to the engine and runs the engine's
//   timers after every pass (so at least every 50 ms while any socket is in use). It is the
//   target of every engine callback.
//
//   While a thread holds fMtx, the datagrams the engine sends are masked into an Outbox and the
//   broadcasts it asks for are noted. The thread settles (pSettle) before it waits on fCnd,
//   before the runner waits for its sockets, and when its outermost acquisition ends: it sends
//   the Outbox and then broadcasts once (right after giving fMtx up, where it gives it up). So
//   one engine call or one runner pass hands its datagrams to the system in batches and wakes
//   the waiters once, and nothing is held back across a wait. Peers get the same datagrams in
//   the same order, at most one pass later; waiters cannot tell, as they could not have run
//   before fMtx was given up anyway.
// - Endpoint: one per socket in use. It reads and sends through a duplicate of the application's
//   descriptor that it holds while anything uses the socket, so a descriptor number the
//   application closes and gets again for another socket or file is never read or written here.
//   It is the engine's name for the local socket (the send user data of every connection over
//   it, so connections of different sockets never match each other's datagrams) and holds the
//   socket's queue of incoming connections.
// - Manager: one per call that hands a socket in, alive while that call runs and while a stream
//   it handed out lives. A socket accepts incoming connections only while it has a Manager and
//   the application's descriptor still names it. Accepting (MakeStreamerRW, Accept) takes the
//   oldest incoming connection queued on its socket; Connect opens an outgoing connection.
// - StreamerRW: one per connection, a ZStreamR, a ZStreamW and a ZStreamerRW at once. A read
//   waits until a byte is there or none can come; a write waits until the engine took every byte
//   or the connection can take no more.
//
// Bounds on what a peer can make grow or wait for: each socket queues at most kBacklog incoming
// connections; while the queue is full a new one replaces the oldest that has delivered no byte,
// and is dropped (before the engine creates anything) when every queued one has. A queued
// connection holds at most kQueuedWindow received bytes (its advertised window closes there) and
// is reset when nobody took it within kQueueMilliseconds, or as soon as its socket has no Manager.
// A stream's queue of received bytes is reported to the engine, so its advertised window closes
// while the reader is slow, and a peer that sends beyond the window past kReceiveLimit fails its
// stream. The engine fails a connection whose peer went silent.
//
// Blocking calls may be given an Interruption, which they let check about every
// kInterruptSeconds (with fMtx given up): the Python layer runs the interpreter's signal handlers
// there, and an exception from one ends the call.
//
// After a fork, the child starts with no streams and a layer of its own: the parent's objects are
// left untouched in the child (their threads are gone), the duplicates closed.
//
// Threads: the runner thread and any number of caller threads. Lock order: fMtx, then at most the
// log sink's mutex or fCnd's own inner mutex (fCnd is also broadcast without fMtx). The Python
// interpreter lock is never requested while fMtx is held. The engine calls back on the thread that
// called into it, always with fMtx held.
//
// Lifetimes: a StreamerRW is held by its callers, by its socket's queue until taken, and by its
// engine connection (one reference, taken when the connection gets the stream's callbacks and
// given back when the engine reports the connection destroyed). A Manager is held by the call
// that made it and by the streams it handed out. An Endpoint is held by its Managers, by the
// streams over it and, during one pass, by the runner; it is polled for as long as it lives. All
// three decide their own death under fMtx (Finalize), since the runner and the engine find them
// there.

#ifndef QUILLANE_UTP_RUNTIME_STREAMERRW_UTP_H
#define QUILLANE_UTP_RUNTIME_STREAMERRW_UTP_H

#include "utp/engine/utp.h"
#include "utp/runtime/ByteQueue.h"
#include "utp/runtime/Outbox.h"

#include "morvek/ZStream.h"
#include "morvek/ZThread.h"

#include <atomic>
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
namespace UTP
{
class Interruption;
}

// What UTP_Make does once its arguments are converted: registers a Manager for iSocket, then
// accepts (iListen) or connects to iHost (a name or dotted IPv4 address) at the low 16 bits of
// iPort. Null when the host yields no IPv4 address, and when an accept ends because the
// application's descriptor no longer names the socket. Throws std::runtime_error for a descriptor
// that is not an IPv4 UDP socket, std::bad_alloc when the runner cannot be started, and whatever
// iInterruption (may be null) throws.
Morvek::ZRef<Morvek::ZStreamerRW> sUTP_Make(int iSocket, const std::string& iHost, int iPort,
                                            bool iListen, UTP::Interruption* iInterruption);

// Starts closing the stream's connection (when it is a uTP stream).
void sUTP_Close(const Morvek::ZRef<Morvek::ZStreamerRW>& iStreamerRW);

namespace UTP
{

// Socket buffers are raised to what a request for this many bytes gives.
const int kSocketBufferSize = 131072;
// Incoming connections queued on one socket and not yet taken.
const size_t kBacklog = 128;
// A queued connection that nobody took within this many milliseconds is reset.
const uint32_t kQueueMilliseconds = 30000;
// Bytes a queued connection may hold: its receive buffer while queued, so its advertised window
// closes there; a peer that sends past it is reset. A socket's queue holds at most
// kBacklog * kQueuedWindow bytes (8 MiB).
const uint32_t kQueuedWindow = 64 * 1024;
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
// How often the runner checks that each application descriptor still names its socket, and
// expires queued connections.
const uint32_t kUpkeepMilliseconds = 250;
// A write whose window is full tries again at least this often.
const double kWriteRetrySeconds = 1.0;
// A blocking call given an Interruption lets it check at least this often.
const double kInterruptSeconds = 0.1;

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

// What a blocking call lets its caller check while it waits: Check runs on the waiting thread
// with the layer's lock given up, about every kInterruptSeconds, and may throw to end the call.
// What the call already did stays done: bytes a write handed to the engine stay sent, a queued
// connection an accept did not take stays queued; a connect in progress is closed.
class Interruption
{
  public:
    virtual void Check() = 0;

  protected:
    ~Interruption() = default;
};

class Endpoint;
class Manager;
class StreamerRW;

// =================================================================================================

class Ubermeister : public Morvek::ZCounted
{
  public:
    // The one Ubermeister, made by the first call; it lives as long as the process (in a forked
    // child, the first call makes the child's own). Its runner starts with the first Manager.
    static Ubermeister& sGet();

    // Registers a new Manager for the socket: raises the socket's buffers, starts the runner or
    // wakes it, and returns the Manager. Throws std::runtime_error when iSocket is not a UDP
    // socket or cannot be duplicated, std::bad_alloc when the runner cannot be started (a
    // later call tries again).
    Morvek::ZRef<Manager> pMakeManager(int iSocket);

    // Diagnostics (each takes fMtx): Managers alive, sockets in use (each polled through its own
    // duplicate), connections queued on a socket, live engine connections, datagrams batched and
    // not yet handed to the system (0 whenever fMtx is free, as every holder settles before it
    // gives fMtx up).
    size_t CountManagers();
    size_t CountEndpoints();
    size_t CountPending(int iSocket);
    size_t CountConnections();
    size_t CountUnsent();

  private:
    friend class Endpoint;
    friend class Manager;
    friend class StreamerRW;

    Ubermeister();
    ~Ubermeister() override;

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
    // depth: the runner's wait for its sockets, and an Interruption's check.
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

    // The waits of one blocking call (fMtx held): on fCnd, and with an Interruption for at most
    // until its next check, which Wait makes (and which may throw) when it is due.
    class Waiting
    {
      public:
        Waiting(Ubermeister& iUbermeister, Interruption* iInterruption);
        // Returns after a broadcast, after iSeconds (negative: no limit of its own), or after a
        // check; the caller tests its condition again in every case.
        void Wait(double iSeconds = -1);

      private:
        Ubermeister& fUbermeister;
        Interruption* const fInterruption;
        uint64_t fNextCheck; // monotonic microseconds
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

    // A fork: the lock is held across it, so the child finds the layer's state and the engine's
    // consistent; the child then leaves this Ubermeister behind for one of its own.
    static void spForkPrepare();
    static void spForkParent();
    static void spForkChild();

    // The runner.
    void pStartRunner();
    static void spRunner(void* iUbermeister);
    void pRunner();
    void pTakeSnapshot();
    void pReceive(size_t iIndex);
    void pProcess(Endpoint* iEndpoint, Morvek::Platform::ReceiveSlot& ioSlot);
    void pUpkeep();

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
                                      int iAddressLength, Interruption* iInterruption);
    Morvek::ZRef<StreamerRW> pAccept(Manager* iManager, Interruption* iInterruption);
    size_t pWaitReadable(StreamerRW* iStreamerRW, Interruption* iInterruption);
    void pRead(StreamerRW* iStreamerRW, void* oDest, size_t iCount, size_t* oCountRead);
    size_t pReadAvailable(StreamerRW* iStreamerRW, size_t iMaxCount,
                          std::unique_ptr<uint8_t[]>& oBytes, Interruption* iInterruption);
    void pTook(StreamerRW* iStreamerRW);
    size_t pWrite(StreamerRW* iStreamerRW, const void* iSource, size_t iCount,
                  Interruption* iInterruption);
    void pClose(StreamerRW* iStreamerRW);
    void pFinalize(StreamerRW* iStreamerRW);
    void pFinalize(Manager* iManager);
    void pFinalize(Endpoint* iEndpoint);

    // Helpers, all with fMtx held.
    bool pWritable(const StreamerRW* iStreamerRW) const;
    void pCloseConnection(StreamerRW* iStreamerRW);
    void pFail(StreamerRW* iStreamerRW);
    void pAbort(StreamerRW* iStreamerRW);
    void pDropPending(StreamerRW* iStreamerRW);
    bool pAccepts(const Endpoint* iEndpoint) const;
    bool pMayQueue(const Endpoint* iEndpoint) const;
    bool pQueue(Endpoint* iEndpoint, StreamerRW* iStreamerRW);
    void pClearQueue(Endpoint* iEndpoint);
    void pDetach(Endpoint* iEndpoint);

    static std::atomic<Ubermeister*> sInstance;

    Morvek::ZRecursiveMutex fMtx;
    Morvek::ZCondition fCnd;
    bool fRunnerStarted;                  // under fMtx
    std::set<Endpoint*> fEndpoints;       // every live Endpoint; no references held
    std::map<int, Endpoint*> fByDescriptor; // the one each application descriptor names now

    // Under fMtx (see Lock and pSettle).
    int fLockDepth; // Lock's acquisitions by the holder; 0 while fMtx is free or given up
    bool fWakeDue;  // a broadcast is owed to fCnd's waiters
    Outbox fOutbox; // datagrams sent since the holder last settled

    // The runner's own, reused from pass to pass (touched only by the runner, under fMtx).
    std::vector<int> fPollSockets;
    std::vector<uint8_t> fPollReady;
    std::vector<Morvek::ZRef<Endpoint>> fPollEndpoints; // in step with fPollSockets
    uint64_t fNextUpkeep;                                // monotonic microseconds
    std::unique_ptr<uint8_t[]> fReceiveBytes; // kReceiveBatch buffers, kDatagramCapacity each
    std::vector<Morvek::Platform::ReceiveSlot> fReceiveSlots; // one per buffer
};

// =================================================================================================

class Endpoint : public Morvek::ZCounted
{
  public:
    Endpoint(int iSocket, int iDescriptor);
    ~Endpoint() override;

    void Finalize() override;

  private:
    friend class Manager;
    friend class Ubermeister;

    // All under fMtx, except the two descriptors.
    const int fSocket;     // the application's descriptor, as handed in; never read or closed here
    const int fDescriptor; // this Endpoint's duplicate of it, closed with the Endpoint
    std::set<Manager*> fManagers;                  // alive; no references held
    std::deque<Morvek::ZRef<StreamerRW>> fPending; // incoming, oldest first, at most kBacklog
    bool fDetached; // the application's descriptor no longer names the socket: accepts nothing
    bool fInvalid;  // the duplicate was reported closed (by someone else): never polled again
};

// =================================================================================================

class Manager : public Morvek::ZStreamerRWFactory
{
  public:
    explicit Manager(const Morvek::ZRef<Endpoint>& iEndpoint);
    ~Manager() override;

    // Waits, with no time limit, for an incoming connection on this socket and takes the oldest;
    // null when the application's descriptor no longer names the socket.
    Morvek::ZRef<Morvek::ZStreamerRW> MakeStreamerRW() override;
    // The same, letting iInterruption (may be null) check while it waits.
    Morvek::ZRef<StreamerRW> Accept(Interruption* iInterruption);

    // Opens a connection to the address and waits until the engine has connected or given up;
    // the stream is returned either way (a failed one reads nothing and takes no bytes).
    Morvek::ZRef<StreamerRW> Connect(const sockaddr* iAddress, int iAddressLength,
                                     Interruption* iInterruption = nullptr);

    void Finalize() override;

    int GetSocket() const;

  private:
    friend class Ubermeister;

    const Morvek::ZRef<Endpoint> fEndpoint;
};

// =================================================================================================

class StreamerRW : public Morvek::ZStreamerRW, private Morvek::ZStreamR, private Morvek::ZStreamW
{
  public:
    StreamerRW(const Morvek::ZRef<Endpoint>& iEndpoint, UTPSocket* iUTPSocket);
    ~StreamerRW() override;

    const Morvek::ZStreamR& GetStreamR() override;
    const Morvek::ZStreamW& GetStreamW() override;

    // Waits like a read, then moves up to iMaxCount bytes into a new buffer of exactly as many
    // bytes as were there (so a huge count allocates nothing more). Returns the count; 0 when
    // the stream has ended (oBytes untouched then). Throws std::bad_alloc, taking nothing, and
    // whatever iInterruption (may be null) throws, taking nothing.
    size_t ReadAvailable(size_t iMaxCount, std::unique_ptr<uint8_t[]>& oBytes,
                         Interruption* iInterruption = nullptr);

    // Writes all iCount bytes, waiting while the engine's window is full; returns the count the
    // engine took, less than iCount only when the connection can take no more. Throws whatever
    // iInterruption (may be null) throws; the bytes taken by then stay taken.
    size_t WriteAll(const void* iSource, size_t iCount, Interruption* iInterruption = nullptr);

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

    // All below under the Ubermeister's fMtx, except fEndpoint (set at construction).
    const Morvek::ZRef<Endpoint> fEndpoint;
    Morvek::ZRef<Manager> fManager; // the one that handed it out; null while queued
    UTPSocket* fUTPSocket;  // null once the engine reported the connection destroyed
    int fState;             // eState_ values; the latest report wins
    ByteQueue fBuffer;      // received, not yet read
    const uint8_t* fData;   // next caller byte the engine may take; null when no write runs
    size_t fDataSize;       // caller bytes still to be taken
    bool fClosed;           // UTP_Close (or UTP_Reset) was called (at most once per connection)
    bool fPending;          // in its socket's queue of incoming connections
    uint32_t fWriteWaiters; // writes waiting for the one in progress to end
    uint64_t fQueuedAt;     // while queued: when, in monotonic microseconds
    int fReceiveBuffer;     // while queued: the engine's receive buffer to give back when taken
};

} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_RUNTIME_STREAMERRW_UTP_H
