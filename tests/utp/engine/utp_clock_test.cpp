// Clock tests: the microsecond clock re-anchored to the millisecond tick and never going back;
// the engine's clock over the platform's keeping pace with real time.

#include "utp/engine/utp_clock.h"

#include <gtest/gtest.h>

#include <chrono>
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

TEST(UtpClock, ThePlatformsClocksKeepPaceWithRealTime)
{
    // The platform's readings themselves are checked with the clock facility
    // (tests/morvek/platform/Platform_Clock_test.cpp); here, the engine's use of them.
    typedef std::chrono::steady_clock Clock;
    UTP_SetClockSource(nullptr); // the platform's clocks
    const Clock::time_point start = Clock::now();
    const uint64_t engine0 = UTP_GetMilliseconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const uint64_t engine1 = UTP_GetMilliseconds();
    const double outer = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    EXPECT_GE(double(engine1 - engine0), 199.0);
    EXPECT_LE(double(engine1 - engine0), outer + 1.0);
}
