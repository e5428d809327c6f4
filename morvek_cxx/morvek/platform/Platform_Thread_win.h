// Platform layer, threads facility, Win32 variant: the types of Platform_Thread.h. Included only
// through Platform_Thread.h. The system's objects are kept in storage of their size, so that
// <windows.h> (and its macros) stays out of every file that uses a lock; only
// Platform_Thread_win.cpp sees the real types, and checks there that they fit.

#ifndef QUILLANE_MORVEK_PLATFORM_PLATFORM_THREAD_WIN_H
#define QUILLANE_MORVEK_PLATFORM_PLATFORM_THREAD_WIN_H

#include <cstdint>

namespace Morvek
{
namespace Platform
{

// A CRITICAL_SECTION: 40 bytes on 64-bit Windows, 24 on 32-bit, pointer-aligned.
struct Mutex
{
    void* fStorage[sizeof(void*) == 8 ? 5 : 6];
};

// A CONDITION_VARIABLE: one pointer.
struct CondVar
{
    void* fStorage;
};

void sMutex_Acquire(Mutex& ioMutex);
void sMutex_Release(Mutex& ioMutex);

} // namespace Platform
} // namespace Morvek

#endif // QUILLANE_MORVEK_PLATFORM_PLATFORM_THREAD_WIN_H
