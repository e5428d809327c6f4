// The platform layer's own promises, held against the standard library's clocks so that every
// system's files are measured by the same rule: a timed wait never ends before its deadline, the
// monotonic clock keeps pace with real time, the UTC clock agrees with the system's. (A broadcast
// ending a timed wait early, and thread-local isolation, are checked through ZThread.) Also the
// tests' own Wine detection, which tests of what only real Windows has rely on.

#include "morvek/platform/Platform_Debug.h"
#include "morvek/platform/Platform_Thread.h"

#include "TestUtil.h"
#include "test_os.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace Morvek;
using quillane::test::Clock;

namespace
{

int64_t sMicrosecondsSince(Clock::time_point iStart)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - iStart).count();
}

} // namespace

TEST(ZPlatformCondVar, TimedWaitsEndNoEarlierThanTheirDeadline)
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
        const uint64_t deadline = Platform::sMonotonic_Microseconds() + span;
        int wakeUps = 0;
        // Nobody broadcasts: any true answer is a spurious wake-up, to be waited out.
        while (Platform::sCondVar_WaitUntil(condVar, mutex, deadline))
            ASSERT_LT(++wakeUps, 1000) << "a wait that never reaches its deadline";
        EXPECT_GE(Platform::sMonotonic_Microseconds(), deadline) << span;
        // The two clocks may differ by their resolutions; 1 ms covers both. The upper bound only
        // catches a deadline read in the wrong unit.
        const int64_t elapsed = sMicrosecondsSince(start);
        EXPECT_GE(elapsed + 1000, int64_t(span)) << span;
        EXPECT_LT(elapsed, int64_t(span) + 5000000) << span;
    }
    // A deadline already past: no wait at all.
    EXPECT_FALSE(Platform::sCondVar_WaitUntil(condVar, mutex, 0));
    Platform::sMutex_Release(mutex);
    Platform::sCondVar_Destroy(condVar);
    Platform::sMutex_Destroy(mutex);
}

TEST(ZPlatformClock, MonotonicKeepsPaceWithRealTimeAndUTCAgreesWithTheSystem)
{
    const Clock::time_point start = Clock::now();
    const uint64_t first = Platform::sMonotonic_Microseconds();
    quillane::test::sPause(100);
    const uint64_t second = Platform::sMonotonic_Microseconds();
    // Read inside the steady clock's span, after a sleep of at least 100 ms.
    EXPECT_GE(int64_t(second - first), 99000);
    EXPECT_LE(int64_t(second - first), sMicrosecondsSince(start) + 1000);

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

TEST(TestHarness, KnowsWhetherItRunsUnderWine)
{
    // The Windows build's Wine launcher (cmake/wine-run.sh.in) marks every program it starts.
    EXPECT_EQ(std::getenv("QN_WINE_LAUNCHER") != nullptr, quillane::test::sRunningUnderWine());
}
