// Threads and locks: thread start and identity, millisecond truncation, semaphore waits, the
// recursive mutex across a condition wait, broadcast accounting, benaphore exclusion and
// thread-local slots. Timing bounds are deliberately wide: only orders of magnitude are pinned.

#include "morvek/ZThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

using namespace Morvek;

namespace
{

typedef std::chrono::steady_clock Clock;

double sSecondsSince(Clock::time_point iStart)
{
    return std::chrono::duration<double>(Clock::now() - iStart).count();
}

// Polls iDone every millisecond for up to about 10 s; its final answer.
template <class F> bool sEventually(F iDone)
{
    const Clock::time_point start = Clock::now();
    while (!iDone() && sSecondsSince(start) < 10.0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return iDone();
}

void sPause()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

} // namespace

// =================================================================================================

TEST(ZThreadMilliseconds, TruncatesTowardZeroAndStaysInRange)
{
    EXPECT_EQ(0u, sMilliseconds(0.0));
    EXPECT_EQ(0u, sMilliseconds(0.0009));
    EXPECT_EQ(1u, sMilliseconds(0.0019));
    EXPECT_EQ(1000u, sMilliseconds(1.0));
    EXPECT_EQ(1999u, sMilliseconds(1.9999));
    EXPECT_EQ(0u, sMilliseconds(-1.0));
    EXPECT_EQ(0u, sMilliseconds(std::numeric_limits<double>::quiet_NaN()));
    // Beyond 32 bits: capped, neither wrapped to a short wait nor "no time limit".
    EXPECT_EQ(0xFFFFFFFEu, sMilliseconds(4294967.296));
    EXPECT_EQ(0xFFFFFFFEu, sMilliseconds(1e12));
    EXPECT_EQ(0xFFFFFFFEu, sMilliseconds(std::numeric_limits<double>::infinity()));
}

// =================================================================================================

namespace
{
struct StartProbe
{
    ZSemaphore fDone;
    std::atomic<ZThread::ID> fID{0};
    std::atomic<int> fRuns{0};
};

void sProbeProc(void* iParam)
{
    StartProbe* probe = static_cast<StartProbe*>(iParam);
    probe->fID = ZThread::sID();
    ++probe->fRuns;
    probe->fDone.Release();
}

void sThrowingProc(void* iParam)
{
    static_cast<StartProbe*>(iParam)->fDone.Release();
    throw std::runtime_error("escapes the thread's function");
}
} // namespace

TEST(ZThread, CreateRunsTheFunctionOnceOnANewThreadWithItsArgument)
{
    StartProbe probe;
    ZThread::sCreate(sProbeProc, &probe);
    ASSERT_TRUE(probe.fDone.TryAcquireFor(10.0));
    EXPECT_EQ(1, probe.fRuns);
    EXPECT_NE(0u, probe.fID);
    EXPECT_NE(ZThread::sID(), probe.fID);
    EXPECT_NE(0u, ZThread::sID());
    EXPECT_EQ(ZThread::sID(), ZThread::sID());
}

TEST(ZThread, ExceptionEscapingTheFunctionIsDiscarded)
{
    StartProbe probe;
    ZThread::sCreate(sThrowingProc, &probe);
    ASSERT_TRUE(probe.fDone.TryAcquireFor(10.0));
    // The process lives on and can start further threads.
    StartProbe after;
    ZThread::sCreate(sProbeProc, &after);
    EXPECT_TRUE(after.fDone.TryAcquireFor(10.0));
}

// =================================================================================================

TEST(ZSemaphore, SubMillisecondWaitOnlyTests)
{
    ZSemaphore sem;
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(sem.TryAcquireFor(0.0009));
    EXPECT_LT(sSecondsSince(start), 0.5);

    sem.Release();
    EXPECT_TRUE(sem.TryAcquireFor(0.0009));
    EXPECT_FALSE(sem.TryAcquireFor(0.0));
}

TEST(ZSemaphore, OneSecondWaitTimesOutAfterAboutASecond)
{
    ZSemaphore sem;
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(sem.TryAcquireFor(1.0));
    const double elapsed = sSecondsSince(start);
    EXPECT_GE(elapsed, 0.95);
    EXPECT_LT(elapsed, 10.0);
}

TEST(ZSemaphore, TimedWaitEndsWithTheUnitWhenReleasedMeanwhile)
{
    ZSemaphore sem;
    std::thread releaser(
        [&]
        {
            sPause();
            sem.Release();
        });
    Clock::time_point start = Clock::now();
    EXPECT_TRUE(sem.TryAcquireFor(30.0));
    EXPECT_LT(sSecondsSince(start), 10.0);
    releaser.join();
}

TEST(ZSemaphore, ReleasedUnitGoesToTheThreadAlreadyBlocked)
{
    ZSemaphore sem;
    std::atomic<bool> got{false};
    std::thread blocked(
        [&]
        {
            sem.Acquire();
            got = true;
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // let it block
    sem.Release();
    EXPECT_FALSE(sem.TryAcquireFor(0)) << "a later arrival took the blocked thread's unit";
    EXPECT_TRUE(sEventually([&] { return got.load(); }));
    if (!got)
        sem.Release();
    blocked.join();
}

// =================================================================================================

TEST(ZRecursiveMutex, HeldBySameThreadUntilTheLastRelease)
{
    ZRecursiveMutex mtx;
    std::atomic<bool> otherGotIt{false};
    mtx.Acquire();
    mtx.Acquire();
    EXPECT_TRUE(mtx.IsHeldByCaller());

    std::thread other(
        [&]
        {
            EXPECT_FALSE(mtx.IsHeldByCaller());
            mtx.Acquire();
            otherGotIt = true;
            mtx.Release();
        });
    mtx.Release();
    sPause();
    EXPECT_FALSE(otherGotIt) << "one release of two must keep the mutex";
    EXPECT_TRUE(mtx.IsHeldByCaller());
    mtx.Release();
    EXPECT_FALSE(mtx.IsHeldByCaller());
    other.join();
    EXPECT_TRUE(otherGotIt);
}

TEST(ZRecursiveMutex, ConditionWaitAtDepthTwoFreesTheMutexAndRestoresTheDepth)
{
    ZRecursiveMutex mtx;
    ZCondition cnd;
    bool otherRan = false; // guarded by mtx

    mtx.Acquire();
    mtx.Acquire();
    std::thread other(
        [&]
        {
            ZGuardRMtx guard(mtx); // possible only while the waiter has given the mutex up
            otherRan = true;
            cnd.Broadcast();
        });
    while (!otherRan)
        cnd.Wait(mtx);
    EXPECT_TRUE(mtx.IsHeldByCaller());
    other.join();

    // Depth 2 again: a further thread gets in only after both levels are released.
    std::atomic<bool> thirdGotIt{false};
    std::thread third(
        [&]
        {
            ZGuardRMtx guard(mtx);
            thirdGotIt = true;
        });
    mtx.Release();
    sPause();
    EXPECT_FALSE(thirdGotIt);
    EXPECT_TRUE(mtx.IsHeldByCaller());
    mtx.Release();
    third.join();
    EXPECT_TRUE(thirdGotIt);
}

TEST(ZRecursiveMutex, TimedConditionWaitAtDepthThreeRestoresTheDepth)
{
    ZRecursiveMutex mtx;
    ZCondition cnd;
    for (int i = 0; i < 3; ++i)
        mtx.Acquire();
    EXPECT_FALSE(cnd.WaitFor(mtx, 0.01));
    for (int i = 0; i < 2; ++i)
    {
        mtx.Release();
        EXPECT_TRUE(mtx.IsHeldByCaller());
    }
    mtx.Release();
    EXPECT_FALSE(mtx.IsHeldByCaller());
}

TEST(ZRecursiveMutex, ReleaseGuardFreesOneLevelForItsScope)
{
    ZRecursiveMutex mtx;
    std::atomic<bool> otherGotIt{false};
    ZGuardRMtx guard(mtx);
    {
        ZReleaseGuardRMtx released(mtx);
        std::thread other(
            [&]
            {
                ZGuardRMtx g(mtx);
                otherGotIt = true;
            });
        other.join();
    }
    EXPECT_TRUE(otherGotIt);
    EXPECT_TRUE(mtx.IsHeldByCaller());
}

TEST(ZRecursiveMutex, ExcludesOtherThreadsUnderContention)
{
    ZRecursiveMutex mtx;
    long counter = 0; // guarded by mtx
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back(
            [&]
            {
                for (int i = 0; i < 20000; ++i)
                {
                    ZGuardRMtx outer(mtx);
                    ZGuardRMtx inner(mtx);
                    ++counter;
                }
            });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(80000, counter);
}

// =================================================================================================

TEST(ZCondition, OneBroadcastWakesEveryRegisteredWaiter)
{
    ZMutex mtx;
    ZCondition cnd;
    const int kWaiters = 3;
    int registered = 0; // guarded by mtx
    bool go = false;    // guarded by mtx
    std::atomic<int> woke{0};

    std::vector<std::thread> waiters;
    for (int i = 0; i < kWaiters; ++i)
        waiters.emplace_back(
            [&]
            {
                ZGuardMtx guard(mtx);
                ++registered;
                // Only the first wake-up counts: a second wait would hide a missing unit. The
                // limit only lets a waiter that a faulty broadcast left behind end the test.
                if (cnd.WaitFor(mtx, 15.0) && go)
                    ++woke;
            });
    // Each waiter counts itself and registers with the condition under mtx, so once all have
    // counted, all are registered.
    ASSERT_TRUE(sEventually(
        [&]
        {
            ZGuardMtx guard(mtx);
            return registered == kWaiters;
        }));
    {
        ZGuardMtx guard(mtx);
        go = true;
        cnd.Broadcast();
    }
    const bool allWoke = sEventually([&] { return woke == kWaiters; });
    EXPECT_TRUE(allWoke) << woke << " of " << kWaiters << " woke";
    for (auto& t : waiters)
        t.join();
}

TEST(ZCondition, BroadcastIsNotConsumedByAThreadThatStartsWaitingAfterIt)
{
    ZMutex mtx;
    ZCondition cnd;
    bool waiting = false; // guarded by mtx
    bool go = false;      // guarded by mtx
    std::atomic<bool> woke{false};
    std::thread waiter(
        [&]
        {
            ZGuardMtx guard(mtx);
            waiting = true;
            if (cnd.WaitFor(mtx, 15.0) && go)
                woke = true;
        });
    ASSERT_TRUE(sEventually(
        [&]
        {
            ZGuardMtx guard(mtx);
            return waiting;
        }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // let it block
    {
        ZGuardMtx guard(mtx);
        go = true;
        cnd.Broadcast();
        // A newcomer registering right after the broadcast must not take the waiter's unit.
        EXPECT_FALSE(cnd.WaitFor(mtx, 0.0009));
    }
    EXPECT_TRUE(sEventually([&] { return woke.load(); }));
    waiter.join();
}

TEST(ZCondition, BroadcastWithoutWaitersLeavesNothingBehind)
{
    ZMutex mtx;
    ZCondition cnd;
    cnd.Broadcast();
    cnd.Broadcast();
    ZGuardMtx guard(mtx);
    EXPECT_FALSE(cnd.WaitFor(mtx, 0.0009)) << "a broadcast with no waiter released a unit";
}

TEST(ZCondition, ExpiredTimedWaiterUnregistersItself)
{
    ZMutex mtx;
    ZCondition cnd;
    ZGuardMtx guard(mtx);
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(cnd.WaitFor(mtx, 0.05));
    EXPECT_GE(sSecondsSince(start), 0.04);
    // Had it stayed registered, this broadcast would pay for it and the next wait would return.
    cnd.Broadcast();
    EXPECT_FALSE(cnd.WaitFor(mtx, 0.0009));
}

TEST(ZCondition, TimedWaitReturnsTrueWhenBroadcast)
{
    ZMutex mtx;
    ZCondition cnd;
    bool done = false; // guarded by mtx
    std::thread broadcaster(
        [&]
        {
            sPause();
            ZGuardMtx guard(mtx);
            done = true;
            cnd.Broadcast();
        });
    {
        ZGuardMtx guard(mtx);
        bool result = true;
        while (!done && result)
            result = cnd.WaitFor(mtx, 30.0);
        EXPECT_TRUE(result);
        EXPECT_TRUE(done);
    }
    broadcaster.join();
}

// =================================================================================================

TEST(ZBenaphore, SecondAcquireBlocksUntilTheHolderReleases)
{
    ZBenaphore ben;
    std::atomic<bool> otherGotIt{false};
    ben.Acquire();
    std::thread other(
        [&]
        {
            ben.Acquire();
            otherGotIt = true;
            ben.Release();
        });
    sPause();
    EXPECT_FALSE(otherGotIt);
    ben.Release();
    other.join();
    EXPECT_TRUE(otherGotIt);
}

TEST(ZBenaphore, ExcludesOtherThreadsUnderContention)
{
    ZBenaphore ben;
    long counter = 0; // guarded by ben
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back(
            [&]
            {
                for (int i = 0; i < 20000; ++i)
                {
                    ZGuardBen guard(ben);
                    ++counter;
                }
            });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(80000, counter);
}

// =================================================================================================

TEST(ZThreadLocal, KeyIsAllocatedOnceAndValuesArePerThread)
{
    static ZAtomic_t sKeyWord;
    const ZThreadLocal::Key key = ZThreadLocal::sKey(&sKeyWord);
    EXPECT_NE(0u, key);
    EXPECT_EQ(key, ZThreadLocal::sKey(&sKeyWord));

    int mine = 0, theirs = 0;
    ZThreadLocal::sSet(key, &mine);
    void* seenBefore = &mine;
    std::thread other(
        [&]
        {
            seenBefore = ZThreadLocal::sGet(key);
            ZThreadLocal::sSet(key, &theirs);
        });
    other.join();
    EXPECT_EQ(nullptr, seenBefore);
    EXPECT_EQ(&mine, ZThreadLocal::sGet(key));
    ZThreadLocal::sSet(key, nullptr);
}

TEST(ZThreadLocal, ThreadsRacingForTheFirstKeyAgree)
{
    for (int round = 0; round < 50; ++round)
    {
        ZAtomic_t keyWord(0);
        const int kThreads = 4;
        std::atomic<int> ready{0};
        std::vector<ZThreadLocal::Key> keys(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back(
                [&, t]
                {
                    ++ready;
                    while (ready < kThreads)
                        std::this_thread::yield();
                    keys[t] = ZThreadLocal::sKey(&keyWord);
                });
        for (auto& t : threads)
            t.join();
        for (int t = 1; t < kThreads; ++t)
            ASSERT_EQ(keys[0], keys[t]);
        EXPECT_EQ(int32_t(keys[0]), sAtomic_Get(&keyWord));
    }
}
