// Platform layer, threads facility: the operating-system calls behind ZThread.h. The types are
// supplied by the variant header of the platform (ZPlatform_Thread_posix.h now, a _win variant
// beside it later); the functions are implemented in ZPlatform_Thread_<platform>.cpp, which the
// build picks. Each facility of the platform layer follows the same pattern:
// ZPlatform_<Facility>.h, ZPlatform_<Facility>_posix.h (types, inline hot paths) and
// ZPlatform_<Facility>_posix.cpp.
//
// Failures of the primitives are not reported except where a result says so; a timed wait that
// fails counts as a time-out.

#ifndef __Morvek_platform_ZPlatform_Thread_h__
#define __Morvek_platform_ZPlatform_Thread_h__ 1

#include <cstdint>

#if defined(_WIN32)
#error "The Win32 threads layer (ZPlatform_Thread_win.h) is not written yet"
#elif defined(__unix__) || defined(__APPLE__)
#include "morvek/platform/ZPlatform_Thread_posix.h"
#else
#error "No threads layer for this platform"
#endif

namespace Morvek
{
namespace Platform
{

// The calling thread's operating-system id; never 0.
uint32_t sThread_ID();

// Starts a detached thread running iEntry(iParam). False when no thread could be started.
bool sThread_Create(void (*iEntry)(void*), void* iParam);

// Mutex (plain, not recursive). sMutex_Acquire and sMutex_Release are inline in the variant.
void sMutex_Init(Mutex& oMutex);
void sMutex_Destroy(Mutex& ioMutex);

// Counting semaphore, initial count 0, maximum 0x7FFFFFFF.
void sSemaphore_Init(Semaphore& oSemaphore);
void sSemaphore_Destroy(Semaphore& ioSemaphore);
void sSemaphore_Acquire(Semaphore& ioSemaphore);
// Waits at most iMilliseconds (0 only tests); true when a unit was obtained.
bool sSemaphore_TryAcquireFor(Semaphore& ioSemaphore, uint32_t iMilliseconds);
void sSemaphore_Release(Semaphore& ioSemaphore);

// Two-step acquire, for a caller that must join the queue of waiters before it gives up a lock
// of its own (ZCondition): sSemaphore_Enter takes a free unit at once (true) or queues
// oWaiter; sSemaphore_Wait then waits at most iMilliseconds (kWaitForever: no limit) for the
// unit and leaves the queue when the span runs out. True when the unit was obtained. oWaiter
// lives on the caller's stack until sSemaphore_Wait has returned.
const uint32_t kWaitForever = 0xFFFFFFFFu;
bool sSemaphore_Enter(Semaphore& ioSemaphore, SemaphoreWaiter& oWaiter);
bool sSemaphore_Wait(Semaphore& ioSemaphore, SemaphoreWaiter& ioWaiter, uint32_t iMilliseconds);

// Thread-local slots. Values start null on every thread.
bool sTLS_Alloc(uint32_t& oSlot);
void sTLS_Free(uint32_t iSlot);
void* sTLS_Get(uint32_t iSlot);
void sTLS_Set(uint32_t iSlot, void* iValue);

} // namespace Platform
} // namespace Morvek

#endif // __Morvek_platform_ZPlatform_Thread_h__
