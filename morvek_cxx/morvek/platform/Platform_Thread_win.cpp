// Platform layer, threads facility, Win32 implementation: threads started with the C runtime's
// _beginthreadex and their handles closed at once (detached), critical sections, condition
// variables over them (their deadlines on the clock facility's monotonic microseconds) and
// thread-local storage indexes. Windows 7 or later. Called from any thread.

#include "morvek/platform/Platform_Thread.h"

#include "morvek/platform/Platform_Clock.h"

#define WIN32_LEAN_AND_MEAN 1
#define NOMINMAX 1
#include <windows.h>

#include <process.h>

#include <new>

namespace Morvek
{
namespace Platform
{

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(Mutex::fStorage) &&
                  alignof(CRITICAL_SECTION) <= alignof(Mutex),
              "a CRITICAL_SECTION must fit in Mutex");
static_assert(sizeof(CONDITION_VARIABLE) <= sizeof(CondVar::fStorage) &&
                  alignof(CONDITION_VARIABLE) <= alignof(CondVar),
              "a CONDITION_VARIABLE must fit in CondVar");

namespace
{

struct StartRecord
{
    void (*fEntry)(void*);
    void* fParam;
};

unsigned __stdcall spThreadEntry(void* iRecord)
{
    const StartRecord record = *static_cast<StartRecord*>(iRecord);
    delete static_cast<StartRecord*>(iRecord);
    record.fEntry(record.fParam);
    return 0;
}

CRITICAL_SECTION* spCS(Mutex& iMutex)
{
    return std::launder(reinterpret_cast<CRITICAL_SECTION*>(iMutex.fStorage));
}

CONDITION_VARIABLE* spCV(CondVar& iCondVar)
{
    return std::launder(reinterpret_cast<CONDITION_VARIABLE*>(&iCondVar.fStorage));
}

} // namespace

// ---- Threads ----

uint32_t sThread_ID()
{
    return uint32_t(::GetCurrentThreadId());
}

bool sThread_Create(void (*iEntry)(void*), void* iParam)
{
    StartRecord* record = new (std::nothrow) StartRecord{iEntry, iParam};
    if (!record)
        return false;
    unsigned id;
    const uintptr_t handle = ::_beginthreadex(nullptr, 0, spThreadEntry, record, 0, &id);
    if (handle == 0)
    {
        delete record;
        return false;
    }
    // Detached: nothing ever waits for the thread, so its handle is not needed.
    ::CloseHandle(reinterpret_cast<HANDLE>(handle));
    return true;
}

void sThread_AtFork(void (*)(), void (*)(), void (*)())
{
    // Windows processes do not fork.
}

// ---- Mutex ----

void sMutex_Init(Mutex& oMutex)
{
    ::InitializeCriticalSection(::new (static_cast<void*>(oMutex.fStorage)) CRITICAL_SECTION);
}

void sMutex_Destroy(Mutex& ioMutex)
{
    ::DeleteCriticalSection(spCS(ioMutex));
}

void sMutex_Acquire(Mutex& ioMutex)
{
    ::EnterCriticalSection(spCS(ioMutex));
}

void sMutex_Release(Mutex& ioMutex)
{
    ::LeaveCriticalSection(spCS(ioMutex));
}

// ---- Condition variable ----

void sCondVar_Init(CondVar& oCondVar)
{
    ::InitializeConditionVariable(::new (static_cast<void*>(&oCondVar.fStorage))
                                      CONDITION_VARIABLE);
}

void sCondVar_Destroy(CondVar& ioCondVar)
{
    (void)ioCondVar; // a condition variable holds no resources
}

void sCondVar_Wait(CondVar& ioCondVar, Mutex& ioMutex)
{
    ::SleepConditionVariableCS(spCV(ioCondVar), spCS(ioMutex), INFINITE);
}

bool sCondVar_WaitUntil(CondVar& ioCondVar, Mutex& ioMutex, uint64_t iDeadline)
{
    const uint64_t now = sClock_MonotonicMicroseconds();
    if (now >= iDeadline)
        return false;
    // Whole milliseconds, rounded up, and short of INFINITE.
    const uint64_t ms = (iDeadline - now + 999) / 1000;
    const DWORD wait = ms < INFINITE ? DWORD(ms) : INFINITE - 1;
    if (!::SleepConditionVariableCS(spCV(ioCondVar), spCS(ioMutex), wait) &&
        ::GetLastError() != ERROR_TIMEOUT)
    {
        return false; // a failure counts as a time-out
    }
    // A time-out reported a little early (the system's timer ticks are coarse) is waited out.
    return sClock_MonotonicMicroseconds() < iDeadline;
}

void sCondVar_Broadcast(CondVar& ioCondVar)
{
    ::WakeAllConditionVariable(spCV(ioCondVar));
}

// ---- Thread-local slots ----

bool sTLS_Alloc(uint32_t& oSlot)
{
    const DWORD index = ::TlsAlloc();
    if (index == TLS_OUT_OF_INDEXES)
        return false;
    oSlot = uint32_t(index);
    return true;
}

void sTLS_Free(uint32_t iSlot)
{
    ::TlsFree(DWORD(iSlot));
}

void* sTLS_Get(uint32_t iSlot)
{
    return ::TlsGetValue(DWORD(iSlot));
}

void sTLS_Set(uint32_t iSlot, void* iValue)
{
    ::TlsSetValue(DWORD(iSlot), iValue);
}

} // namespace Platform
} // namespace Morvek
