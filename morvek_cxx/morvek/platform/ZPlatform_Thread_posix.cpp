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

void sSemaphore_Init(Semaphore& oSemaphore)
{
    pthread_mutex_init(&oSemaphore.fMutex, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&oSemaphore.fCond, &attr);
    pthread_condattr_destroy(&attr);
    oSemaphore.fCount = 0;
}

void sSemaphore_Destroy(Semaphore& ioSemaphore)
{
    pthread_cond_destroy(&ioSemaphore.fCond);
    pthread_mutex_destroy(&ioSemaphore.fMutex);
}

void sSemaphore_Acquire(Semaphore& ioSemaphore)
{
    pthread_mutex_lock(&ioSemaphore.fMutex);
    while (ioSemaphore.fCount == 0)
        pthread_cond_wait(&ioSemaphore.fCond, &ioSemaphore.fMutex);
    --ioSemaphore.fCount;
    pthread_mutex_unlock(&ioSemaphore.fMutex);
}

bool sSemaphore_TryAcquireFor(Semaphore& ioSemaphore, uint32_t iMilliseconds)
{
    pthread_mutex_lock(&ioSemaphore.fMutex);
    if (ioSemaphore.fCount == 0 && iMilliseconds != 0)
    {
        const timespec deadline = spDeadline(iMilliseconds);
        while (ioSemaphore.fCount == 0)
        {
            const int err =
                pthread_cond_timedwait(&ioSemaphore.fCond, &ioSemaphore.fMutex, &deadline);
            if (err != 0 && err != EINTR)
                break; // ETIMEDOUT, or a failure, which counts as a time-out
        }
    }
    const bool obtained = ioSemaphore.fCount > 0;
    if (obtained)
        --ioSemaphore.fCount;
    pthread_mutex_unlock(&ioSemaphore.fMutex);
    return obtained;
}

void sSemaphore_Release(Semaphore& ioSemaphore)
{
    pthread_mutex_lock(&ioSemaphore.fMutex);
    // At the maximum the release fails and the unit is lost, as with any counting semaphore.
    // Signalled under the mutex: a waiter that takes the unit may destroy the semaphore as soon
    // as the mutex is free.
    if (ioSemaphore.fCount < INT32_MAX)
    {
        ++ioSemaphore.fCount;
        pthread_cond_signal(&ioSemaphore.fCond);
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
