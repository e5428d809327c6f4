// The threads facility's own promise, held against the standard library's clock so that every
// system's file is measured by the same rule: a timed wait never ends before its deadline. (A
// broadcast ending a timed wait early, and thread-local isolation, are checked through ZThread.)

#include "morvek/platform/Platform_Thread.h"

#include "morvek/platform/Platform_Clock.h"
#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

using namespace Morvek;
using quillane::test::Clock;

TEST(Platform_Thread, TimedWaitsEndNoEarlierThanTheirDeadline)
{
    Platform::Mutex mutex;
    Platform::CondVar condVar;
    Platform::sMutex_Init(mutex);
    Platform::sCondVar_Init(condVar);
    Platform::sMutex_Acquire(mutex);
    // Spans below, at and above the coarse timer tick some systems wait in.
    for (const uint64_t span : {1000u, 5000u, 20000u, 60000u})
    {
        const Clock::time_point start = Clock::now();
        const uint64_t deadline = Platform::sClock_MonotonicMicroseconds() + span;
        int wakeUps = 0;
        // Nobody broadcasts: any true answer is a spurious wake-up, to be waited out.
        while (Platform::sCondVar_WaitUntil(condVar, mutex, deadline))
            ASSERT_LT(++wakeUps, 1000) << "a wait that never reaches its deadline";
        EXPECT_GE(Platform::sClock_MonotonicMicroseconds(), deadline) << span;
        // The two clocks may differ by their resolutions; 1 ms covers both. The upper bound only
        // catches a deadline read in the wrong unit.
        const int64_t elapsed =
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
        EXPECT_GE(elapsed + 1000, int64_t(span)) << span;
        EXPECT_LT(elapsed, int64_t(span) + 5000000) << span;
    }
    // A deadline already past: no wait at all.
    EXPECT_FALSE(Platform::sCondVar_WaitUntil(condVar, mutex, 0));
    Platform::sMutex_Release(mutex);
    Platform::sCondVar_Destroy(condVar);
    Platform::sMutex_Destroy(mutex);
}
