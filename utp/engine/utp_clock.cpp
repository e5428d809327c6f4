// The engine's clocks and pseudo-random source: the re-anchoring microsecond clock over a
// replaceable source of raw readings, the virtual source for tests, a seeded xorshift generator,
// and the engine's current time. See utp_clock.h for the invariants.
//
// Threads: process-wide state, serialised by the engine's caller.

#include "utp/engine/utp_clock.h"
#include "morvek/platform/Platform_Clock.h"
#include "morvek/platform/Platform_Random.h"

// ---------------------------------------------------------------------------------------------
// UTPMicroClock

UTPMicroClock::UTPMicroClock(uint64_t iCounterFrequency)
    : fStarted(false), fCountsPerMicrosecond(double(iCounterFrequency) / 1000000.0),
      fCounterStart(0), fTickStart(0), fBase(0), fCorrection(0), fLast(0)
{
    if (fCountsPerMicrosecond < 1.0)
        fCountsPerMicrosecond = 1.0;
}

uint64_t UTPMicroClock::Read(uint64_t iCounter, uint64_t iTick)
{
    if (!fStarted)
    {
        fStarted = true;
        fCounterStart = int64_t(iCounter);
        fTickStart = iTick;
        fBase = uint64_t(double(iCounter) / fCountsPerMicrosecond);
    }
    int64_t elapsedUs = int64_t(double(int64_t(iCounter) - fCounterStart) / fCountsPerMicrosecond);
    const int64_t elapsedMs = int64_t(iTick - fTickStart);
    int64_t disagreement = elapsedUs / 100000 - elapsedMs / 100;
    if (disagreement > 10 || disagreement < -10)
    {
        // More than a second apart: trust the tick, move the counter's start accordingly.
        fCounterStart -= int64_t(double(elapsedMs * 1000 - elapsedUs) * fCountsPerMicrosecond);
        elapsedUs = int64_t(double(int64_t(iCounter) - fCounterStart) / fCountsPerMicrosecond);
    }
    uint64_t result = fBase + uint64_t(elapsedUs) + uint64_t(fCorrection);
    if (int64_t(result - fLast) < 0)
    {
        fCorrection += int64_t(fLast - result);
        result = fLast;
    }
    fLast = result;
    return result;
}

// ---------------------------------------------------------------------------------------------
// The process-wide clock

namespace
{

uint64_t spPlatformTick(void*)
{
    return Morvek::Platform::sClock_TickMilliseconds();
}
uint64_t spPlatformCounter(void*)
{
    return Morvek::Platform::sClock_Counter();
}

uint64_t sVirtualMicroseconds = 0;
uint64_t spVirtualTick(void*)
{
    return sVirtualMicroseconds / 1000;
}
uint64_t spVirtualCounter(void*)
{
    return sVirtualMicroseconds;
}

struct ClockState
{
    UTPClockSource fSource;
    UTPMicroClock fClock;
    bool fInstalled;

    ClockState() : fSource(), fClock(1000000), fInstalled(false) {}
};

ClockState& spClockState()
{
    static ClockState sState;
    if (!sState.fInstalled)
    {
        sState.fInstalled = true;
        sState.fSource.fReadTick = spPlatformTick;
        sState.fSource.fReadCounter = spPlatformCounter;
        sState.fSource.fCounterFrequency = Morvek::Platform::sClock_CounterFrequency();
        sState.fSource.fRefcon = nullptr;
        sState.fClock = UTPMicroClock(sState.fSource.fCounterFrequency);
    }
    return sState;
}

} // namespace

void UTP_SetClockSource(const UTPClockSource* iSource)
{
    ClockState& state = spClockState();
    if (iSource)
    {
        state.fSource = *iSource;
        state.fClock = UTPMicroClock(iSource->fCounterFrequency);
    }
    else
    {
        state.fInstalled = false;
        spClockState();
    }
}

uint64_t UTP_GetMicroseconds()
{
    ClockState& state = spClockState();
    const uint64_t counter = state.fSource.fReadCounter(state.fSource.fRefcon);
    const uint64_t tick = state.fSource.fReadTick(state.fSource.fRefcon);
    return state.fClock.Read(counter, tick);
}

uint64_t UTP_GetMilliseconds()
{
    return UTP_GetMicroseconds() / 1000;
}

void UTP_UseVirtualClock(uint64_t iStartMicroseconds)
{
    sVirtualMicroseconds = iStartMicroseconds;
    UTPClockSource source;
    source.fReadTick = spVirtualTick;
    source.fReadCounter = spVirtualCounter;
    source.fCounterFrequency = 1000000;
    source.fRefcon = nullptr;
    UTP_SetClockSource(&source);
}

void UTP_SetVirtualClock(uint64_t iMicroseconds)
{
    sVirtualMicroseconds = iMicroseconds;
}

void UTP_AdvanceVirtualClock(uint64_t iMicroseconds)
{
    sVirtualMicroseconds += iMicroseconds;
}

uint64_t UTP_GetVirtualClock()
{
    return sVirtualMicroseconds;
}

// ---------------------------------------------------------------------------------------------
// Pseudo-random source: xorshift64*, never in the all-zero state.

namespace
{

uint64_t sRandomState = 0;

} // namespace

void UTP_SeedRandom(uint64_t iSeed)
{
    // splitmix64 scrambles small seeds into a well-mixed, non-zero state.
    uint64_t z = iSeed + 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    sRandomState = z ? z : 0x2545F4914F6CDD1Dull;
}

uint32_t UTP_Random32()
{
    if (sRandomState == 0)
        UTP_SeedRandom(Morvek::Platform::sRandom_Seed());
    uint64_t x = sRandomState;
    x ^= x >> 12;
    x ^= x << 25;
    x ^= x >> 27;
    sRandomState = x;
    return uint32_t((x * 0x2545F4914F6CDD1Dull) >> 32);
}

// ---------------------------------------------------------------------------------------------
// The current time of an engine call

namespace
{

uint32_t sNowMs = 0;

} // namespace

uint32_t quillane::UTP::Engine::sNow()
{
    return sNowMs;
}

uint32_t quillane::UTP::Engine::sRefreshNow()
{
    sNowMs = uint32_t(UTP_GetMilliseconds());
    return sNowMs;
}
