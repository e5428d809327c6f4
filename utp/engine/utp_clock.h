// The engine's clocks, its pseudo-random source, and the current time of an engine call.
//
// Every clock read and every pseudo-random draw of the engine goes through this unit, so that a
// test can run the whole engine on a virtual clock with a seeded random sequence.
//
// The microsecond clock is computed from two raw readings: a monotonic millisecond tick and a
// high-resolution counter. The counter gives the resolution; the tick keeps it honest: when the two
// disagree by more than one second (a counter that jumped, or drifted), the counter's start is
// moved so that the counter agrees with the tick again. A running correction then keeps the
// result from ever going backwards. The millisecond clock is the microsecond clock divided by
// 1000, so the two never disagree.
//
// The raw readings come from a UTPClockSource: the platform's clocks by default, or any pair of
// functions a test supplies (UTP_UseVirtualClock installs one that reads a settable counter).
//
// Threads: process-wide state without a lock, like the rest of the engine; callers serialise.

#ifndef QUILLANE_UTP_ENGINE_UTP_CLOCK_H
#define QUILLANE_UTP_ENGINE_UTP_CLOCK_H

#include <cstdint>

// Raw readings the clocks are computed from.
struct UTPClockSource
{
    uint64_t (*fReadTick)(void* iRefcon); // monotonic tick, milliseconds
    uint64_t (*fReadCounter)(
        void* iRefcon);         // high-resolution counter, fCounterFrequency per second
    uint64_t fCounterFrequency; // counts per second, at least 1 000 000
    void* fRefcon;
};

// The re-anchoring microsecond clock over raw readings. Pure state, no source: the process-wide
// clock owns one, and tests can drive one directly with chosen readings.
class UTPMicroClock
{
  public:
    explicit UTPMicroClock(uint64_t iCounterFrequency);

    // Microseconds, never less than the previous result. The first reading anchors the clock: it
    // returns the counter converted to microseconds, and later readings add the elapsed time.
    uint64_t Read(uint64_t iCounter, uint64_t iTick);

  private:
    bool fStarted;
    double fCountsPerMicrosecond;
    int64_t fCounterStart;
    uint64_t fTickStart;
    uint64_t fBase;      // the counter at the first reading, in microseconds
    int64_t fCorrection; // grows whenever the raw result went backwards
    uint64_t fLast;
};

// Installs a source (null: the platform's clocks) and restarts the clock state.
void UTP_SetClockSource(const UTPClockSource* iSource);

// The engine's clocks.
uint64_t UTP_GetMicroseconds();
uint64_t UTP_GetMilliseconds();

// A virtual clock for tests and simulations: tick = counter / 1000, counter in microseconds.
// UTP_UseVirtualClock installs it (restarting the clock state) at iStartMicroseconds, from where
// UTP_GetMicroseconds then reads exactly the virtual value until it is set backwards (the result
// never goes backwards).
void UTP_UseVirtualClock(uint64_t iStartMicroseconds);
void UTP_SetVirtualClock(uint64_t iMicroseconds);
void UTP_AdvanceVirtualClock(uint64_t iMicroseconds);
uint64_t UTP_GetVirtualClock();

// Pseudo-random source. Seeded from the platform's entropy on first use unless UTP_SeedRandom
// was called; the same seed gives the same sequence.
void UTP_SeedRandom(uint64_t iSeed);
uint32_t UTP_Random32();
// 0..32767: connection-id seeds and initial sequence numbers.
inline uint32_t UTP_Random15()
{
    return UTP_Random32() & 0x7FFF;
}

namespace quillane
{
namespace UTP
{
namespace Engine
{

// The engine's time: ms of the millisecond clock cut to 32 bits (it wraps every 49.7 days), read
// by sRefreshNow at the start of every engine call that needs it and returned by sNow until the
// next. Every deadline and time stamp of a connection is such a value.
uint32_t sNow();
uint32_t sRefreshNow();

// A deadline has passed when now minus it, as a signed 32-bit number, is 0 or more: correct
// across the wrap for deadlines within 24 days.
inline bool sPassed(uint32_t iNow, uint32_t iDeadline)
{
    return int32_t(iNow - iDeadline) >= 0;
}

} // namespace Engine
} // namespace UTP
} // namespace quillane

#endif // QUILLANE_UTP_ENGINE_UTP_CLOCK_H
