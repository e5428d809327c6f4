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

// A counting semaphore built on a mutex and a condition variable on the monotonic clock, so a
// timed wait is not disturbed by changes of the wall clock. fCount is guarded by fMutex.
struct Semaphore
{
    pthread_mutex_t fMutex;
    pthread_cond_t fCond;
    int32_t fCount;
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
