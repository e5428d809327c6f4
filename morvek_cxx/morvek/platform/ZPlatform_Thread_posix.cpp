// Platform layer, threads facility, POSIX implementation: detached pthreads, pthread mutexes,
// a counting semaphore on a mutex and a monotonic-clock condition variable, pthread keys, and
// the kernel thread id. Called from any thread.

#include "morvek/platform/ZPlatform_Thread.h"

#include <cerrno>
#include <climits>
#include <ctime>
#include <new>

#include <sys/syscall.h>
#include <unistd.h>

namespace Morvek
{
namespace Platform
{

namespace
{

struct StartRecord
{
    void (*fEntry)(void*);
    void* fParam;
};

void* spThreadEntry(void* iRecord)
{
    const StartRecord record = *static_cast<StartRecord*>(iRecord);
    delete static_cast<StartRecord*>(iRecord);
    record.fEntry(record.fParam);
    return nullptr;
}

// The monotonic time iMilliseconds from now.
timespec spDeadline(uint32_t iMilliseconds)
{
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += time_t(iMilliseconds / 1000);
    deadline.tv_nsec += long(iMilliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L)
    {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return deadline;
}

} // namespace

// ---- Threads ----

uint32_t sThread_ID()
{
    // The kernel id, fetched once per thread: the recursive mutex asks on every acquire.
    static thread_local uint32_t sID = uint32_t(syscall(SYS_gettid));
    return sID;
}

bool sThread_Create(void (*iEntry)(void*), void* iParam)
{
    StartRecord* record = new (std::nothrow) StartRecord{iEntry, iParam};
    if (!record)
        return false;
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0)
    {
        delete record;
        return false;
    }
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int err = pthread_create(&thread, &attr, spThreadEntry, record);
    pthread_attr_destroy(&attr);
    if (err != 0)
    {
        delete record;
        return false;
    }
    return true;
}

// ---- Mutex ----

void sMutex_Init(Mutex& oMutex)
{
    pthread_mutex_init(&oMutex.fMutex, nullptr);
}

void sMutex_Destroy(Mutex& ioMutex)
{
    pthread_mutex_destroy(&ioMutex.fMutex);
}

// ---- Semaphore ----

// Units are handed to blocked waiters first come, first served: a unit released while threads
// are blocked goes to the one that has waited longest, and a thread arriving later cannot take
// it first. That is what keeps a ZCondition broadcast from being consumed by a thread that
// started waiting after it. Invariant: fCount > 0 only while no waiter is queued.

void sSemaphore_Init(Semaphore& oSemaphore)
{
    pthread_mutex_init(&oSemaphore.fMutex, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&oSemaphore.fCond, &attr);
    pthread_condattr_destroy(&attr);
    oSemaphore.fCount = 0;
    oSemaphore.fHead = nullptr;
    oSemaphore.fTail = nullptr;
}

void sSemaphore_Destroy(Semaphore& ioSemaphore)
{
    pthread_cond_destroy(&ioSemaphore.fCond);
    pthread_mutex_destroy(&ioSemaphore.fMutex);
}

namespace
{

// Both under the semaphore's mutex.
void spEnqueue(Semaphore& ioSemaphore, SemaphoreWaiter& ioWaiter)
{
    ioWaiter.fNext = nullptr;
    ioWaiter.fGranted = false;
    if (ioSemaphore.fTail)
        ioSemaphore.fTail->fNext = &ioWaiter;
    else
        ioSemaphore.fHead = &ioWaiter;
    ioSemaphore.fTail = &ioWaiter;
}

void spRemove(Semaphore& ioSemaphore, SemaphoreWaiter& ioWaiter)
{
    SemaphoreWaiter* prior = nullptr;
    for (SemaphoreWaiter* w = ioSemaphore.fHead; w; prior = w, w = w->fNext)
    {
        if (w != &ioWaiter)
            continue;
        (prior ? prior->fNext : ioSemaphore.fHead) = w->fNext;
        if (ioSemaphore.fTail == w)
            ioSemaphore.fTail = prior;
        return;
    }
}

// Takes a free unit at once when there is one; the caller holds the mutex.
bool spTakeFree(Semaphore& ioSemaphore)
{
    if (ioSemaphore.fCount == 0)
        return false;
    --ioSemaphore.fCount;
    return true;
}

} // namespace

bool sSemaphore_Enter(Semaphore& ioSemaphore, SemaphoreWaiter& oWaiter)
{
    pthread_mutex_lock(&ioSemaphore.fMutex);
    // Once queued, oWaiter belongs to the releasers until sSemaphore_Wait: read nothing of it
    // after the unlock.
    const bool taken = spTakeFree(ioSemaphore);
    oWaiter.fNext = nullptr;
    oWaiter.fGranted = taken;
    if (!taken)
        spEnqueue(ioSemaphore, oWaiter);
    pthread_mutex_unlock(&ioSemaphore.fMutex);
    return taken;
}

bool sSemaphore_Wait(Semaphore& ioSemaphore, SemaphoreWaiter& ioWaiter, uint32_t iMilliseconds)
{
    pthread_mutex_lock(&ioSemaphore.fMutex);
    if (iMilliseconds == kWaitForever)
    {
        while (!ioWaiter.fGranted)
            pthread_cond_wait(&ioSemaphore.fCond, &ioSemaphore.fMutex);
    }
    else if (!ioWaiter.fGranted && iMilliseconds != 0)
    {
        const timespec deadline = spDeadline(iMilliseconds);
        while (!ioWaiter.fGranted)
        {
            const int err =
                pthread_cond_timedwait(&ioSemaphore.fCond, &ioSemaphore.fMutex, &deadline);
            if (err != 0 && err != EINTR)
                break; // ETIMEDOUT, or a failure, which counts as a time-out
        }
    }
    // A unit granted at the last moment is kept rather than lost.
    const bool obtained = ioWaiter.fGranted;
    if (!obtained)
        spRemove(ioSemaphore, ioWaiter);
    pthread_mutex_unlock(&ioSemaphore.fMutex);
    return obtained;
}

void sSemaphore_Acquire(Semaphore& ioSemaphore)
{
    SemaphoreWaiter waiter;
    if (!sSemaphore_Enter(ioSemaphore, waiter))
        sSemaphore_Wait(ioSemaphore, waiter, kWaitForever);
}

bool sSemaphore_TryAcquireFor(Semaphore& ioSemaphore, uint32_t iMilliseconds)
{
    if (iMilliseconds == 0)
    {
        // Only a test: no queueing.
        pthread_mutex_lock(&ioSemaphore.fMutex);
        const bool obtained = spTakeFree(ioSemaphore);
        pthread_mutex_unlock(&ioSemaphore.fMutex);
        return obtained;
    }
    SemaphoreWaiter waiter;
    return sSemaphore_Enter(ioSemaphore, waiter) ||
           sSemaphore_Wait(ioSemaphore, waiter, iMilliseconds);
}

void sSemaphore_Release(Semaphore& ioSemaphore)
{
    // Signalled under the mutex: a waiter that takes the unit may destroy the semaphore as soon
    // as the mutex is free.
    pthread_mutex_lock(&ioSemaphore.fMutex);
    if (SemaphoreWaiter* first = ioSemaphore.fHead)
    {
        ioSemaphore.fHead = first->fNext;
        if (!ioSemaphore.fHead)
            ioSemaphore.fTail = nullptr;
        first->fGranted = true;
        // Every blocked waiter wakes and checks its own grant; there are seldom more than a few.
        pthread_cond_broadcast(&ioSemaphore.fCond);
    }
    else if (ioSemaphore.fCount < INT32_MAX)
    {
        // At the maximum the release fails and the unit is lost, as with any counting semaphore.
        ++ioSemaphore.fCount;
    }
    pthread_mutex_unlock(&ioSemaphore.fMutex);
}

// ---- Thread-local slots ----

bool sTLS_Alloc(uint32_t& oSlot)
{
    pthread_key_t key;
    if (pthread_key_create(&key, nullptr) != 0)
        return false;
    oSlot = uint32_t(key);
    return true;
}

void sTLS_Free(uint32_t iSlot)
{
    pthread_key_delete(pthread_key_t(iSlot));
}

void* sTLS_Get(uint32_t iSlot)
{
    return pthread_getspecific(pthread_key_t(iSlot));
}

void sTLS_Set(uint32_t iSlot, void* iValue)
{
    pthread_setspecific(pthread_key_t(iSlot), iValue);
}

} // namespace Platform
} // namespace Morvek
