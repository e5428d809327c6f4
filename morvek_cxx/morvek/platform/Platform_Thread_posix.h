// Platform layer, threads facility, POSIX variant: the types of Platform_Thread.h and its
// inline hot paths (mutex acquire and release). Included only through Platform_Thread.h.

#ifndef QUILLANE_MORVEK_PLATFORM_PLATFORM_THREAD_POSIX_H
#define QUILLANE_MORVEK_PLATFORM_PLATFORM_THREAD_POSIX_H

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

// A condition variable on the monotonic clock, so that a timed wait is not disturbed by changes
// of the wall clock.
struct CondVar
{
    pthread_cond_t fCond;
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

#endif // QUILLANE_MORVEK_PLATFORM_PLATFORM_THREAD_POSIX_H
