// The runner, the engine callbacks and the stream operations (see StreamerRW_UTP.h for the
// threads, the lock and the lifetimes).
//
// Every datagram from a socket is hostile; the engine checks it. What this unit adds to the
// engine's own bounds: at most kDatagramsPerPass datagrams are read from a socket per pass, and
// no read blocks (so the runner cannot stall under fMtx); a SYN reaches the engine's accept path
// only while its socket accepts and its queue has room (or holds a connection that delivered
// nothing, which the new one replaces); queued connections hold little and expire; a stream's
// received bytes are reported to the engine as they queue and are capped at kReceiveLimit.
//
// No engine callback lets an exception out: one unwinding through the engine would leave its
// records half-updated. Allocation failures there fail the stream (or the new connection).

#include "utp/runtime/StreamerRW_UTP.h"
#include "utp/runtime/DatagramMask.h"

#include "morvek/ZLog.h"
#include "morvek/ZNet_Internet.h"
#include "morvek/platform/Platform_Clock.h"
#include "morvek/platform/Platform_Socket.h"
#include "morvek/platform/Platform_Thread.h"

#include <cstring>
#include <new>
#include <stdexcept>

namespace quillane
{
namespace UTP
{

using Morvek::ZRef;
using Morvek::ZStreamerRW;
namespace ZLog = Morvek::ZLog;
namespace Platform = Morvek::Platform;

namespace
{

// The trace line for a datagram the system refused.
void spRefused()
{
    ZLog::sLogTrace(ZLog::ePriority_Debug, __FILE__, __LINE__, "quillane::UTP::spSendTo");
}

void spSendTo(int iSocket, const uint8_t* iBytes, size_t iLength, const sockaddr* iAddress,
              int iAddressLength)
{
    if (!Platform::sSocket_SendTo(iSocket, iBytes, iLength, iAddress, iAddressLength))
        spRefused();
}

uint64_t spNow()
{
    return Platform::sClock_MonotonicMicroseconds();
}

} // namespace

// =================================================================================================
// Ubermeister: life

const UTPCallbacks Ubermeister::sCallbacks = {&Ubermeister::spUTPOnReadProc,
                                              &Ubermeister::spUTPOnWriteProc,
                                              &Ubermeister::spUTPGetReadBufferSizeProc,
                                              &Ubermeister::spUTPOnStateChangeProc,
                                              &Ubermeister::spUTPOnErrorProc,
                                              &Ubermeister::spUTPOnOverheadProc};

std::atomic<Ubermeister*> Ubermeister::sInstance(nullptr);

Ubermeister& Ubermeister::sGet()
{
    if (Ubermeister* theUbermeister = sInstance.load(std::memory_order_acquire))
        return *theUbermeister;
    // Made by whichever thread comes first; a loser's object never started anything. Never
    // destroyed: its runner cannot be stopped, and would use a destroyed lock while the process
    // exits. The reference taken here is never given back.
    Ubermeister* theUbermeister = new Ubermeister;
    theUbermeister->Retain();
    Ubermeister* prior = nullptr;
    if (!sInstance.compare_exchange_strong(prior, theUbermeister, std::memory_order_acq_rel))
    {
        delete theUbermeister;
        return *prior;
    }
    static const bool sAtFork =
        (Platform::sThread_AtFork(&spForkPrepare, &spForkParent, &spForkChild), true);
    (void)sAtFork;
    return *theUbermeister;
}

Ubermeister::Ubermeister()
    : fRunnerStarted(false), fLockDepth(0), fWakeDue(false), fNextUpkeep(0),
      fReceiveBytes(new uint8_t[kReceiveBatch * kDatagramCapacity]), fReceiveSlots(kReceiveBatch)
{
    for (size_t x = 0; x < kReceiveBatch; ++x)
    {
        fReceiveSlots[x].fBuffer = fReceiveBytes.get() + x * kDatagramCapacity;
        fReceiveSlots[x].fCapacity = kDatagramCapacity;
    }
}

Ubermeister::~Ubermeister() {}

// =================================================================================================
// Ubermeister: fork

namespace
{

// The Ubermeister whose lock spForkPrepare took (one may be made meanwhile by another thread).
Ubermeister* sForkHeld = nullptr;

} // namespace

void Ubermeister::spForkPrepare()
{
    sForkHeld = sInstance.load(std::memory_order_acquire);
    if (sForkHeld)
        sForkHeld->fMtx.Acquire();
}

void Ubermeister::spForkParent()
{
    if (sForkHeld)
        sForkHeld->fMtx.Release();
    sForkHeld = nullptr;
}

void Ubermeister::spForkChild()
{
    Ubermeister* const theUbermeister = sForkHeld;
    sForkHeld = nullptr;
    sInstance.store(nullptr, std::memory_order_release);
    if (!theUbermeister)
        return;
    // The child's only thread. The parent's objects stay as they are (some are in the middle of
    // calls of threads that do not exist here) and are never used again: the child's first call
    // makes a new Ubermeister. Only what the parent's layer holds of the system goes: the
    // duplicates, which would keep the parent's sockets open in the child, and the engine's
    // records, which the held lock left consistent.
    for (Endpoint* theEndpoint : theUbermeister->fEndpoints)
    {
        if (!theEndpoint->fInvalid)
            Platform::sSocket_CloseDuplicate(theEndpoint->fDescriptor);
    }
    UTP_FreeAll();
}

// =================================================================================================
// Ubermeister: the lock, settling and waiting

Ubermeister::Lock::Lock(Ubermeister& iUbermeister) : fUbermeister(iUbermeister)
{
    fUbermeister.fMtx.Acquire();
    ++fUbermeister.fLockDepth;
}

Ubermeister::Lock::~Lock()
{
    const bool wake = fUbermeister.fLockDepth == 1 && fUbermeister.pSettle();
    --fUbermeister.fLockDepth;
    fUbermeister.fMtx.Release();
    // Made once fMtx is free, so the woken threads do not at once block on it. A thread that
    // tests its condition after the release sees the change; one that registered before it is
    // woken here.
    if (wake)
        fUbermeister.fCnd.Broadcast();
}

Ubermeister::Unlock::Unlock(Ubermeister& iUbermeister)
    : fUbermeister(iUbermeister), fDepth(iUbermeister.fLockDepth)
{
    const bool wake = fUbermeister.pSettle();
    fUbermeister.fLockDepth = 0;
    for (int x = 0; x < fDepth; ++x)
        fUbermeister.fMtx.Release();
    if (wake)
        fUbermeister.fCnd.Broadcast(); // as in ~Lock
}

Ubermeister::Unlock::~Unlock()
{
    for (int x = 0; x < fDepth; ++x)
        fUbermeister.fMtx.Acquire();
    fUbermeister.fLockDepth = fDepth;
}

Ubermeister::Waiting::Waiting(Ubermeister& iUbermeister, Interruption* iInterruption)
    : fUbermeister(iUbermeister), fInterruption(iInterruption),
      fNextCheck(spNow() + uint64_t(kInterruptSeconds * 1e6))
{
}

void Ubermeister::Waiting::Wait(double iSeconds)
{
    if (!fInterruption)
    {
        if (iSeconds < 0)
            fUbermeister.pWait();
        else
            fUbermeister.pWaitFor(iSeconds);
        return;
    }
    const uint64_t now = spNow();
    if (now >= fNextCheck)
    {
        {
            Unlock unlocked(fUbermeister);
            fInterruption->Check();
        }
        fNextCheck = spNow() + uint64_t(kInterruptSeconds * 1e6);
        return;
    }
    const double untilCheck = double(fNextCheck - now) / 1e6;
    fUbermeister.pWaitFor(iSeconds < 0 || untilCheck < iSeconds ? untilCheck : iSeconds);
}

bool Ubermeister::pSettle() noexcept
{
    // Datagrams first: a woken reader or writer finds them already on their way.
    if (!fOutbox.Empty())
        pSendOutbox();
    const bool wake = fWakeDue;
    fWakeDue = false;
    return wake;
}

void Ubermeister::pSendOutbox() noexcept
{
    for (size_t refused = fOutbox.Send(); refused; --refused)
        spRefused();
}

void Ubermeister::pWake()
{
    fWakeDue = true;
}

void Ubermeister::pWait()
{
    if (pSettle())
        fCnd.Broadcast();
    const int depth = fLockDepth;
    fLockDepth = 0; // whoever takes fMtx meanwhile counts from 0
    fCnd.Wait(fMtx);
    fLockDepth = depth;
}

bool Ubermeister::pWaitFor(double iSeconds)
{
    if (pSettle())
        fCnd.Broadcast();
    const int depth = fLockDepth;
    fLockDepth = 0;
    const bool woken = fCnd.WaitFor(fMtx, iSeconds);
    fLockDepth = depth;
    return woken;
}

// =================================================================================================
// Ubermeister: registry

ZRef<Manager> Ubermeister::pMakeManager(int iSocket)
{
    if (!Platform::sSocket_UDPVersion(iSocket))
        throw std::runtime_error("socket is not a valid socket");
    Platform::sSocket_RaiseBuffers(iSocket, kSocketBufferSize);
    Lock lock(*this);
    pStartRunner();
    ZRef<Endpoint> theEndpoint;
    const auto found = fByDescriptor.find(iSocket);
    if (found != fByDescriptor.end())
    {
        // The number may have been closed and handed out again for another socket.
        if (Platform::sSocket_Same(iSocket, found->second->fDescriptor))
            theEndpoint = found->second;
        else
            pDetach(found->second);
    }
    if (!theEndpoint)
    {
        const int theDescriptor = Platform::sSocket_Duplicate(iSocket);
        if (theDescriptor < 0)
            throw std::runtime_error("socket cannot be duplicated");
        try
        {
            theEndpoint = new Endpoint(iSocket, theDescriptor);
        }
        catch (...)
        {
            Platform::sSocket_CloseDuplicate(theDescriptor);
            throw;
        }
        fEndpoints.insert(theEndpoint.Get());
        fByDescriptor[iSocket] = theEndpoint.Get();
    }
    ZRef<Manager> theManager = new Manager(theEndpoint);
    theEndpoint->fManagers.insert(theManager.Get());
    // An idle runner would otherwise notice the socket only at its next wake-up.
    pWake();
    return theManager;
}

size_t Ubermeister::CountManagers()
{
    Lock lock(*this);
    size_t count = 0;
    for (const Endpoint* theEndpoint : fEndpoints)
        count += theEndpoint->fManagers.size();
    return count;
}

size_t Ubermeister::CountEndpoints()
{
    Lock lock(*this);
    return fEndpoints.size();
}

size_t Ubermeister::CountPending(int iSocket)
{
    Lock lock(*this);
    const auto found = fByDescriptor.find(iSocket);
    return found == fByDescriptor.end() ? 0 : found->second->fPending.size();
}

size_t Ubermeister::CountConnections()
{
    Lock lock(*this);
    return UTP_GetConnectionCount();
}

size_t Ubermeister::CountUnsent()
{
    Lock lock(*this);
    return fOutbox.Count();
}

// =================================================================================================
// The runner

void Ubermeister::pStartRunner()
{
    if (fRunnerStarted)
        return;
    // The thread holds a plain pointer: the object is never destroyed.
    Morvek::ZThread::sCreate(&Ubermeister::spRunner, this);
    fRunnerStarted = true;
}

void Ubermeister::spRunner(void* iUbermeister)
{
    static const char kName[] = "quillane::UTP::Ubermeister::spRunner";
    try
    {
        static_cast<Ubermeister*>(iUbermeister)->pRunner();
    }
    catch (const std::exception& ex)
    {
        if (ZLog::StrimW s{ZLog::ePriority_Err, kName})
            s << "Exception: " << ex.what();
    }
    catch (...)
    {
        if (ZLog::StrimW s{ZLog::ePriority_Err, kName})
            s << "Unknown exception";
    }
}

void Ubermeister::pRunner()
{
    Lock lock(*this);
    for (;;)
    {
        pTakeSnapshot();
        if (fPollSockets.empty())
        {
            // Idle: no socket to read and no timer to run until a Manager is registered.
            pWaitFor(kIdleSeconds);
            continue;
        }
        int ready;
        {
            // What the last pass sent goes out, and its waiters wake, before the wait.
            Unlock unlocked(*this);
            ready = Platform::sSocket_WaitReadable(fPollSockets.data(), fPollReady.data(),
                                                   fPollSockets.size(), kPollMilliseconds);
        }
        if (ready > 0)
        {
            for (size_t x = 0; x < fPollSockets.size(); ++x)
                pReceive(x);
        }
        UTP_CheckTimeouts();
        if (spNow() >= fNextUpkeep)
        {
            pUpkeep();
            fNextUpkeep = spNow() + uint64_t(kUpkeepMilliseconds) * 1000;
        }
        // An Endpoint whose last reference this was dies here.
        fPollEndpoints.clear();
    }
}

// Every live Endpoint, with a reference that keeps it (and its duplicate) alive while the lock
// is given up.
void Ubermeister::pTakeSnapshot()
{
    fPollSockets.clear();
    fPollEndpoints.clear();
    for (Endpoint* theEndpoint : fEndpoints)
    {
        if (theEndpoint->fInvalid)
            continue;
        fPollSockets.push_back(theEndpoint->fDescriptor);
        fPollEndpoints.push_back(theEndpoint);
    }
    fPollReady.resize(fPollSockets.size());
}

void Ubermeister::pReceive(size_t iIndex)
{
    Endpoint* theEndpoint = fPollEndpoints[iIndex].Get();
    if (fPollReady[iIndex] == Platform::eSocket_Invalid)
    {
        // Someone closed the duplicate behind the layer's back; the number may be reused at
        // any moment, so it is never touched again. Its connections go silent and fail.
        theEndpoint->fInvalid = true;
        pDetach(theEndpoint);
    }
    if (fPollReady[iIndex] != Platform::eSocket_Readable)
        return;
    for (size_t count = 0; count < kDatagramsPerPass;)
    {
        const size_t wanted =
            kDatagramsPerPass - count < kReceiveBatch ? kDatagramsPerPass - count : kReceiveBatch;
        const size_t got = Platform::sSocket_ReceiveBatch(theEndpoint->fDescriptor,
                                                          fReceiveSlots.data(), wanted);
        for (size_t x = 0; x < got; ++x)
            pProcess(theEndpoint, fReceiveSlots[x]);
        count += got;
        if (got < wanted)
            break; // nothing more was waiting
    }
}

void Ubermeister::pProcess(Endpoint* iEndpoint, Platform::ReceiveSlot& ioSlot)
{
    uint8_t* const theDatagram = static_cast<uint8_t*>(ioSlot.fBuffer);
    sMaskDatagram(theDatagram, ioSlot.fLength);
    // Without the accept function the engine drops a SYN before it creates anything.
    UTP_ProcessDatagram(pMayQueue(iEndpoint) ? &Ubermeister::spUTPGotIncomingConnection : nullptr,
                        &Ubermeister::spSendToProc, iEndpoint, theDatagram, ioSlot.fLength,
                        reinterpret_cast<const sockaddr*>(ioSlot.fSource.fBytes),
                        ioSlot.fSource.fLength);
}

// A few times a second: an Endpoint whose application descriptor no longer names its socket is
// detached, and queued connections that nobody took in time are reset.
void Ubermeister::pUpkeep()
{
    const uint64_t now = spNow();
    for (const ZRef<Endpoint>& theEndpoint : fPollEndpoints)
    {
        if (!theEndpoint->fDetached && !theEndpoint->fManagers.empty() &&
            !Platform::sSocket_Same(theEndpoint->fSocket, theEndpoint->fDescriptor))
        {
            pDetach(theEndpoint.Get());
        }
        auto& pending = theEndpoint->fPending;
        while (!pending.empty() &&
               now - pending.front()->fQueuedAt >= uint64_t(kQueueMilliseconds) * 1000)
        {
            pAbort(pending.front().Get());
        }
    }
}

// =================================================================================================
// Engine callbacks: the static entries

void Ubermeister::spSendToProc(void* iEndpoint, const uint8_t* iBytes, size_t iLength,
                               const sockaddr* iAddress, int iAddressLength)
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug, "quillane::UTP::Ubermeister::spSendToProc");
    sGet().pSendToProc(static_cast<Endpoint*>(iEndpoint), iBytes, iLength, iAddress,
                       iAddressLength);
}

void Ubermeister::spUTPGotIncomingConnection(void* iEndpoint, UTPSocket* iUTPSocket)
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug,
                           "quillane::UTP::Ubermeister::spUTPGotIncomingConnection");
    sGet().pUTPGotIncomingConnection(static_cast<Endpoint*>(iEndpoint), iUTPSocket);
}

void Ubermeister::spUTPOnReadProc(void* iStreamerRW, const uint8_t* iBytes, size_t iCount)
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug, "quillane::UTP::Ubermeister::spUTPOnReadProc");
    sGet().pUTPOnReadProc(static_cast<StreamerRW*>(iStreamerRW), iBytes, iCount);
}

void Ubermeister::spUTPOnWriteProc(void* iStreamerRW, uint8_t* oDest, size_t iCount)
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug, "quillane::UTP::Ubermeister::spUTPOnWriteProc");
    sGet().pUTPOnWriteProc(static_cast<StreamerRW*>(iStreamerRW), oDest, iCount);
}

size_t Ubermeister::spUTPGetReadBufferSizeProc(void* iStreamerRW)
{
    return sGet().pUTPGetReadBufferSizeProc(static_cast<StreamerRW*>(iStreamerRW));
}

void Ubermeister::spUTPOnStateChangeProc(void* iStreamerRW, int iState)
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug,
                           "quillane::UTP::Ubermeister::spUTPOnStateChangeProc");
    sGet().pUTPOnStateChangeProc(static_cast<StreamerRW*>(iStreamerRW), iState);
}

void Ubermeister::spUTPOnErrorProc(void* iStreamerRW, int)
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug, "quillane::UTP::Ubermeister::spUTPOnErrorProc");
    sGet().pUTPOnErrorProc(static_cast<StreamerRW*>(iStreamerRW));
}

void Ubermeister::spUTPOnOverheadProc(void*, bool, size_t, int)
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug + 1,
                           "quillane::UTP::Ubermeister::spUTPOnOverheadProc");
}

// =================================================================================================
// Engine callbacks: the members. The engine calls them with fMtx already held; the locks only
// deepen it. A stream given as user data is kept alive by its engine connection's reference.

void Ubermeister::pSendToProc(Endpoint* iEndpoint, const uint8_t* iBytes, size_t iLength,
                              const sockaddr* iAddress, int iAddressLength)
{
    Lock lock(*this);
    if (iEndpoint->fInvalid)
        return; // its descriptor number may name something else by now
    if (fOutbox.Full())
        pSendOutbox();
    if (uint8_t* slot = fOutbox.Add(iEndpoint->fDescriptor, iLength, iAddress, iAddressLength))
    {
        sMaskDatagramCopy(iBytes, slot, iLength);
        return;
    }
    // Larger than any datagram the engine builds: sent at once, after those already batched.
    pSendOutbox();
    std::unique_ptr<uint8_t[]> masked(new (std::nothrow) uint8_t[iLength]);
    if (!masked)
        return; // lost, like a datagram the system refused
    sMaskDatagramCopy(iBytes, masked.get(), iLength);
    spSendTo(iEndpoint->fDescriptor, masked.get(), iLength, iAddress, iAddressLength);
}

void Ubermeister::pUTPGotIncomingConnection(Endpoint* iEndpoint, UTPSocket* iUTPSocket)
{
    Lock lock(*this);
    ZRef<StreamerRW> theStreamerRW;
    try
    {
        theStreamerRW = new StreamerRW(iEndpoint, iUTPSocket);
    }
    catch (...)
    {
        // Destroyed at the sweep that ends this pass, while the runner still holds the Endpoint
        // the connection sends through.
        UTP_Reset(iUTPSocket);
        return;
    }
    UTP_SetCallbacks(iUTPSocket, &sCallbacks, theStreamerRW.Get());
    theStreamerRW->Retain(); // the engine connection's, given back when it is destroyed
    theStreamerRW->fState = eState_Writable;
    if (!pQueue(iEndpoint, theStreamerRW.Get()))
        pAbort(theStreamerRW.Get());
}

void Ubermeister::pUTPOnReadProc(StreamerRW* iStreamerRW, const uint8_t* iBytes, size_t iCount)
{
    Lock lock(*this);
    if (iStreamerRW->fClosed)
        return; // failed by this layer; nobody will read more
    // Within the advertised window the queue never gets near the limit.
    const size_t limit = iStreamerRW->fPending ? kQueuedWindow : kReceiveLimit;
    if (iCount > limit - iStreamerRW->fBuffer.Size())
        return iStreamerRW->fPending ? pAbort(iStreamerRW) : pFail(iStreamerRW);
    const bool wasEmpty = iStreamerRW->fBuffer.Empty();
    try
    {
        iStreamerRW->fBuffer.Append(iBytes, iCount);
    }
    catch (...)
    {
        return pFail(iStreamerRW);
    }
    // Readers wait only on an empty queue.
    if (wasEmpty)
        pWake();
}

void Ubermeister::pUTPOnWriteProc(StreamerRW* iStreamerRW, uint8_t* oDest, size_t iCount)
{
    Lock lock(*this);
    // The engine asks only during a write and never for more than is left; should it, the rest
    // is zeros rather than bytes from beyond the caller's buffer.
    const size_t n = iCount < iStreamerRW->fDataSize ? iCount : iStreamerRW->fDataSize;
    if (n)
        std::memcpy(oDest, iStreamerRW->fData, n);
    if (n < iCount)
        std::memset(oDest + n, 0, iCount - n);
    iStreamerRW->fData += n;
    iStreamerRW->fDataSize -= n;
}

size_t Ubermeister::pUTPGetReadBufferSizeProc(StreamerRW* iStreamerRW)
{
    Lock lock(*this);
    // The real queue: the engine's advertised window closes while the reader is slow.
    return iStreamerRW->fBuffer.Size();
}

void Ubermeister::pUTPOnStateChangeProc(StreamerRW* iStreamerRW, int iState)
{
    Lock lock(*this);
    // The engine's reference may go below; this one keeps the stream until the broadcast.
    const ZRef<StreamerRW> hold = iStreamerRW;
    iStreamerRW->fState = iState;
    if (iState == STATE_CHANGE_DESTROYING)
    {
        iStreamerRW->fUTPSocket = nullptr;
        pDropPending(iStreamerRW);
        iStreamerRW->Release();
    }
    pWake();
}

void Ubermeister::pUTPOnErrorProc(StreamerRW* iStreamerRW)
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Info, "quillane::UTP::Ubermeister::pUTPOnErrorProc");
    Lock lock(*this);
    iStreamerRW->fState = eState_Failed;
    // A connection that fails before anybody took it leaves the queue and is closed.
    if (iStreamerRW->fPending)
    {
        pDropPending(iStreamerRW);
        pCloseConnection(iStreamerRW);
    }
    pWake();
}

// =================================================================================================
// Helpers (fMtx held)

bool Ubermeister::pWritable(const StreamerRW* iStreamerRW) const
{
    return iStreamerRW->fUTPSocket && !iStreamerRW->fClosed &&
           (iStreamerRW->fState == eState_Connected || iStreamerRW->fState == eState_Writable);
}

void Ubermeister::pCloseConnection(StreamerRW* iStreamerRW)
{
    if (iStreamerRW->fClosed)
        return;
    iStreamerRW->fClosed = true;
    if (iStreamerRW->fUTPSocket)
        UTP_Close(iStreamerRW->fUTPSocket);
}

void Ubermeister::pFail(StreamerRW* iStreamerRW)
{
    iStreamerRW->fState = eState_Failed;
    pDropPending(iStreamerRW);
    pCloseConnection(iStreamerRW);
    pWake();
}

// Ends a connection that nobody holds: the peer is told by a reset, and the engine destroys it at
// its next sweep.
void Ubermeister::pAbort(StreamerRW* iStreamerRW)
{
    iStreamerRW->fState = eState_Failed;
    pDropPending(iStreamerRW);
    if (!iStreamerRW->fClosed && iStreamerRW->fUTPSocket)
        UTP_Reset(iStreamerRW->fUTPSocket);
    iStreamerRW->fClosed = true;
}

void Ubermeister::pDropPending(StreamerRW* iStreamerRW)
{
    if (!iStreamerRW->fPending)
        return;
    iStreamerRW->fPending = false;
    auto& pending = iStreamerRW->fEndpoint->fPending;
    for (auto entry = pending.begin(); entry != pending.end(); ++entry)
    {
        if (entry->Get() == iStreamerRW)
        {
            // The caller holds the stream (or its engine connection does): this is not the
            // last reference.
            pending.erase(entry);
            return;
        }
    }
}

// Whether the application still uses the socket, so that a later accept may want what arrives.
bool Ubermeister::pAccepts(const Endpoint* iEndpoint) const
{
    return !iEndpoint->fDetached && !iEndpoint->fManagers.empty();
}

// Whether a new incoming connection would find a place in the queue.
bool Ubermeister::pMayQueue(const Endpoint* iEndpoint) const
{
    if (!pAccepts(iEndpoint))
        return false;
    if (iEndpoint->fPending.size() < kBacklog)
        return true;
    for (const ZRef<StreamerRW>& queued : iEndpoint->fPending)
    {
        if (queued->fBuffer.Empty())
            return true;
    }
    return false;
}

// Queues a new incoming connection, making room by resetting the oldest queued one that has
// delivered no byte. False when there is no place for it.
bool Ubermeister::pQueue(Endpoint* iEndpoint, StreamerRW* iStreamerRW)
{
    if (!pAccepts(iEndpoint))
        return false;
    auto& pending = iEndpoint->fPending;
    if (pending.size() >= kBacklog)
    {
        StreamerRW* silent = nullptr;
        for (const ZRef<StreamerRW>& queued : pending)
        {
            if (queued->fBuffer.Empty())
            {
                silent = queued.Get();
                break;
            }
        }
        if (!silent)
            return false;
        pAbort(silent);
    }
    try
    {
        pending.push_back(iStreamerRW);
    }
    catch (...)
    {
        return false;
    }
    iStreamerRW->fPending = true;
    iStreamerRW->fQueuedAt = spNow();
    // Until taken it may hold only a little; the window opens when a call takes it.
    iStreamerRW->fReceiveBuffer = UTP_GetOption(iStreamerRW->fUTPSocket, UTP_OPTION_RCVBUF);
    UTP_SetOption(iStreamerRW->fUTPSocket, UTP_OPTION_RCVBUF, int(kQueuedWindow));
    pWake();
    return true;
}

void Ubermeister::pClearQueue(Endpoint* iEndpoint)
{
    while (!iEndpoint->fPending.empty())
        pAbort(iEndpoint->fPending.front().Get());
}

// The application's descriptor no longer names the socket (or the duplicate is gone): nothing is
// accepted on it any more, and waiting accepts return. Its streams go on through the duplicate.
void Ubermeister::pDetach(Endpoint* iEndpoint)
{
    iEndpoint->fDetached = true;
    const auto found = fByDescriptor.find(iEndpoint->fSocket);
    if (found != fByDescriptor.end() && found->second == iEndpoint)
        fByDescriptor.erase(found);
    pClearQueue(iEndpoint);
    pWake();
}

// =================================================================================================
// Stream and manager operations

ZRef<StreamerRW> Ubermeister::pConnect(Manager* iManager, const sockaddr* iAddress,
                                       int iAddressLength, Interruption* iInterruption)
{
    Lock lock(*this);
    UTPSocket* theUTPSocket =
        UTP_Create(&Ubermeister::spSendToProc, iManager->fEndpoint.Get(), iAddress, iAddressLength);
    ZRef<StreamerRW> theStreamerRW;
    try
    {
        theStreamerRW = new StreamerRW(iManager->fEndpoint, theUTPSocket);
    }
    catch (...)
    {
        UTP_Close(theUTPSocket); // never connected: destroyed at the next sweep, nothing sent
        throw;
    }
    theStreamerRW->fManager = iManager;
    UTP_SetCallbacks(theUTPSocket, &sCallbacks, theStreamerRW.Get());
    // The engine connection's reference, taken before anything can report its destruction.
    theStreamerRW->Retain();
    UTP_Connect(theUTPSocket);
    Waiting waiting(*this, iInterruption);
    try
    {
        while (theStreamerRW->fState == eState_Opening)
            waiting.Wait();
    }
    catch (...)
    {
        pCloseConnection(theStreamerRW.Get());
        throw;
    }
    return theStreamerRW;
}

ZRef<StreamerRW> Ubermeister::pAccept(Manager* iManager, Interruption* iInterruption)
{
    Lock lock(*this);
    Endpoint* const theEndpoint = iManager->fEndpoint.Get();
    auto& pending = theEndpoint->fPending;
    Waiting waiting(*this, iInterruption);
    while (pending.empty())
    {
        if (theEndpoint->fDetached)
            return nullptr;
        waiting.Wait();
    }
    ZRef<StreamerRW> theStreamerRW = std::move(pending.front());
    pending.pop_front();
    theStreamerRW->fPending = false;
    theStreamerRW->fManager = iManager;
    // Its window opens to the full receive buffer.
    UTP_SetOption(theStreamerRW->fUTPSocket, UTP_OPTION_RCVBUF, theStreamerRW->fReceiveBuffer);
    UTP_ReadBufferDrained(theStreamerRW->fUTPSocket);
    return theStreamerRW;
}

// Waits until bytes are queued or none can come; returns how many are queued (0: the end).
size_t Ubermeister::pWaitReadable(StreamerRW* iStreamerRW, Interruption* iInterruption)
{
    Waiting waiting(*this, iInterruption);
    for (;;)
    {
        if (!iStreamerRW->fBuffer.Empty())
            return iStreamerRW->fBuffer.Size();
        // After the peer's end, a failure, or our own close, nothing more is delivered.
        if (iStreamerRW->fState >= eState_EOF || iStreamerRW->fClosed)
            return 0;
        waiting.Wait();
    }
}

// Bytes were taken: the engine may open its advertised window again.
void Ubermeister::pTook(StreamerRW* iStreamerRW)
{
    if (iStreamerRW->fUTPSocket)
        UTP_ReadBufferDrained(iStreamerRW->fUTPSocket);
}

void Ubermeister::pRead(StreamerRW* iStreamerRW, void* oDest, size_t iCount, size_t* oCountRead)
{
    Lock lock(*this);
    size_t countRead = 0;
    if (iCount && pWaitReadable(iStreamerRW, nullptr))
    {
        countRead = iStreamerRW->fBuffer.Take(static_cast<uint8_t*>(oDest), iCount);
        pTook(iStreamerRW);
    }
    if (oCountRead)
        *oCountRead = countRead;
}

size_t Ubermeister::pReadAvailable(StreamerRW* iStreamerRW, size_t iMaxCount,
                                   std::unique_ptr<uint8_t[]>& oBytes,
                                   Interruption* iInterruption)
{
    Lock lock(*this);
    if (!iMaxCount)
        return 0;
    const size_t available = pWaitReadable(iStreamerRW, iInterruption);
    if (!available)
        return 0;
    const size_t n = iMaxCount < available ? iMaxCount : available;
    oBytes.reset(new uint8_t[n]);
    iStreamerRW->fBuffer.Take(oBytes.get(), n);
    pTook(iStreamerRW);
    return n;
}

namespace
{

// A write in progress on one stream: ends it on every way out, exceptions included, so that the
// next write may begin.
class WriteInProgress
{
  public:
    WriteInProgress(const uint8_t*& ioData, size_t& ioDataSize, bool& oWakeWriters,
                    const uint32_t& iWriteWaiters)
        : fData(ioData), fDataSize(ioDataSize), fWakeWriters(oWakeWriters),
          fWriteWaiters(iWriteWaiters)
    {
    }
    ~WriteInProgress()
    {
        fData = nullptr;
        fDataSize = 0;
        if (fWriteWaiters)
            fWakeWriters = true;
    }
    WriteInProgress(const WriteInProgress&) = delete;
    WriteInProgress& operator=(const WriteInProgress&) = delete;

  private:
    const uint8_t*& fData;
    size_t& fDataSize;
    bool& fWakeWriters;
    const uint32_t& fWriteWaiters;
};

} // namespace

size_t Ubermeister::pWrite(StreamerRW* iStreamerRW, const void* iSource, size_t iCount,
                           Interruption* iInterruption)
{
    Lock lock(*this);
    Waiting waiting(*this, iInterruption);
    // One write at a time per stream: fData and fDataSize describe only one caller's bytes.
    while (iStreamerRW->fData)
    {
        ++iStreamerRW->fWriteWaiters;
        try
        {
            waiting.Wait();
        }
        catch (...)
        {
            --iStreamerRW->fWriteWaiters;
            throw;
        }
        --iStreamerRW->fWriteWaiters;
    }
    const uint8_t* const source = static_cast<const uint8_t*>(iSource);
    iStreamerRW->fData = source;
    iStreamerRW->fDataSize = iCount;
    WriteInProgress inProgress(iStreamerRW->fData, iStreamerRW->fDataSize, fWakeDue,
                               iStreamerRW->fWriteWaiters);
    // Stops when everything is taken, and when nothing more can be: the connection failed, is
    // gone or closed, or the peer has finished (the engine then takes no bytes at all).
    while (iStreamerRW->fDataSize && pWritable(iStreamerRW))
    {
        if (UTP_Write(iStreamerRW->fUTPSocket, iStreamerRW->fDataSize))
        {
            ZLog::ScopeTrace trace(ZLog::ePriority_Debug, "quillane::UTP::Ubermeister::pWrite");
        }
        else if (iStreamerRW->fDataSize)
        {
            waiting.Wait(kWriteRetrySeconds); // a writable report ends it early
        }
    }
    return size_t(iStreamerRW->fData - source);
}

void Ubermeister::pClose(StreamerRW* iStreamerRW)
{
    Lock lock(*this);
    pCloseConnection(iStreamerRW);
    // A reader or writer of this stream returns now: nothing more will arrive or be taken.
    pWake();
}

void Ubermeister::pFinalize(StreamerRW* iStreamerRW)
{
    Lock lock(*this);
    if (iStreamerRW->FinalizationComplete())
        delete iStreamerRW;
}

void Ubermeister::pFinalize(Manager* iManager)
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Info, "quillane::UTP::Ubermeister::pFinalize");
    Lock lock(*this);
    if (!iManager->FinalizationComplete())
        return;
    Endpoint* const theEndpoint = iManager->fEndpoint.Get();
    theEndpoint->fManagers.erase(iManager);
    // The application holds no stream over the socket and no call waits on it: what is queued
    // would never be taken.
    if (theEndpoint->fManagers.empty())
        pClearQueue(theEndpoint);
    // Releases the Endpoint, which goes once its last stream is gone too.
    delete iManager;
}

void Ubermeister::pFinalize(Endpoint* iEndpoint)
{
    Lock lock(*this);
    if (!iEndpoint->FinalizationComplete())
        return;
    fEndpoints.erase(iEndpoint);
    const auto found = fByDescriptor.find(iEndpoint->fSocket);
    if (found != fByDescriptor.end() && found->second == iEndpoint)
        fByDescriptor.erase(found);
    if (!iEndpoint->fInvalid)
    {
        // What its last connections sent goes out first: once closed, the number may be handed
        // out again at any moment, to a file or another socket.
        pSendOutbox();
        Platform::sSocket_CloseDuplicate(iEndpoint->fDescriptor);
    }
    delete iEndpoint;
}

// =================================================================================================
// Endpoint

Endpoint::Endpoint(int iSocket, int iDescriptor)
    : fSocket(iSocket), fDescriptor(iDescriptor), fDetached(false), fInvalid(false)
{
}

Endpoint::~Endpoint() {}

void Endpoint::Finalize()
{
    Ubermeister::sGet().pFinalize(this);
}

// =================================================================================================
// Manager

Manager::Manager(const ZRef<Endpoint>& iEndpoint) : fEndpoint(iEndpoint) {}

Manager::~Manager() {}

int Manager::GetSocket() const
{
    return fEndpoint->fSocket;
}

ZRef<ZStreamerRW> Manager::MakeStreamerRW()
{
    return Accept(nullptr);
}

ZRef<StreamerRW> Manager::Accept(Interruption* iInterruption)
{
    return Ubermeister::sGet().pAccept(this, iInterruption);
}

ZRef<StreamerRW> Manager::Connect(const sockaddr* iAddress, int iAddressLength,
                                  Interruption* iInterruption)
{
    return Ubermeister::sGet().pConnect(this, iAddress, iAddressLength, iInterruption);
}

void Manager::Finalize()
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug, "quillane::UTP::Manager::Finalize");
    Ubermeister::sGet().pFinalize(this);
}

// =================================================================================================
// StreamerRW

StreamerRW::StreamerRW(const ZRef<Endpoint>& iEndpoint, UTPSocket* iUTPSocket)
    : fEndpoint(iEndpoint), fUTPSocket(iUTPSocket), fState(eState_Opening), fData(nullptr),
      fDataSize(0), fClosed(false), fPending(false), fWriteWaiters(0), fQueuedAt(0),
      fReceiveBuffer(0)
{
}

StreamerRW::~StreamerRW() {}

const Morvek::ZStreamR& StreamerRW::GetStreamR()
{
    return *this;
}

const Morvek::ZStreamW& StreamerRW::GetStreamW()
{
    return *this;
}

void StreamerRW::Imp_Read(void* oDest, size_t iCount, size_t* oCountRead)
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug, "quillane::UTP::StreamerRW::Imp_Read");
    Ubermeister::sGet().pRead(this, oDest, iCount, oCountRead);
}

void StreamerRW::Imp_Write(const void* iSource, size_t iCount, size_t* oCountWritten)
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug, "quillane::UTP::StreamerRW::Imp_Write");
    const size_t written = Ubermeister::sGet().pWrite(this, iSource, iCount, nullptr);
    if (oCountWritten)
        *oCountWritten = written;
}

size_t StreamerRW::ReadAvailable(size_t iMaxCount, std::unique_ptr<uint8_t[]>& oBytes,
                                 Interruption* iInterruption)
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug, "quillane::UTP::StreamerRW::ReadAvailable");
    return Ubermeister::sGet().pReadAvailable(this, iMaxCount, oBytes, iInterruption);
}

size_t StreamerRW::WriteAll(const void* iSource, size_t iCount, Interruption* iInterruption)
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug, "quillane::UTP::StreamerRW::WriteAll");
    return Ubermeister::sGet().pWrite(this, iSource, iCount, iInterruption);
}

void StreamerRW::Close()
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug, "quillane::UTP::StreamerRW::Close");
    Ubermeister::sGet().pClose(this);
}

void StreamerRW::Finalize()
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug, "quillane::UTP::StreamerRW::Finalize");
    Ubermeister::sGet().pFinalize(this);
}

int StreamerRW::GetState()
{
    Ubermeister::Lock lock(Ubermeister::sGet());
    return fState;
}

size_t StreamerRW::CountQueued()
{
    Ubermeister::Lock lock(Ubermeister::sGet());
    return fBuffer.Size();
}

} // namespace UTP

// =================================================================================================
// The inner stream functions

namespace
{

// The first IPv4 address the host yields, as a socket address; 0 when it yields none.
int spResolve(const std::string& iHost, uint16_t iPort, uint8_t* oAddress, int iCapacity)
{
    using namespace Morvek;
    const ZRef<ZNetName_Internet> theName = new ZNetName_Internet(iHost, iPort);
    const ZRef<ZNetNameLookup> theLookup = theName->CreateLookup(0);
    if (!theLookup)
        return 0;
    theLookup->Start();
    for (; !theLookup->Finished(); theLookup->Advance())
    {
        const ZRef<ZNetAddress> theAddress = theLookup->CurrentAddress();
        if (const ZNetAddress_IP4* ip4 = dynamic_cast<const ZNetAddress_IP4*>(theAddress.Get()))
        {
            PeerAddress peer;
            std::memset(&peer, 0, sizeof(peer));
            peer.fAddr[10] = peer.fAddr[11] = 0xFF; // IPv4-mapped
            const uint32_t addr = ip4->GetAddr();
            for (int x = 0; x < 4; ++x)
                peer.fAddr[12 + x] = uint8_t(addr >> (24 - 8 * x));
            peer.fPort = ip4->GetPort();
            return PeerAddress_ToSockAddr(peer, reinterpret_cast<sockaddr*>(oAddress), iCapacity);
        }
    }
    return 0;
}

} // namespace

Morvek::ZRef<Morvek::ZStreamerRW> sUTP_Make(int iSocket, const std::string& iHost, int iPort,
                                            bool iListen, UTP::Interruption* iInterruption)
{
    // Hosts resolve to IPv4 addresses only, which an IPv6 socket could never reach.
    if (Morvek::Platform::sSocket_UDPVersion(iSocket) != 4)
        throw std::runtime_error("socket is not a valid socket");
    const Morvek::ZRef<UTP::Manager> theManager = UTP::Ubermeister::sGet().pMakeManager(iSocket);
    if (iListen)
        return theManager->Accept(iInterruption);
    alignas(8) uint8_t address[UTP_SOCKADDR_MAX];
    const int length = spResolve(iHost, uint16_t(iPort), address, int(sizeof(address)));
    if (!length)
        return nullptr;
    return theManager->Connect(reinterpret_cast<const sockaddr*>(address), length, iInterruption);
}

void sUTP_Close(const Morvek::ZRef<Morvek::ZStreamerRW>& iStreamerRW)
{
    Morvek::ZLog::ScopeTrace trace(Morvek::ZLog::ePriority_Info, "quillane::sUTP_Close");
    if (UTP::StreamerRW* theStreamerRW = dynamic_cast<UTP::StreamerRW*>(iStreamerRW.Get()))
        theStreamerRW->Close();
}

} // namespace quillane
