// The stream layer: it drives the uTP engine over the application's UDP sockets and hands each
// connection out as a blocking byte stream. Its objects:
//
// - Ubermeister (this file): the one process-wide object. It owns the lock fMtx under which every
//   piece of state of the layer lives and every engine call is made, the one broadcast condition
//   fCnd that every blocked caller waits on, the registry of Endpoints, and the runner thread
//   (Runner.cpp) that waits on all of them, feeds each datagram (unmasked) to the engine and runs
//   the engine's timers after every pass (so at least every 50 ms while any socket is in use).
// - Endpoint: one per socket in use, read and written through a duplicate of its descriptor; the
//   engine's name for the local socket and the holder of its queue of incoming connections.
// - Manager: one per call that hands a socket in (accepting or connecting through it).
// - StreamerRW: one per connection, the blocking stream.
// - The engine's callbacks (Callbacks.cpp) turn the engine's reports into the objects' changes.
//
// While a thread holds fMtx, the datagrams the engine sends are masked into an Outbox and the
// broadcasts it asks for are noted. The thread settles (pSettle) before it waits on fCnd, before
// the runner waits for its sockets, and when its outermost acquisition ends: it sends the Outbox
// and then broadcasts once (right after giving fMtx up, where it gives it up). So one engine call
// or one runner pass hands its datagrams to the system in batches and wakes the waiters once, and
// nothing is held back across a wait. Peers get the same datagrams in the same order, at most one
// pass later; waiters cannot tell, as they could not have run before fMtx was given up anyway.
//
// Blocking calls may be given an Interruption (Constants.h), which they let check about every
// kInterruptSeconds with fMtx given up (Waiting).
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

#ifndef QUILLANE_UTP_RUNTIME_UBERMEISTER_H
#define QUILLANE_UTP_RUNTIME_UBERMEISTER_H

#include "utp/runtime/Constants.h"
#include "utp/runtime/Outbox.h"

#include "morvek/ZCounted.h"
#include "morvek/ZThread.h"
#include "morvek/platform/Platform_Socket.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace quillane
{
namespace UTP
{

class Endpoint;
class Manager;
class StreamerRW;

class Ubermeister : public Morvek::ZCounted
{
  public:
    // The one Ubermeister, made by the first call; it lives as long as the process (in a forked
    // child, the first call makes the child's own). Its runner starts with the first Manager.
    static Ubermeister& sGet();

    // Registers a new Manager for the socket: raises the socket's buffers, starts the runner or
    // wakes it, and returns the Manager. Throws std::runtime_error when iSocket is not a UDP
    // socket or cannot be duplicated, std::bad_alloc when the runner cannot be started (a later
    // call tries again).
    Morvek::ZRef<Manager> MakeManager(int iSocket);

    // Diagnostics (each takes fMtx): Managers alive, sockets in use (each polled through its own
    // duplicate), connections queued on a socket, live engine connections, datagrams batched and
    // not yet handed to the system (0 whenever fMtx is free, as every holder settles before it
    // gives fMtx up).
    size_t CountManagers();
    size_t CountEndpoints();
    size_t CountPending(int iSocket);
    size_t CountConnections();
    size_t CountUnsent();

    // fMtx as this layer takes it: counts the acquisitions (fLockDepth), and the outermost one
    // settles before it gives fMtx up.
    class Lock
    {
      public:
        Lock();
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
        explicit Waiting(Interruption* iInterruption);
        // Returns after a broadcast, after iSeconds (negative: no limit of its own), or after a
        // check; the caller tests its condition again in every case.
        void Wait(double iSeconds = -1);

      private:
        Ubermeister& fUbermeister;
        Interruption* const fInterruption;
        uint64_t fNextCheck; // monotonic microseconds
    };

    // With fMtx held: a broadcast is owed to fCnd's waiters, made when the holder settles.
    void Wake();

    // With fMtx held: the outbox, for the engine's send function (Callbacks.cpp), and sent at
    // once where a descriptor is about to be closed.
    Outbox& GetOutbox();
    void SendOutbox() noexcept;
    // The trace line for a datagram the system refused (it is lost; the engine's own timers
    // recover, if anything does).
    static void sTraceRefused();

  private:
    friend class Endpoint;

    Ubermeister();
    ~Ubermeister() override;

    // With fMtx held. pSettle sends the outbox and answers whether the broadcast that Wake asked
    // for is owed (the caller makes it: after giving fMtx up, or before it waits); pWait and
    // pWaitFor settle, broadcast and then wait on fCnd (pWaitFor answers false when the span ran
    // out).
    bool pSettle() noexcept;
    void pWait();
    bool pWaitFor(double iSeconds);

    // A fork: the lock is held across it, so the child finds the layer's state and the engine's
    // consistent; the child then leaves this Ubermeister behind for one of its own.
    static void spForkPrepare();
    static void spForkParent();
    static void spForkChild();

    // The runner (Runner.cpp).
    void pStartRunner();
    static void spRunner(void* iUbermeister);
    void pRunner();
    void pTakeSnapshot();
    void pReceive(size_t iIndex);
    void pProcess(Endpoint* iEndpoint, Morvek::Platform::ReceiveSlot& ioSlot);
    void pUpkeep();

    static std::atomic<Ubermeister*> sInstance;

    Morvek::ZRecursiveMutex fMtx;
    Morvek::ZCondition fCnd;
    bool fRunnerStarted;                    // under fMtx
    std::set<Endpoint*> fEndpoints;         // every live Endpoint; no references held
    std::map<int, Endpoint*> fByDescriptor; // the one each application descriptor names now

    // Under fMtx (see Lock and pSettle).
    int fLockDepth; // Lock's acquisitions by the holder; 0 while fMtx is free or given up
    bool fWakeDue;  // a broadcast is owed to fCnd's waiters
    Outbox fOutbox; // datagrams sent since the holder last settled

    // The runner's own, reused from pass to pass (touched only by the runner, under fMtx).
    std::vector<int> fPollSockets;
    std::vector<uint8_t> fPollReady;
    std::vector<Morvek::ZRef<Endpoint>> fPollEndpoints; // in step with fPollSockets
    uint64_t fNextUpkeep;                               // monotonic microseconds
    std::unique_ptr<uint8_t[]> fReceiveBytes; // kReceiveBatch buffers, kDatagramCapacity each
    std::vector<Morvek::Platform::ReceiveSlot> fReceiveSlots; // one per buffer
};

} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_RUNTIME_UBERMEISTER_H
