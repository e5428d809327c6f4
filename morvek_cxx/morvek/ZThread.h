// Threads and synchronisation: thread identity and detached thread creation, a plain mutex, a
// recursive mutex that a condition wait frees at any depth, a counting semaphore, a broadcast
// condition, the benaphore (a mutex that costs one atomic add when uncontended) and lazily
// allocated thread-local slots.
//
// Time spans are doubles in seconds, turned into whole milliseconds by truncation toward zero
// (sMilliseconds). All operations may be called from any thread; the primitives impose no lock
// order among themselves, their users do. The operating system is reached only through
// morvek/platform/Platform_Thread.h (and the monotonic clock of Platform_Clock.h).

#ifndef QUILLANE_MORVEK_ZTHREAD_H
#define QUILLANE_MORVEK_ZTHREAD_H

#include "morvek/ZAtomic.h"
#include "morvek/platform/Platform_Thread.h"

#include <atomic>
#include <cstdint>

namespace Morvek
{

class ZCondition;

// Seconds to whole milliseconds, truncated toward zero. Negative and NaN spans are 0; spans
// beyond the 32-bit range are capped at 0xFFFFFFFE ms (about 49.7 days) rather than wrapped
// to a short wait, and never reach the "no time limit" value 0xFFFFFFFF.
uint32_t sMilliseconds(double iSeconds);

// =================================================================================================

class ZThread
{
  public:
    // The operating system's thread id. 0 never names a thread.
    typedef uint32_t ID;
    typedef void (*Proc_t)(void* iParam);

    // The calling thread's id.
    static ID sID();

    // Starts a detached thread running iProc(iParam); nothing ever joins it. An exception that
    // escapes iProc is discarded and ends the thread. Throws std::bad_alloc when no thread
    // could be started (no thread and no start record remain then).
    static void sCreate(Proc_t iProc, void* iParam);

  private:
    static void spEntry(void* iStartRecord);
};

// =================================================================================================

// A plain mutex. Not recursive: the owner must not acquire it again.
class ZMutex
{
  public:
    ZMutex();
    ~ZMutex();
    ZMutex(const ZMutex&) = delete;
    ZMutex& operator=(const ZMutex&) = delete;

    void Acquire() { Platform::sMutex_Acquire(fMutex); }
    void Release() { Platform::sMutex_Release(fMutex); }

  private:
    Platform::Mutex fMutex;
};

// =================================================================================================

// A counting semaphore, initial count 0, maximum 0x7FFFFFFF.
//
// Units go to blocked threads first come, first served: a unit released while threads are
// blocked goes to the one that has waited longest, and a thread arriving later cannot take it
// first, on every platform: the queue lives here, and the platform supplies only a mutex and a
// condition variable (Platform_Thread.h).
class ZSemaphore
{
  public:
    ZSemaphore();
    ~ZSemaphore();
    ZSemaphore(const ZSemaphore&) = delete;
    ZSemaphore& operator=(const ZSemaphore&) = delete;

    // Waits with no time limit.
    void Acquire();

    // Waits at most sMilliseconds(iSeconds); a span of less than 1 ms only tests. True only
    // when a unit was obtained; a time-out or a failure of the wait answers false.
    bool TryAcquireFor(double iSeconds);

    // Releases one unit; it goes to the thread that has been blocked longest, if any.
    void Release();

  private:
    // A thread blocked in the semaphore: a node on its own stack, queued in arrival order.
    struct Waiter
    {
        Waiter* fNext;
        bool fGranted; // a released unit was handed to this waiter
    };

    static const uint32_t kWaitForever = 0xFFFFFFFFu;

    // Two-step acquire. pEnter takes a free unit at once (true) or queues oWaiter; pWait then
    // waits at most iMilliseconds (kWaitForever: no limit) for the unit and leaves the queue
    // when the span runs out. True when the unit was obtained. The waiter lives on the caller's
    // stack until pWait has returned.
    bool pEnter(Waiter& oWaiter);
    bool pWait(Waiter& ioWaiter, uint32_t iMilliseconds);

    // Under fMutex.
    bool pTakeFree();
    void pEnqueue(Waiter& ioWaiter);
    void pRemove(Waiter& ioWaiter);

    // fMutex guards everything below it. It is the innermost lock of the library: nothing else
    // is acquired while it is held.
    Platform::Mutex fMutex;
    Platform::CondVar fCondVar; // broadcast when a unit is granted to a queued waiter
    int32_t fCount;             // free units; above 0 only while no waiter is queued
    Waiter* fHead;              // longest waiting first
    Waiter* fTail;
};

// =================================================================================================

// A mutex with owner and depth. Waiting on a ZCondition while holding it gives it up entirely,
// whatever the depth, and restores the same depth afterwards.
class ZRecursiveMutex
{
  public:
    ZRecursiveMutex();
    ZRecursiveMutex(const ZRecursiveMutex&) = delete;
    ZRecursiveMutex& operator=(const ZRecursiveMutex&) = delete;

    void Acquire();
    void Release();

    // True when the calling thread holds it (at any depth).
    bool IsHeldByCaller() const;

  private:
    friend class ZCondition;
    int32_t pGiveUpForWait();
    void pTakeBackAfterWait(int32_t iDepth);

    // The owner is read without holding fMutex: only the owning thread can have stored its own
    // id there, so a thread that reads its own id really owns the mutex. The atomic only keeps
    // that read free of a data race; relaxed order suffices because fMutex orders the rest.
    std::atomic<ZThread::ID> fOwner;
    ZMutex fMutex;
    int32_t fDepth; // acquisitions by fOwner not yet released; written only by the owner
};

// =================================================================================================

// A broadcast condition. Every broadcast wakes every thread registered at that moment, and only
// those: a waiter registers (under its own mutex, before giving that up) in the current
// generation, and a broadcast that finds registered waiters ends the generation and wakes them
// all with one system call. A thread that starts waiting after a broadcast belongs to the next
// generation and cannot take that broadcast's wake-up; a timed waiter that expires unregisters
// and leaves nothing behind. Callers still wait in a loop that re-tests their own predicate, as
// the system's condition variables may wake without a cause. The caller holds the mutex it
// passes; a broadcast may be made with or without it.
//
// Lock order: the caller's mutex, then fMutex (the innermost lock: nothing else is acquired
// while it is held).
class ZCondition
{
  public:
    ZCondition();
    ~ZCondition();
    ZCondition(const ZCondition&) = delete;
    ZCondition& operator=(const ZCondition&) = delete;

    void Wait(ZMutex& iMutex);
    // False when the span ran out.
    bool WaitFor(ZMutex& iMutex, double iSeconds);

    // The recursive mutex is given up at any depth during the wait and held at the same depth
    // on return.
    void Wait(ZRecursiveMutex& iMutex);
    bool WaitFor(ZRecursiveMutex& iMutex, double iSeconds);

    // Wakes every registered waiter; with none it does nothing.
    void Broadcast();

  private:
    // Registers in the current generation (fMutex held on return), then gives up iMutex.
    uint64_t pRegister(ZMutex& iMutex);

    Platform::Mutex fMutex;
    Platform::CondVar fCondVar;
    uint64_t fGeneration;          // under fMutex; advanced by each broadcast that wakes anyone
    std::atomic<int32_t> fWaiters; // registered in the current generation; written under fMutex
};

// =================================================================================================

// The lightweight mutex: uncontended Acquire and Release are one atomic add each. Not recursive.
class ZBenaphore
{
  public:
    ZBenaphore();
    ZBenaphore(const ZBenaphore&) = delete;
    ZBenaphore& operator=(const ZBenaphore&) = delete;

    void Acquire();
    void Release();

  private:
    ZAtomic_t fCount; // 0 when free, else 1 for the holder plus 1 per waiting thread
    ZSemaphore fSemaphore;
};

// =================================================================================================

// Thread-local slots. A slot is named by a process-wide key word, 0 until the slot is first
// used; sKey allocates the slot on first use and never frees it. A new thread's value is null.
//
//   static ZAtomic_t sScopeKey;                 // zero-initialised
//   ZThreadLocal::sSet(ZThreadLocal::sKey(&sScopeKey), theTop);
class ZThreadLocal
{
  public:
    typedef uint32_t Key; // never 0 once allocated

    // The key stored in ioKeyWord, allocating a slot when there is none yet. Throws
    // std::bad_alloc when the operating system has no slot left.
    static Key sKey(ZAtomic_t* ioKeyWord);

    static void* sGet(Key iKey);
    static void sSet(Key iKey, void* iValue);
};

// =================================================================================================

// Scope guards: acquire on construction, release on destruction.
template <class Mtx> class ZGuard_T
{
  public:
    explicit ZGuard_T(Mtx& iMtx) : fMtx(iMtx) { fMtx.Acquire(); }
    ~ZGuard_T() { fMtx.Release(); }
    ZGuard_T(const ZGuard_T&) = delete;
    ZGuard_T& operator=(const ZGuard_T&) = delete;

  private:
    Mtx& fMtx;
};

// Release guard: releases one level on construction, re-acquires on destruction. Used around
// blocking calls made while holding a lock.
template <class Mtx> class ZReleaseGuard_T
{
  public:
    explicit ZReleaseGuard_T(Mtx& iMtx) : fMtx(iMtx) { fMtx.Release(); }
    ~ZReleaseGuard_T() { fMtx.Acquire(); }
    ZReleaseGuard_T(const ZReleaseGuard_T&) = delete;
    ZReleaseGuard_T& operator=(const ZReleaseGuard_T&) = delete;

  private:
    Mtx& fMtx;
};

typedef ZGuard_T<ZMutex> ZGuardMtx;
typedef ZGuard_T<ZRecursiveMutex> ZGuardRMtx;
typedef ZGuard_T<ZBenaphore> ZGuardBen;
typedef ZReleaseGuard_T<ZRecursiveMutex> ZReleaseGuardRMtx;

} // namespace Morvek

#endif // QUILLANE_MORVEK_ZTHREAD_H
