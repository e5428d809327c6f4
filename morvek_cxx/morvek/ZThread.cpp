// Threads and synchronisation over the platform layer: thread creation and identity, the
// mutexes, the semaphore, the broadcast condition, the benaphore and thread-local keys.
// Everything here may be called from any thread.

#include "morvek/ZThread.h"

#include "morvek/platform/Platform_Clock.h"

#include <climits>
#include <cmath>
#include <new>

namespace Morvek
{

uint32_t sMilliseconds(double iSeconds)
{
    // Truncation toward zero of seconds * 1000; NaN and negative spans are no wait at all.
    const double ms = std::trunc(iSeconds * 1000.0);
    if (!(ms > 0.0))
        return 0;
    if (ms >= 4294967294.0)
        return 0xFFFFFFFEu;
    return uint32_t(ms);
}

// =================================================================================================
// ZThread

namespace
{

struct StartRecord
{
    ZThread::Proc_t fProc;
    void* fParam;
};

} // namespace

ZThread::ID ZThread::sID()
{
    return Platform::sThread_ID();
}

void ZThread::sCreate(Proc_t iProc, void* iParam)
{
    StartRecord* record = new StartRecord{iProc, iParam};
    if (!Platform::sThread_Create(&ZThread::spEntry, record))
    {
        delete record;
        throw std::bad_alloc();
    }
}

void ZThread::spEntry(void* iStartRecord)
{
    StartRecord* record = static_cast<StartRecord*>(iStartRecord);
    try
    {
        record->fProc(record->fParam);
    }
    catch (...)
    {
        // Discarded: the thread's function reports its own failures before they get here.
    }
    delete record;
}

// =================================================================================================
// ZMutex

ZMutex::ZMutex()
{
    Platform::sMutex_Init(fMutex);
}

ZMutex::~ZMutex()
{
    Platform::sMutex_Destroy(fMutex);
}

// The semaphore's queue: invariant fCount > 0 only while no waiter is queued, so a free unit and
// a blocked thread never coexist. Releasers hand units to queued waiters directly (fGranted);
// a waiter only ever reads its own grant.

ZSemaphore::ZSemaphore() : fCount(0), fHead(nullptr), fTail(nullptr)
{
    Platform::sMutex_Init(fMutex);
    Platform::sCondVar_Init(fCondVar);
}

ZSemaphore::~ZSemaphore()
{
    Platform::sCondVar_Destroy(fCondVar);
    Platform::sMutex_Destroy(fMutex);
}

void ZSemaphore::Acquire()
{
    Waiter waiter;
    if (!this->pEnter(waiter))
        this->pWait(waiter, kWaitForever);
}

bool ZSemaphore::TryAcquireFor(double iSeconds)
{
    const uint32_t ms = sMilliseconds(iSeconds);
    if (ms == 0)
    {
        // Only a test: no queueing.
        Platform::sMutex_Acquire(fMutex);
        const bool obtained = this->pTakeFree();
        Platform::sMutex_Release(fMutex);
        return obtained;
    }
    Waiter waiter;
    return this->pEnter(waiter) || this->pWait(waiter, ms);
}

void ZSemaphore::Release()
{
    // Broadcast under the mutex: a waiter that takes the unit may destroy the semaphore as soon
    // as the mutex is free.
    Platform::sMutex_Acquire(fMutex);
    if (Waiter* first = fHead)
    {
        fHead = first->fNext;
        if (!fHead)
            fTail = nullptr;
        first->fGranted = true;
        // Every blocked waiter wakes and checks its own grant; there are seldom more than a few.
        Platform::sCondVar_Broadcast(fCondVar);
    }
    else if (fCount < INT32_MAX)
    {
        // At the maximum the release fails and the unit is lost, as with any counting semaphore.
        ++fCount;
    }
    Platform::sMutex_Release(fMutex);
}

bool ZSemaphore::pEnter(Waiter& oWaiter)
{
    Platform::sMutex_Acquire(fMutex);
    // Once queued, oWaiter belongs to the releasers until pWait: read nothing of it after the
    // release of the mutex.
    const bool taken = this->pTakeFree();
    oWaiter.fNext = nullptr;
    oWaiter.fGranted = taken;
    if (!taken)
        this->pEnqueue(oWaiter);
    Platform::sMutex_Release(fMutex);
    return taken;
}

bool ZSemaphore::pWait(Waiter& ioWaiter, uint32_t iMilliseconds)
{
    Platform::sMutex_Acquire(fMutex);
    if (iMilliseconds == kWaitForever)
    {
        while (!ioWaiter.fGranted)
            Platform::sCondVar_Wait(fCondVar, fMutex);
    }
    else if (!ioWaiter.fGranted && iMilliseconds != 0)
    {
        const uint64_t deadline =
            Platform::sClock_MonotonicMicroseconds() + uint64_t(iMilliseconds) * 1000u;
        while (!ioWaiter.fGranted)
        {
            if (!Platform::sCondVar_WaitUntil(fCondVar, fMutex, deadline))
                break;
        }
    }
    // A unit granted at the last moment is kept rather than lost.
    const bool obtained = ioWaiter.fGranted;
    if (!obtained)
        this->pRemove(ioWaiter);
    Platform::sMutex_Release(fMutex);
    return obtained;
}

bool ZSemaphore::pTakeFree()
{
    if (fCount == 0)
        return false;
    --fCount;
    return true;
}

void ZSemaphore::pEnqueue(Waiter& ioWaiter)
{
    ioWaiter.fNext = nullptr;
    if (fTail)
        fTail->fNext = &ioWaiter;
    else
        fHead = &ioWaiter;
    fTail = &ioWaiter;
}

void ZSemaphore::pRemove(Waiter& ioWaiter)
{
    Waiter* prior = nullptr;
    for (Waiter* w = fHead; w; prior = w, w = w->fNext)
    {
        if (w != &ioWaiter)
            continue;
        (prior ? prior->fNext : fHead) = w->fNext;
        if (fTail == w)
            fTail = prior;
        return;
    }
}

// =================================================================================================
// ZRecursiveMutex

ZRecursiveMutex::ZRecursiveMutex() : fOwner(0), fDepth(0) {}

void ZRecursiveMutex::Acquire()
{
    const ZThread::ID self = ZThread::sID();
    if (fOwner.load(std::memory_order_relaxed) != self)
    {
        fMutex.Acquire();
        fOwner.store(self, std::memory_order_relaxed);
    }
    ++fDepth;
}

void ZRecursiveMutex::Release()
{
    if (--fDepth == 0)
    {
        fOwner.store(0, std::memory_order_relaxed);
        fMutex.Release();
    }
}

bool ZRecursiveMutex::IsHeldByCaller() const
{
    return fOwner.load(std::memory_order_relaxed) == ZThread::sID();
}

int32_t ZRecursiveMutex::pGiveUpForWait()
{
    const int32_t depth = fDepth;
    fDepth = 0;
    fOwner.store(0, std::memory_order_relaxed);
    return depth;
}

void ZRecursiveMutex::pTakeBackAfterWait(int32_t iDepth)
{
    fOwner.store(ZThread::sID(), std::memory_order_relaxed);
    fDepth = iDepth;
}

// =================================================================================================
// ZCondition

ZCondition::ZCondition() : fGeneration(0), fWaiters(0)
{
    Platform::sMutex_Init(fMutex);
    Platform::sCondVar_Init(fCondVar);
}

ZCondition::~ZCondition()
{
    Platform::sCondVar_Destroy(fCondVar);
    Platform::sMutex_Destroy(fMutex);
}

uint64_t ZCondition::pRegister(ZMutex& iMutex)
{
    // Registered while iMutex is still held: a broadcast made under iMutex after this thread
    // tested its predicate finds it.
    Platform::sMutex_Acquire(fMutex);
    fWaiters.store(fWaiters.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    iMutex.Release();
    return fGeneration;
}

void ZCondition::Wait(ZMutex& iMutex)
{
    const uint64_t generation = this->pRegister(iMutex);
    while (fGeneration == generation)
        Platform::sCondVar_Wait(fCondVar, fMutex);
    Platform::sMutex_Release(fMutex);
    iMutex.Acquire();
}

bool ZCondition::WaitFor(ZMutex& iMutex, double iSeconds)
{
    const uint32_t ms = sMilliseconds(iSeconds);
    const uint64_t generation = this->pRegister(iMutex);
    if (ms != 0)
    {
        const uint64_t deadline = Platform::sClock_MonotonicMicroseconds() + uint64_t(ms) * 1000u;
        while (fGeneration == generation)
        {
            if (!Platform::sCondVar_WaitUntil(fCondVar, fMutex, deadline))
                break;
        }
    }
    // A broadcast that came at the last moment still counts.
    const bool woken = fGeneration != generation;
    if (!woken)
        fWaiters.store(fWaiters.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    Platform::sMutex_Release(fMutex);
    iMutex.Acquire();
    return woken;
}

void ZCondition::Wait(ZRecursiveMutex& iMutex)
{
    const int32_t depth = iMutex.pGiveUpForWait();
    this->Wait(iMutex.fMutex);
    iMutex.pTakeBackAfterWait(depth);
}

bool ZCondition::WaitFor(ZRecursiveMutex& iMutex, double iSeconds)
{
    const int32_t depth = iMutex.pGiveUpForWait();
    const bool result = this->WaitFor(iMutex.fMutex, iSeconds);
    iMutex.pTakeBackAfterWait(depth);
    return result;
}

void ZCondition::Broadcast()
{
    // Without waiters nothing is locked. A waiter that registered under the caller's mutex is
    // seen here when the caller broadcasts under the same mutex (the mutex orders the two);
    // without it, a waiter registering at the same moment may or may not be woken, as with any
    // broadcast that races a wait.
    if (fWaiters.load(std::memory_order_relaxed) == 0)
        return;
    Platform::sMutex_Acquire(fMutex);
    if (fWaiters.load(std::memory_order_relaxed) != 0)
    {
        fWaiters.store(0, std::memory_order_relaxed);
        ++fGeneration;
        Platform::sCondVar_Broadcast(fCondVar);
    }
    Platform::sMutex_Release(fMutex);
}

// =================================================================================================
// ZBenaphore

ZBenaphore::ZBenaphore() : fCount(0) {}

void ZBenaphore::Acquire()
{
    if (sAtomic_Add(&fCount, 1) > 0)
        fSemaphore.Acquire();
}

void ZBenaphore::Release()
{
    if (sAtomic_Add(&fCount, -1) > 1)
        fSemaphore.Release();
}

// =================================================================================================
// ZThreadLocal

ZThreadLocal::Key ZThreadLocal::sKey(ZAtomic_t* ioKeyWord)
{
    // The word holds the slot plus 1, so 0 can mean "none yet" whatever the slot numbers are.
    const int32_t existing = sAtomic_Get(ioKeyWord);
    if (existing != 0)
        return Key(existing);

    uint32_t slot;
    if (!Platform::sTLS_Alloc(slot))
        throw std::bad_alloc();
    const int32_t mine = int32_t(slot + 1);
    if (sAtomic_CompareAndSwap(ioKeyWord, 0, mine))
        return Key(mine);
    // Another thread stored its slot first; ours was never handed out.
    Platform::sTLS_Free(slot);
    return Key(sAtomic_Get(ioKeyWord));
}

void* ZThreadLocal::sGet(Key iKey)
{
    return Platform::sTLS_Get(iKey - 1);
}

void ZThreadLocal::sSet(Key iKey, void* iValue)
{
    Platform::sTLS_Set(iKey - 1, iValue);
}

} // namespace Morvek
