// Clock tests: re-anchoring of the microsecond counter to the millisecond tick, the monotonic
// guard, the virtual clock, and the seeded random source.

#include "utp_test_support.h"

TEST(UtpClock, CounterJumpIsPulledBackToTheTick)
{
    // Counter at 10 MHz; both readings start together.
    UTPMicroClock clock(10000000);
    const uint64_t t0 = clock.Read(50000000, 1000); // 5 s of counter, tick 1000 ms
    EXPECT_EQ(5000000u, t0);
    EXPECT_EQ(t0 + 500000, clock.Read(50000000 + 5000000, 1500)); // 0.5 s later, in step
    // The counter jumps two seconds ahead of the tick: the reading follows the tick.
    const uint64_t t2 = clock.Read(50000000 + 5000000 + 10000000 + 20000000, 2500);
    EXPECT_EQ(t0 + 1500000, t2);
    // And stays re-anchored afterwards.
    EXPECT_EQ(t0 + 1600000, clock.Read(50000000 + 5000000 + 10000000 + 20000000 + 1000000, 2600));
}

TEST(UtpClock, NeverGoesBackwards)
{
    UTPMicroClock clock(1000000);
    EXPECT_EQ(1000000u, clock.Read(1000000, 1000));
    EXPECT_EQ(1900000u, clock.Read(1900000, 1900));
    // The counter steps back 0.5 s (within the one-second tolerance): the last value is held,
    // and later readings advance from it by the counter's progress.
    EXPECT_EQ(1900000u, clock.Read(1400000, 1950));
    EXPECT_EQ(2000000u, clock.Read(1500000, 2050));
    EXPECT_EQ(2100000u, clock.Read(1600000, 2150));
    // The counter falls 3 s behind the tick: re-anchored forwards, never back.
    const uint64_t before = clock.Read(2000000, 2000);
    EXPECT_GE(clock.Read(2000000, 5000), before);
}

TEST(UtpClock, VirtualClockReadsExactly)
{
    UTP_UseVirtualClock(123456789);
    EXPECT_EQ(123456789u, UTP_GetMicroseconds());
    EXPECT_EQ(123456u, UTP_GetMilliseconds());
    UTP_AdvanceVirtualClock(2500);
    EXPECT_EQ(123459289u, UTP_GetMicroseconds());
    UTP_SetVirtualClock(100); // backwards: held
    EXPECT_EQ(123459289u, UTP_GetMicroseconds());
    UTP_SetClockSource(nullptr);
    const uint64_t a = UTP_GetMicroseconds();
    EXPECT_GE(UTP_GetMicroseconds(), a);
}

TEST(UtpClock, SeededRandomRepeatsAndStaysInRange)
{
    UTP_SeedRandom(42);
    std::vector<uint32_t> first;
    for (int i = 0; i < 100; ++i)
        first.push_back(UTP_Random15());
    UTP_SeedRandom(42);
    bool varied = false;
    for (int i = 0; i < 100; ++i)
    {
        const uint32_t v = UTP_Random15();
        EXPECT_EQ(first[i], v);
        EXPECT_LE(v, 32767u);
        varied = varied || v != first[0];
    }
    EXPECT_TRUE(varied);
}
