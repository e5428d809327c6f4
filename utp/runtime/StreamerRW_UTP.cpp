// The runner, the engine callbacks and the stream operations (see StreamerRW_UTP.h for the
// threads, the lock and the lifetimes).
//
// Every datagram from a socket is hostile; the engine checks it. What this unit adds to the
// engine's own bounds: at most kDatagramsPerPass datagrams are read from a socket per pass, and
// no read blocks (so the runner cannot stall under fMtx however many Managers share a blocking
// socket); a SYN reaches the engine's accept path only while its socket's queue has room; a
// stream's received bytes are reported to the engine as they queue and are capped at
// kReceiveLimit.
//
// No engine callback lets an exception out: one unwinding through the engine would leave its
// records half-updated. Allocation failures there fail the stream (or the new connection).

#include "runtime/StreamerRW_UTP.h"
#include "runtime/DatagramMask.h"

#include "morvek/ZLog.h"
#include "morvek/ZNet_Internet.h"
#include "morvek/platform/ZPlatform_Socket.h"

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

} // namespace

// =================================================================================================
// Ubermeister: life and registry

const UTPCallbacks Ubermeister::sCallbacks = {&Ubermeister::spUTPOnReadProc,
                                              &Ubermeister::spUTPOnWriteProc,
                                              &Ubermeister::spUTPGetReadBufferSizeProc,
                                              &Ubermeister::spUTPOnStateChangeProc,
                                              &Ubermeister::spUTPOnErrorProc,
                                              &Ubermeister::spUTPOnOverheadProc};

Ubermeister& Ubermeister::sGet()
{
    // Made once, whichever thread comes first; a failed start leaves it unmade for the next
    // caller. Never destroyed: its runner cannot be stopped, and would use a destroyed lock while
    // the process exits.
    static Ubermeister* const sUbermeister = []
    {
        Ubermeister* theUbermeister = new Ubermeister;
        try
        {
            // The first reference runs Initialize, which starts the runner. It is never given
            // back.
            theUbermeister->Retain();
        }
        catch (...)
        {
            delete theUbermeister; // no runner was started, so nothing else refers to it
            throw;
        }
        return theUbermeister;
    }();
    return *sUbermeister;
}

Ubermeister::Ubermeister()
    : fLockDepth(0), fWakeDue(false), fReceiveBytes(new uint8_t[kReceiveBatch * kDatagramCapacity]),
      fReceiveSlots(kReceiveBatch)
{
    for (size_t x = 0; x < kReceiveBatch; ++x)
    {
        fReceiveSlots[x].fBuffer = fReceiveBytes.get() + x * kDatagramCapacity;
        fReceiveSlots[x].fCapacity = kDatagramCapacity;
    }
}

Ubermeister::~Ubermeister() {}

void Ubermeister::Initialize()
{
    ZCounted::Initialize();
    // The thread holds a plain pointer: the object is never destroyed.
    Morvek::ZThread::sCreate(&Ubermeister::spRunner, this);
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
    if (!Platform::sSocket_RaiseBuffers(iSocket, kSocketBufferSize))
        throw std::runtime_error("socket is not a valid socket");
    Lock lock(*this);
    ZRef<Endpoint> theEndpoint;
    const auto found = fEndpoints.find(iSocket);
    if (found != fEndpoints.end())
    {
        theEndpoint = found->second;
    }
    else
    {
        theEndpoint = new Endpoint(iSocket);
        fEndpoints.emplace(iSocket, theEndpoint.Get());
    }
    ZRef<Manager> theManager = new Manager(theEndpoint);
    theEndpoint->fManagers.insert(theManager.Get());
    theManager->fRegistered = true;
    theEndpoint->fInvalid = false;
    ++theEndpoint->fRegistrations;
    // An idle runner would otherwise notice the socket only at its next wake-up.
    pWake();
    return theManager;
}

size_t Ubermeister::CountManagers()
{
    Lock lock(*this);
    size_t count = 0;
    for (const auto& entry : fEndpoints)
        count += entry.second->fManagers.size();
    return count;
}

size_t Ubermeister::CountPending(int iSocket)
{
    Lock lock(*this);
    const auto found = fEndpoints.find(iSocket);
    return found == fEndpoints.end() ? 0 : found->second->fPending.size();
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
        // A Manager whose last reference this was dies here.
        fPollManagers.clear();
    }
}

// One entry per socket with a registered Manager, and a reference to one of those Managers: it
// keeps the socket's Endpoint alive while the lock is given up.
void Ubermeister::pTakeSnapshot()
{
    fPollSockets.clear();
    fPollManagers.clear();
    fPollRegistrations.clear();
    for (const auto& entry : fEndpoints)
    {
        const Endpoint* theEndpoint = entry.second;
        if (theEndpoint->fInvalid || theEndpoint->fManagers.empty())
            continue;
        fPollSockets.push_back(theEndpoint->fSocket);
        fPollManagers.push_back(*theEndpoint->fManagers.begin());
        fPollRegistrations.push_back(theEndpoint->fRegistrations);
    }
    fPollReady.resize(fPollSockets.size());
}

void Ubermeister::pReceive(size_t iIndex)
{
    Endpoint* theEndpoint = fPollManagers[iIndex]->fEndpoint.Get();
    // A registration during the wait may be of a new socket that reuses the closed descriptor.
    if (fPollReady[iIndex] == Platform::eSocket_Invalid &&
        theEndpoint->fRegistrations == fPollRegistrations[iIndex])
    {
        theEndpoint->fInvalid = true;
    }
    if (fPollReady[iIndex] != Platform::eSocket_Readable)
        return;
    for (size_t count = 0; count < kDatagramsPerPass;)
    {
        const size_t wanted =
            kDatagramsPerPass - count < kReceiveBatch ? kDatagramsPerPass - count : kReceiveBatch;
        const size_t got =
            Platform::sSocket_ReceiveBatch(theEndpoint->fSocket, fReceiveSlots.data(), wanted);
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
    // While the socket's queue is full the engine gets no accept function, so it drops a SYN
    // before it creates anything.
    const bool room = iEndpoint->fPending.size() < kBacklog;
    UTP_ProcessDatagram(room ? &Ubermeister::spUTPGotIncomingConnection : nullptr,
                        &Ubermeister::spSendToProc, iEndpoint, theDatagram, ioSlot.fLength,
                        reinterpret_cast<const sockaddr*>(ioSlot.fSource.fBytes),
                        ioSlot.fSource.fLength);
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
    if (fOutbox.Full())
        pSendOutbox();
    if (uint8_t* slot = fOutbox.Add(iEndpoint->fSocket, iLength, iAddress, iAddressLength))
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
    spSendTo(iEndpoint->fSocket, masked.get(), iLength, iAddress, iAddressLength);
}

void Ubermeister::pUTPGotIncomingConnection(Endpoint* iEndpoint, UTPSocket* iUTPSocket)
{
    Lock lock(*this);
    // The runner offers the accept function only while the queue has room, and reads a socket
    // only while it has a registered Manager.
    if (iEndpoint->fPending.size() >= kBacklog || iEndpoint->fManagers.empty())
        return pAbandonIncoming(iEndpoint, iUTPSocket);
    ZRef<StreamerRW> theStreamerRW;
    try
    {
        theStreamerRW = new StreamerRW(*iEndpoint->fManagers.begin(), iUTPSocket);
        iEndpoint->fPending.push_back(theStreamerRW);
    }
    catch (...)
    {
        return pAbandonIncoming(iEndpoint, iUTPSocket);
    }
    theStreamerRW->fPending = true;
    theStreamerRW->fState = eState_Writable;
    UTP_SetCallbacks(iUTPSocket, &sCallbacks, theStreamerRW.Get());
    theStreamerRW->Retain(); // the engine connection's, given back when it is destroyed
    pWake();
}

// Nobody can take this connection: close it. It keeps sending through the Endpoint until the
// engine destroys it, so the Endpoint must outlive it: it is kept for good.
void Ubermeister::pAbandonIncoming(Endpoint* iEndpoint, UTPSocket* iUTPSocket)
{
    UTP_Close(iUTPSocket);
    iEndpoint->Retain();
}

void Ubermeister::pUTPOnReadProc(StreamerRW* iStreamerRW, const uint8_t* iBytes, size_t iCount)
{
    Lock lock(*this);
    if (iStreamerRW->fClosed)
        return; // failed by this layer; nobody will read more
    // Within the advertised window the queue never gets near the limit.
    if (iCount > kReceiveLimit - iStreamerRW->fBuffer.Size())
        return pFail(iStreamerRW);
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

void Ubermeister::pDropPending(StreamerRW* iStreamerRW)
{
    if (!iStreamerRW->fPending)
        return;
    iStreamerRW->fPending = false;
    auto& pending = iStreamerRW->fManager->fEndpoint->fPending;
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

// =================================================================================================
// Stream and manager operations

ZRef<StreamerRW> Ubermeister::pConnect(Manager* iManager, const sockaddr* iAddress,
                                       int iAddressLength)
{
    Lock lock(*this);
    UTPSocket* theUTPSocket =
        UTP_Create(&Ubermeister::spSendToProc, iManager->fEndpoint.Get(), iAddress, iAddressLength);
    ZRef<StreamerRW> theStreamerRW;
    try
    {
        theStreamerRW = new StreamerRW(iManager, theUTPSocket);
    }
    catch (...)
    {
        UTP_Close(theUTPSocket); // never connected: destroyed at the next sweep, nothing sent
        throw;
    }
    UTP_SetCallbacks(theUTPSocket, &sCallbacks, theStreamerRW.Get());
    // The engine connection's reference, taken before anything can report its destruction.
    theStreamerRW->Retain();
    UTP_Connect(theUTPSocket);
    while (theStreamerRW->fState == eState_Opening)
        pWait();
    return theStreamerRW;
}

ZRef<StreamerRW> Ubermeister::pMakeStreamerRW(Manager* iManager)
{
    Lock lock(*this);
    auto& pending = iManager->fEndpoint->fPending;
    while (pending.empty())
        pWait();
    ZRef<StreamerRW> theStreamerRW = std::move(pending.front());
    pending.pop_front();
    theStreamerRW->fPending = false;
    return theStreamerRW;
}

// Waits until bytes are queued or none can come; returns how many are queued (0: the end).
size_t Ubermeister::pWaitReadable(StreamerRW* iStreamerRW)
{
    for (;;)
    {
        if (!iStreamerRW->fBuffer.Empty())
            return iStreamerRW->fBuffer.Size();
        // After the peer's end, a failure, or our own close, nothing more is delivered.
        if (iStreamerRW->fState >= eState_EOF || iStreamerRW->fClosed)
            return 0;
        pWait();
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
    if (iCount && pWaitReadable(iStreamerRW))
    {
        countRead = iStreamerRW->fBuffer.Take(static_cast<uint8_t*>(oDest), iCount);
        pTook(iStreamerRW);
    }
    if (oCountRead)
        *oCountRead = countRead;
}

size_t Ubermeister::pReadAvailable(StreamerRW* iStreamerRW, size_t iMaxCount,
                                   std::unique_ptr<uint8_t[]>& oBytes)
{
    Lock lock(*this);
    if (!iMaxCount)
        return 0;
    const size_t available = pWaitReadable(iStreamerRW);
    if (!available)
        return 0;
    const size_t n = iMaxCount < available ? iMaxCount : available;
    oBytes.reset(new uint8_t[n]);
    iStreamerRW->fBuffer.Take(oBytes.get(), n);
    pTook(iStreamerRW);
    return n;
}

void Ubermeister::pWrite(StreamerRW* iStreamerRW, const void* iSource, size_t iCount,
                         size_t* oCountWritten)
{
    Lock lock(*this);
    // One write at a time per stream: fData and fDataSize describe only one caller's bytes.
    while (iStreamerRW->fData)
    {
        ++iStreamerRW->fWriteWaiters;
        pWait();
        --iStreamerRW->fWriteWaiters;
    }
    const uint8_t* const source = static_cast<const uint8_t*>(iSource);
    iStreamerRW->fData = source;
    iStreamerRW->fDataSize = iCount;
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
            pWaitFor(kWriteRetrySeconds); // a writable report ends it early
        }
    }
    const size_t written = size_t(iStreamerRW->fData - source);
    iStreamerRW->fData = nullptr;
    iStreamerRW->fDataSize = 0;
    if (iStreamerRW->fWriteWaiters)
        pWake();
    if (oCountWritten)
        *oCountWritten = written;
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
    if (iManager->fRegistered)
        iManager->fEndpoint->fManagers.erase(iManager);
    // Releases the Endpoint, which goes with its last Manager (every queued stream holds a
    // Manager of its socket, so its queue is empty by then).
    delete iManager;
}

void Ubermeister::pFinalize(Endpoint* iEndpoint)
{
    Lock lock(*this);
    if (!iEndpoint->FinalizationComplete())
        return;
    const auto found = fEndpoints.find(iEndpoint->fSocket);
    if (found != fEndpoints.end() && found->second == iEndpoint)
        fEndpoints.erase(found);
    delete iEndpoint;
}

// =================================================================================================
// Endpoint

Endpoint::Endpoint(int iSocket) : fSocket(iSocket), fInvalid(false), fRegistrations(0) {}

Endpoint::~Endpoint() {}

void Endpoint::Finalize()
{
    Ubermeister::sGet().pFinalize(this);
}

// =================================================================================================
// Manager

Manager::Manager(const ZRef<Endpoint>& iEndpoint) : fEndpoint(iEndpoint), fRegistered(false) {}

Manager::~Manager() {}

int Manager::GetSocket() const
{
    return fEndpoint->fSocket;
}

ZRef<ZStreamerRW> Manager::MakeStreamerRW()
{
    return Ubermeister::sGet().pMakeStreamerRW(this);
}

ZRef<StreamerRW> Manager::Connect(const sockaddr* iAddress, int iAddressLength)
{
    return Ubermeister::sGet().pConnect(this, iAddress, iAddressLength);
}

void Manager::Finalize()
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug, "quillane::UTP::Manager::Finalize");
    Ubermeister::sGet().pFinalize(this);
}

// =================================================================================================
// StreamerRW

StreamerRW::StreamerRW(const ZRef<Manager>& iManager, UTPSocket* iUTPSocket)
    : fManager(iManager), fUTPSocket(iUTPSocket), fState(eState_Opening), fData(nullptr),
      fDataSize(0), fClosed(false), fPending(false), fWriteWaiters(0)
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
    Ubermeister::sGet().pWrite(this, iSource, iCount, oCountWritten);
}

size_t StreamerRW::ReadAvailable(size_t iMaxCount, std::unique_ptr<uint8_t[]>& oBytes)
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug, "quillane::UTP::StreamerRW::ReadAvailable");
    return Ubermeister::sGet().pReadAvailable(this, iMaxCount, oBytes);
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
                                            bool iListen)
{
    const Morvek::ZRef<UTP::Manager> theManager = UTP::Ubermeister::sGet().pMakeManager(iSocket);
    if (iListen)
        return theManager->MakeStreamerRW();
    alignas(8) uint8_t address[UTP_SOCKADDR_MAX];
    const int length = spResolve(iHost, uint16_t(iPort), address, int(sizeof(address)));
    if (!length)
        return nullptr;
    return theManager->Connect(reinterpret_cast<const sockaddr*>(address), length);
}

void sUTP_Close(const Morvek::ZRef<Morvek::ZStreamerRW>& iStreamerRW)
{
    Morvek::ZLog::ScopeTrace trace(Morvek::ZLog::ePriority_Info, "quillane::sUTP_Close");
    if (UTP::StreamerRW* theStreamerRW = dynamic_cast<UTP::StreamerRW*>(iStreamerRW.Get()))
        theStreamerRW->Close();
}

} // namespace quillane
