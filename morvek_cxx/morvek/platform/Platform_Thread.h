// Platform layer, threads facility: the operating-system calls behind ZThread.h. The types are
// supplied by the variant header of the platform (Platform_Thread_posix.h or _win.h); the
// functions are implemented in Platform_Thread_<platform>.cpp, which the build picks. Each
// facility of the platform layer follows the same pattern: Platform_<Facility>.h,
// Platform_<Facility>_posix.h and _win.h (types, inline hot paths), and
// Platform_<Facility>_posix.cpp and _win.cpp.
//
// Failures of the primitives are not reported except where a result says so; a timed wait that
// fails counts as a time-out. Everything may be called from any thread.

#ifndef QUILLANE_MORVEK_PLATFORM_PLATFORM_THREAD_H
#define QUILLANE_MORVEK_PLATFORM_PLATFORM_THREAD_H

#include <cstdint>

#if defined(_WIN32)
#include "morvek/platform/Platform_Thread_win.h"
#elif defined(__unix__) || defined(__APPLE__)
#include "morvek/platform/Platform_Thread_posix.h"
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

// Mutex (plain, not recursive). sMutex_Acquire and sMutex_Release are supplied by the variant
// (inline where the platform allows it).
void sMutex_Init(Mutex& oMutex);
void sMutex_Destroy(Mutex& ioMutex);

// Condition variable over a Mutex: the blocking and waking that the library's semaphore is
// built on (the semaphore's queue of waiters and its counting live above the platform, in
// ZThread.cpp). The caller holds ioMutex; it is given up during the wait and held again on
// return. A wait may end without a broadcast (a spurious wake-up): callers re-test their
// predicate in a loop.
void sCondVar_Init(CondVar& oCondVar);
void sCondVar_Destroy(CondVar& ioCondVar);
void sCondVar_Wait(CondVar& ioCondVar, Mutex& ioMutex);
// As sCondVar_Wait, but also ends once sClock_MonotonicMicroseconds() (Platform_Clock.h) has
// reached iDeadline. False when the deadline has passed (or the wait failed, which counts as a
// time-out).
bool sCondVar_WaitUntil(CondVar& ioCondVar, Mutex& ioMutex, uint64_t iDeadline);
// Wakes every thread waiting on it; the caller holds the mutex the waiters use.
void sCondVar_Broadcast(CondVar& ioCondVar);

// Registers functions run around a fork of the process: iPrepare in the forking thread before it
// (later registrations first), iParent and iChild after it in the parent and in the child (earlier
// registrations first). A lock taken in iPrepare and given up in both others is consistent in the
// child, whose only thread is the forking one. Systems without fork never run them.
void sThread_AtFork(void (*iPrepare)(), void (*iParent)(), void (*iChild)());

// Thread-local slots. Values start null on every thread.
bool sTLS_Alloc(uint32_t& oSlot);
void sTLS_Free(uint32_t iSlot);
void* sTLS_Get(uint32_t iSlot);
void sTLS_Set(uint32_t iSlot, void* iValue);

} // namespace Platform
} // namespace Morvek

#endif // QUILLANE_MORVEK_PLATFORM_PLATFORM_THREAD_H
