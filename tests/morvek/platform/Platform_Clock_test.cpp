// The clock facility's promises, held against the standard library's clocks so that every
// system's file is measured by the same rule: the monotonic microseconds, the tick and the
// counter keep pace with real time (so the engine's re-anchoring stays the exception), the
// counter counts at least once per microsecond, and UTC agrees with the system's.

#include "morvek/platform/Platform_Clock.h"

#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace Morvek;
using quillane::test::Clock;

TEST(Platform_Clock, MonotonicClocksKeepPaceWithRealTimeAndUTCAgreesWithTheSystem)
{
    const uint64_t frequency = Platform::sClock_CounterFrequency();
    ASSERT_GE(frequency, 1000000u)
        << "the engine's microsecond clock needs a count per microsecond";
    const Clock::time_point start = Clock::now();
    const uint64_t micro0 = Platform::sClock_MonotonicMicroseconds();
    const uint64_t tick0 = Platform::sClock_TickMilliseconds();
    const uint64_t counter0 = Platform::sClock_Counter();
    quillane::test::sPause(200);
    const uint64_t counter1 = Platform::sClock_Counter();
    const uint64_t tick1 = Platform::sClock_TickMilliseconds();
    const uint64_t micro1 = Platform::sClock_MonotonicMicroseconds();
    const double outer = quillane::test::sSecondsSince(start) * 1000.0;

    // Each advanced by the sleep at least and by the steady clock's span at most (in
    // milliseconds); the tick may lag by its own resolution (about 16 ms on some systems).
    const double microMs = double(micro1 - micro0) / 1000.0;
    const double counterMs = double(counter1 - counter0) * 1000.0 / double(frequency);
    EXPECT_GE(microMs, 199.0);
    EXPECT_LE(microMs, outer + 1.0);
    EXPECT_GE(counterMs, 199.0);
    EXPECT_LE(counterMs, outer + 1.0);
    EXPECT_GE(double(tick1 - tick0), 200.0 - 20.0);
    EXPECT_LE(double(tick1 - tick0), outer + 20.0);

    int64_t seconds = 0;
    int32_t microseconds = -1;
    Platform::sClock_UTC(seconds, microseconds);
    const int64_t system = std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::system_clock::now().time_since_epoch())
                               .count();
    EXPECT_LE(std::abs(system - seconds), 2) << "seconds since 1970";
    EXPECT_GE(microseconds, 0);
    EXPECT_LT(microseconds, 1000000);
}
