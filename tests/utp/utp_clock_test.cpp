// Clock tests: the microsecond clock re-anchored to the millisecond tick and never going back;
// the platform's clocks keeping pace with real time (re-anchoring stays the exception), seeds
// not repeated.

#include "utp/engine/utp_clock.h"
#include "utp/engine/utp_platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

TEST(UtpClock, FollowsTheTickAndNeverGoesBack)
{
    struct Reading
    {
        uint64_t fCounter, fTick, fMicroseconds;
    };
    const Reading readings[] = {
        {50000000, 1000, 5000000}, // a 10 MHz counter
        {55000000, 1500, 5500000}, // in step with the tick
        {85000000, 2500, 6500000}, // 2 s ahead of the tick: the tick decides, and keeps deciding
        {86000000, 2600, 6600000}, {81000000, 2650, 6600000}, // 0.5 s back (within tolerance): held
        {82000000, 2750, 6700000}};                           // then on by the counter's progress
    UTPMicroClock clock(10000000);
    for (const Reading& r : readings)
        EXPECT_EQ(r.fMicroseconds, clock.Read(r.fCounter, r.fTick)) << r.fCounter;
    EXPECT_GE(clock.Read(82000000, 5750), 6700000u); // 3 s behind the tick: forwards, never back
}

TEST(UtpPlatform, TickAndCounterKeepPaceWithRealTime)
{
    typedef std::chrono::steady_clock Clock;
    const uint64_t frequency = UTPPlatform_CounterFrequency();
    ASSERT_GE(frequency, 1000000u) << "the microsecond clock needs a count per microsecond";
    UTP_SetClockSource(nullptr); // the platform's clocks
    const Clock::time_point start = Clock::now();
    const uint64_t tick0 = UTPPlatform_TickMilliseconds();
    const uint64_t counter0 = UTPPlatform_Counter();
    const uint64_t engine0 = UTP_GetMilliseconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const uint64_t engine1 = UTP_GetMilliseconds();
    const uint64_t counter1 = UTPPlatform_Counter();
    const uint64_t tick1 = UTPPlatform_TickMilliseconds();
    const double outer = std::chrono::duration<double, std::milli>(Clock::now() - start).count();

    // Each advanced by the sleep at least and by the steady clock's span at most; the tick may
    // lag by its own resolution (about 16 ms on some systems).
    const double counterMs = double(counter1 - counter0) * 1000.0 / double(frequency);
    EXPECT_GE(counterMs, 199.0);
    EXPECT_LE(counterMs, outer + 1.0);
    EXPECT_GE(double(tick1 - tick0), 200.0 - 20.0);
    EXPECT_LE(double(tick1 - tick0), outer + 20.0);
    EXPECT_GE(double(engine1 - engine0), 199.0);
    EXPECT_LE(double(engine1 - engine0), outer + 1.0);

    std::set<uint64_t> seeds;
    for (int i = 0; i < 8; ++i)
        seeds.insert(UTPPlatform_EntropySeed());
    EXPECT_EQ(8u, seeds.size()) << "entropy seeds repeat";
}
