// Platform layer, threads facility, POSIX implementation: detached pthreads, pthread mutexes,
// condition variables on the monotonic clock, pthread keys, and the kernel thread id. Called
// from any thread.

#include "morvek/platform/Platform_Thread.h"

#include <cerrno>
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

void sThread_AtFork(void (*iPrepare)(), void (*iParent)(), void (*iChild)())
{
    ::pthread_atfork(iPrepare, iParent, iChild);
}

void sMutex_Init(Mutex& oMutex)
{
    pthread_mutex_init(&oMutex.fMutex, nullptr);
}

void sMutex_Destroy(Mutex& ioMutex)
{
    pthread_mutex_destroy(&ioMutex.fMutex);
}

// ---- Condition variable ----

void sCondVar_Init(CondVar& oCondVar)
{
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&oCondVar.fCond, &attr);
    pthread_condattr_destroy(&attr);
}

void sCondVar_Destroy(CondVar& ioCondVar)
{
    pthread_cond_destroy(&ioCondVar.fCond);
}

void sCondVar_Wait(CondVar& ioCondVar, Mutex& ioMutex)
{
    pthread_cond_wait(&ioCondVar.fCond, &ioMutex.fMutex);
}

bool sCondVar_WaitUntil(CondVar& ioCondVar, Mutex& ioMutex, uint64_t iDeadline)
{
    // The clock of sClock_MonotonicMicroseconds is the condition variable's (CLOCK_MONOTONIC,
    // set in sCondVar_Init), so the deadline converts exactly.
    timespec deadline;
    deadline.tv_sec = time_t(iDeadline / 1000000u);
    deadline.tv_nsec = long(iDeadline % 1000000u) * 1000L;
    const int err = pthread_cond_timedwait(&ioCondVar.fCond, &ioMutex.fMutex, &deadline);
    return err == 0 || err == EINTR; // ETIMEDOUT, or a failure, which counts as a time-out
}

void sCondVar_Broadcast(CondVar& ioCondVar)
{
    pthread_cond_broadcast(&ioCondVar.fCond);
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
