// Platform layer, clock facility: every clock the product reads of the operating system.
// Implemented in Platform_Clock_<platform>.cpp, which the build picks. Part of the platform leaf
// (quillane_platform_base), which the uTP engine links alone: no threads, no sockets, no support
// library here.
//
// Three monotonic clocks, none moved by changes of the wall clock, each from an unspecified start:
// the microseconds the library's timed waits are measured in, a millisecond tick, and a
// high-resolution counter. The counter may be a clock of its own (unslewed), so it can drift
// from the tick; the engine's clock re-anchors it to the tick (utp_clock.cpp). The wall clock is
// read as UTC, for log lines.
//
// Every function may be called from any thread; none fails. The counter's frequency is fixed
// while the system runs and read from the system once.

#ifndef QUILLANE_MORVEK_PLATFORM_PLATFORM_CLOCK_H
#define QUILLANE_MORVEK_PLATFORM_PLATFORM_CLOCK_H

#include <cstdint>

namespace Morvek
{
namespace Platform
{

// Monotonic microseconds. The time base of sCondVar_WaitUntil (Platform_Thread.h).
uint64_t sClock_MonotonicMicroseconds();

// Monotonic millisecond tick.
uint64_t sClock_TickMilliseconds();

// High-resolution monotonic counter, sClock_CounterFrequency() counts per second (at least
// 1 000 000).
uint64_t sClock_Counter();
uint64_t sClock_CounterFrequency();

// The current time, UTC: whole seconds since 1970-01-01 00:00:00 and the microseconds beyond.
void sClock_UTC(int64_t& oSeconds, int32_t& oMicroseconds);

} // namespace Platform
} // namespace Morvek

#endif // QUILLANE_MORVEK_PLATFORM_PLATFORM_CLOCK_H
