// The Ubermeister's life, its lock with settling and waiting, the fork, and the registry of
// sockets (see Ubermeister.h for the threads, the lock and the lifetimes).

#include "utp/runtime/Ubermeister.h"

#include "utp/runtime/Endpoint.h"
#include "utp/runtime/Manager.h"

#include "utp/engine/utp.h"

#include "morvek/ZLog.h"
#include "morvek/platform/Platform_Clock.h"
#include "morvek/platform/Platform_Thread.h"

#include <stdexcept>

namespace quillane
{
namespace UTP
{

using Morvek::ZRef;
namespace Platform = Morvek::Platform;

// =================================================================================================
// Life

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
// Fork

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
        if (!theEndpoint->IsInvalid())
            Platform::sSocket_CloseDuplicate(theEndpoint->GetDescriptor());
    }
    UTP_FreeAll();
}

// =================================================================================================
// The lock, settling and waiting

Ubermeister::Lock::Lock() : fUbermeister(sGet())
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

namespace
{

uint64_t spNextCheck()
{
    return Platform::sClock_MonotonicMicroseconds() + uint64_t(kInterruptSeconds * 1e6);
}

} // namespace

Ubermeister::Waiting::Waiting(Interruption* iInterruption)
    : fUbermeister(sGet()), fInterruption(iInterruption), fNextCheck(spNextCheck())
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
    const uint64_t now = Platform::sClock_MonotonicMicroseconds();
    if (now >= fNextCheck)
    {
        {
            Unlock unlocked(fUbermeister);
            fInterruption->Check();
        }
        fNextCheck = spNextCheck();
        return;
    }
    const double untilCheck = double(fNextCheck - now) / 1e6;
    fUbermeister.pWaitFor(iSeconds < 0 || untilCheck < iSeconds ? untilCheck : iSeconds);
}

bool Ubermeister::pSettle() noexcept
{
    // Datagrams first: a woken reader or writer finds them already on their way.
    if (!fOutbox.Empty())
        SendOutbox();
    const bool wake = fWakeDue;
    fWakeDue = false;
    return wake;
}

void Ubermeister::SendOutbox() noexcept
{
    for (size_t refused = fOutbox.Send(); refused; --refused)
        sTraceRefused();
}

void Ubermeister::sTraceRefused()
{
    Morvek::ZLog::sLogTrace(Morvek::ZLog::ePriority_Debug, __FILE__, __LINE__,
                            "quillane::UTP::spSendTo");
}

Outbox& Ubermeister::GetOutbox()
{
    return fOutbox;
}

void Ubermeister::Wake()
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
// The registry of sockets

ZRef<Manager> Ubermeister::MakeManager(int iSocket)
{
    if (!Platform::sSocket_UDPVersion(iSocket))
        throw std::runtime_error("socket is not a valid socket");
    Platform::sSocket_RaiseBuffers(iSocket, kSocketBufferSize);
    Lock lock;
    pStartRunner();
    ZRef<Endpoint> theEndpoint;
    const auto found = fByDescriptor.find(iSocket);
    if (found != fByDescriptor.end())
    {
        // The number may have been closed and handed out again for another socket.
        if (Platform::sSocket_Same(iSocket, found->second->GetDescriptor()))
            theEndpoint = found->second;
        else
            found->second->Detach();
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
    theEndpoint->AddManager(theManager.Get());
    // An idle runner would otherwise notice the socket only at its next wake-up.
    Wake();
    return theManager;
}

size_t Ubermeister::CountManagers()
{
    Lock lock;
    size_t count = 0;
    for (const Endpoint* theEndpoint : fEndpoints)
        count += theEndpoint->CountManagers();
    return count;
}

size_t Ubermeister::CountEndpoints()
{
    Lock lock;
    return fEndpoints.size();
}

size_t Ubermeister::CountPending(int iSocket)
{
    Lock lock;
    const auto found = fByDescriptor.find(iSocket);
    return found == fByDescriptor.end() ? 0 : found->second->CountQueued();
}

size_t Ubermeister::CountConnections()
{
    Lock lock;
    return UTP_GetConnectionCount();
}

size_t Ubermeister::CountUnsent()
{
    Lock lock;
    return fOutbox.Count();
}

} // namespace UTP
} // namespace quillane
