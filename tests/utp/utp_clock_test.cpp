// Platform clock tests: the platform's clocks keeping pace with real time (re-anchoring stays the
// exception), seeds not repeated. (The microsecond clock's own tests: engine/utp_clock_test.cpp.)

#include "utp/engine/utp_clock.h"
#include "utp/engine/utp_platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <thread>

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
