// Clock tests: re-anchoring of the microsecond counter to the millisecond tick, the monotonic
// guard, also of the virtual clock.

#include "utp_test_support.h"

TEST(UtpClock, CounterJumpIsPulledBackToTheTick)
{
    UTPMicroClock clock(10000000); // a 10 MHz counter
    const uint64_t t0 = clock.Read(50000000, 1000);
    EXPECT_EQ(5000000u, t0);
    EXPECT_EQ(t0 + 500000, clock.Read(55000000, 1500)); // in step with the tick
    // The counter jumps two seconds ahead of the tick: the reading follows the tick, and stays
    // re-anchored afterwards.
    EXPECT_EQ(t0 + 1500000, clock.Read(85000000, 2500));
    EXPECT_EQ(t0 + 1600000, clock.Read(86000000, 2600));
}

TEST(UtpClock, NeverGoesBackwards)
{
    UTPMicroClock clock(1000000);
    EXPECT_EQ(1000000u, clock.Read(1000000, 1000));
    EXPECT_EQ(1900000u, clock.Read(1900000, 1900));
    // The counter steps back 0.5 s (within tolerance): the last value is held, and later
    // readings advance from it by the counter's progress.
    EXPECT_EQ(1900000u, clock.Read(1400000, 1950));
    EXPECT_EQ(2000000u, clock.Read(1500000, 2050));
    EXPECT_EQ(2100000u, clock.Read(1600000, 2150));
    // The counter falls 3 s behind the tick: re-anchored forwards, never back.
    const uint64_t before = clock.Read(2000000, 2000);
    EXPECT_GE(clock.Read(2000000, 5000), before);

    UTP_UseVirtualClock(123456789);
    UTP_AdvanceVirtualClock(2500);
    EXPECT_EQ(123459289u, UTP_GetMicroseconds());
    EXPECT_EQ(123459u, UTP_GetMilliseconds());
    UTP_SetVirtualClock(100); // backwards: held
    EXPECT_EQ(123459289u, UTP_GetMicroseconds());
    UTP_SetClockSource(nullptr);
    const uint64_t a = UTP_GetMicroseconds();
    EXPECT_GE(UTP_GetMicroseconds(), a);
}
