// Platform layer, threads facility, POSIX variant: the types of ZPlatform_Thread.h and its
// inline hot paths (mutex acquire and release). Included only through ZPlatform_Thread.h.

#ifndef __Morvek_platform_ZPlatform_Thread_posix_h__
#define __Morvek_platform_ZPlatform_Thread_posix_h__ 1

#include <pthread.h>
#include <cstdint>

namespace Morvek
{
namespace Platform
{

struct Mutex
{
    pthread_mutex_t fMutex;
};

// A thread blocked in a semaphore: a node on its own stack, queued in arrival order.
struct SemaphoreWaiter
{
    SemaphoreWaiter* fNext;
    bool fGranted; // a released unit was handed to this waiter
};

// A counting semaphore built on a mutex and a condition variable on the monotonic clock, so a
// timed wait is not disturbed by changes of the wall clock. Units go to blocked waiters in
// arrival order. Everything but the two pthread objects is guarded by fMutex, the innermost
// lock of the library: nothing else is acquired while it is held.
struct Semaphore
{
    pthread_mutex_t fMutex;
    pthread_cond_t fCond;
    int32_t fCount; // free units; above 0 only while no waiter is queued
    SemaphoreWaiter* fHead;
    SemaphoreWaiter* fTail;
};

inline void sMutex_Acquire(Mutex& ioMutex)
{
    pthread_mutex_lock(&ioMutex.fMutex);
}

inline void sMutex_Release(Mutex& ioMutex)
{
    pthread_mutex_unlock(&ioMutex.fMutex);
}

} // namespace Platform
} // namespace Morvek

#endif // __Morvek_platform_ZPlatform_Thread_posix_h__
