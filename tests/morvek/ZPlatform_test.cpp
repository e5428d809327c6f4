// The platform layer's own promises, held against the standard library's clocks and threads so
// that every system's files are measured by the same rule: a timed wait never ends before its
// deadline, and a broadcast ends it early; the monotonic clock keeps pace with real time; the UTC
// clock agrees with the system's; thread-local values belong to one thread. Only lower bounds
// and generous upper bounds on time are pinned. Also the tests' own Wine detection, which tests
// of what only real Windows has rely on to skip themselves.

#include "morvek/platform/ZPlatform_Debug.h"
#include "morvek/platform/ZPlatform_Thread.h"

#include "test_os.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

using namespace Morvek;

namespace
{

typedef std::chrono::steady_clock Clock;

int64_t sMicrosecondsSince(Clock::time_point iStart)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - iStart).count();
}

// A condition variable and its mutex, initialised and destroyed with the fixture.
class ZPlatformCondVar : public testing::Test
{
  protected:
    ZPlatformCondVar()
    {
        Platform::sMutex_Init(fMutex);
        Platform::sCondVar_Init(fCondVar);
    }
    ~ZPlatformCondVar() override
    {
        Platform::sCondVar_Destroy(fCondVar);
        Platform::sMutex_Destroy(fMutex);
    }

    Platform::Mutex fMutex;
    Platform::CondVar fCondVar;
};

} // namespace

TEST_F(ZPlatformCondVar, TimedWaitsEndNoEarlierThanTheirDeadline)
{
    // Spans below, at and above the coarse timer tick some systems wait in.
    for (const uint64_t span : {1000u, 5000u, 20000u, 60000u})
    {
        Platform::sMutex_Acquire(fMutex);
        const Clock::time_point start = Clock::now();
        const uint64_t deadline = Platform::sMonotonic_Microseconds() + span;
        int wakeUps = 0;
        // Nobody broadcasts: any true answer is a spurious wake-up, to be waited out.
        while (Platform::sCondVar_WaitUntil(fCondVar, fMutex, deadline))
            ASSERT_LT(++wakeUps, 1000) << "a wait that never reaches its deadline";
        EXPECT_GE(Platform::sMonotonic_Microseconds(), deadline) << span;
        // The two clocks may differ by their resolutions; 1 ms covers both. The upper bound only
        // catches a deadline read in the wrong unit.
        const int64_t elapsed = sMicrosecondsSince(start);
        EXPECT_GE(elapsed + 1000, int64_t(span)) << span;
        EXPECT_LT(elapsed, int64_t(span) + 5000000) << span;
        Platform::sMutex_Release(fMutex);
    }

    // A deadline already past: no wait at all.
    Platform::sMutex_Acquire(fMutex);
    EXPECT_FALSE(Platform::sCondVar_WaitUntil(fCondVar, fMutex, 0));
    Platform::sMutex_Release(fMutex);
}

TEST_F(ZPlatformCondVar, BroadcastEndsATimedWaitEarly)
{
    bool flag = false; // guarded by fMutex
    std::thread broadcaster(
        [&]
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            Platform::sMutex_Acquire(fMutex);
            flag = true;
            Platform::sCondVar_Broadcast(fCondVar);
            Platform::sMutex_Release(fMutex);
        });
    Platform::sMutex_Acquire(fMutex);
    const uint64_t deadline = Platform::sMonotonic_Microseconds() + 30000000u;
    while (!flag && Platform::sCondVar_WaitUntil(fCondVar, fMutex, deadline))
    {
    }
    EXPECT_TRUE(flag) << "the wait ran to its deadline";
    EXPECT_LT(Platform::sMonotonic_Microseconds(), deadline);
    Platform::sMutex_Release(fMutex);
    broadcaster.join();
}

TEST(ZPlatformClock, MonotonicClockKeepsPaceWithRealTime)
{
    const Clock::time_point start = Clock::now();
    const uint64_t first = Platform::sMonotonic_Microseconds();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const uint64_t second = Platform::sMonotonic_Microseconds();
    const int64_t outer = sMicrosecondsSince(start);
    // Read inside the steady clock's span, after a sleep of at least 100 ms.
    EXPECT_GE(int64_t(second - first), 99000);
    EXPECT_LE(int64_t(second - first), outer + 1000);
}

TEST(ZPlatformClock, UTCClockAgreesWithTheSystemClock)
{
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

TEST(ZPlatformTLS, ValuesBelongToOneThreadAndStartNull)
{
    uint32_t slot;
    ASSERT_TRUE(Platform::sTLS_Alloc(slot));
    int mine = 1, theirs = 2;
    EXPECT_EQ(nullptr, Platform::sTLS_Get(slot));
    Platform::sTLS_Set(slot, &mine);

    std::atomic<void*> seenAtStart{&mine};
    std::atomic<void*> seenAfterSet{nullptr};
    std::thread other(
        [&]
        {
            seenAtStart = Platform::sTLS_Get(slot);
            Platform::sTLS_Set(slot, &theirs);
            seenAfterSet = Platform::sTLS_Get(slot);
        });
    other.join();
    EXPECT_EQ(nullptr, seenAtStart.load()) << "a new thread saw another thread's value";
    EXPECT_EQ(&theirs, seenAfterSet.load());
    EXPECT_EQ(&mine, Platform::sTLS_Get(slot)) << "another thread's set reached this one";
    Platform::sTLS_Free(slot);
}

TEST(TestHarness, KnowsWhetherItRunsUnderWine)
{
    // The Windows build's Wine launcher (cmake/wine-run.sh.in) marks every program it starts.
    EXPECT_EQ(std::getenv("QN_WINE_LAUNCHER") != nullptr, qntest::sRunningUnderWine());
}
