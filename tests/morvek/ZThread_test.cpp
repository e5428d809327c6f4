// Threads and locks: thread start, millisecond truncation, semaphore waits, the recursive mutex
// across a condition wait, broadcast accounting, mutual exclusion and thread-local keys. Timing
// bounds are deliberately wide: only orders of magnitude are pinned.

#include "morvek/ZThread.h"

#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>

using namespace Morvek;
using namespace quillane::test;

namespace
{

// The caller holds ioLock iDepth times: another thread gets it only after the last release.
template <class Lock> void sExpectHeldUntilTheLastRelease(Lock& ioLock, int iDepth)
{
    std::atomic<bool> otherGotIt{false};
    std::thread other(
        [&]
        {
            ZGuard_T<Lock> guard(ioLock);
            otherGotIt = true;
        });
    for (int d = 1; d < iDepth; ++d)
        ioLock.Release();
    sPause();
    EXPECT_FALSE(otherGotIt) << "got in with the lock still held";
    ioLock.Release();
    other.join();
    EXPECT_TRUE(otherGotIt);
}

// The lock keeps a second thread out while held (iDepth times); under contention it keeps a
// shared counter exact.
template <class Lock> void sCheckExclusion(int iDepth)
{
    Lock lock;
    for (int d = 0; d < iDepth; ++d)
        lock.Acquire();
    sExpectHeldUntilTheLastRelease(lock, iDepth);

    long counter = 0; // guarded by lock
    sRunTogether(4,
                 [&](int)
                 {
                     for (int i = 0; i < 20000; ++i)
                     {
                         for (int d = 0; d < iDepth; ++d)
                             lock.Acquire();
                         ++counter;
                         for (int d = 0; d < iDepth; ++d)
                             lock.Release();
                     }
                 });
    EXPECT_EQ(80000, counter);
}

// Starts iWaiters threads waiting on one condition and broadcasts once when all are registered;
// every waiter must wake from that broadcast. With iNewcomer, the broadcaster itself waits right
// after it (once the waiters have blocked) and must not take a waiter's unit.
void sBroadcastToWaiters(int iWaiters, bool iNewcomer)
{
    ZMutex mtx;
    ZCondition cnd;
    int registered = 0; // guarded by mtx
    bool go = false;    // guarded by mtx
    std::atomic<int> woke{0};

    std::vector<std::thread> waiters;
    for (int i = 0; i < iWaiters; ++i)
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
    // Each waiter counts itself and registers under mtx: once all have counted, all are registered.
    EXPECT_TRUE(sEventually(
        [&]
        {
            ZGuardMtx guard(mtx);
            return registered == iWaiters;
        }));
    if (iNewcomer)
        sPause(100); // let them block
    {
        ZGuardMtx guard(mtx);
        go = true;
        cnd.Broadcast();
        EXPECT_FALSE(iNewcomer && cnd.WaitFor(mtx, 0.0009)) << "the newcomer took a waiter's unit";
    }
    EXPECT_TRUE(sEventually([&] { return woke == iWaiters; }))
        << woke << " of " << iWaiters << " woke";
    for (auto& t : waiters)
        t.join();
}

} // namespace

TEST(ZThreadMilliseconds, TruncatesTowardZeroAndStaysInRange)
{
    const double kNaN = std::numeric_limits<double>::quiet_NaN();
    const double kInf = std::numeric_limits<double>::infinity();
    // Beyond 32 bits: capped, neither wrapped to a short wait nor "no time limit".
    const std::pair<double, uint32_t> cases[] = {
        {0.0, 0},           {0.0009, 0},       {0.0019, 1}, {1.0, 1000},
        {1.9999, 1999},     {-1.0, 0},         {kNaN, 0},   {4294967.296, 0xFFFFFFFE},
        {1e12, 0xFFFFFFFE}, {kInf, 0xFFFFFFFE}};
    for (const auto& c : cases)
        EXPECT_EQ(c.second, sMilliseconds(c.first)) << c.first;
}

TEST(ZThread, CreateRunsTheFunctionOnANewThreadAndOutlivesAnEscapingException)
{
    struct Probe
    {
        ZSemaphore fDone;
        std::atomic<ZThread::ID> fID{0};
        bool fThrow = false;
    };
    const ZThread::Proc_t proc = [](void* iParam)
    {
        Probe* probe = static_cast<Probe*>(iParam);
        probe->fID = ZThread::sID();
        const bool doThrow = probe->fThrow;
        probe->fDone.Release(); // the probe may be gone from here on
        if (doThrow)
            throw std::runtime_error("escapes the thread's function");
    };
    Probe thrower, after;
    thrower.fThrow = true;
    ZThread::sCreate(proc, &thrower);
    ASSERT_TRUE(thrower.fDone.TryAcquireFor(10.0));
    EXPECT_NE(0u, thrower.fID);
    EXPECT_NE(ZThread::sID(), thrower.fID);
    // The exception is discarded: the process lives on and can start further threads.
    ZThread::sCreate(proc, &after);
    EXPECT_TRUE(after.fDone.TryAcquireFor(10.0));
}

TEST(ZSemaphore, TimedWaits)
{
    ZSemaphore sem;
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(sem.TryAcquireFor(0.0009)); // under a millisecond: only tests
    EXPECT_LT(sSecondsSince(start), 0.5);
    sem.Release();
    EXPECT_TRUE(sem.TryAcquireFor(0.0009));
    EXPECT_FALSE(sem.TryAcquireFor(0.0));

    start = Clock::now();
    EXPECT_FALSE(sem.TryAcquireFor(1.0));
    EXPECT_GE(sSecondsSince(start), 0.95);
    EXPECT_LT(sSecondsSince(start), 10.0);

    // Released meanwhile: the wait ends early, with the unit.
    std::thread releaser(
        [&]
        {
            sPause();
            sem.Release();
        });
    start = Clock::now();
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
    sPause(100); // let it block
    sem.Release();
    EXPECT_FALSE(sem.TryAcquireFor(0)) << "a later arrival took the blocked thread's unit";
    EXPECT_TRUE(sEventually([&] { return got.load(); }));
    if (!got)
        sem.Release();
    blocked.join();
}

TEST(ZRecursiveMutex, ConditionWaitsAtDepthTwoFreeTheMutexAndRestoreTheDepth)
{
    ZRecursiveMutex mtx;
    ZCondition cnd;
    bool otherRan = false; // guarded by mtx

    mtx.Acquire();
    mtx.Acquire();
    std::thread other(
        [&]
        {
            EXPECT_FALSE(mtx.IsHeldByCaller());
            ZGuardRMtx guard(mtx); // possible only while the waiter has given the mutex up
            otherRan = true;
            cnd.Broadcast();
        });
    while (!otherRan)
        cnd.Wait(mtx);
    other.join();
    EXPECT_FALSE(cnd.WaitFor(mtx, 0.01)); // an expiring timed wait must restore the depth too

    EXPECT_TRUE(mtx.IsHeldByCaller());
    sExpectHeldUntilTheLastRelease(mtx, 2); // depth 2 again
    EXPECT_FALSE(mtx.IsHeldByCaller());
}

TEST(ZLocks, RecursiveMutexAndBenaphoreExcludeOtherThreads)
{
    sCheckExclusion<ZRecursiveMutex>(2);
    sCheckExclusion<ZBenaphore>(1);
}

TEST(ZCondition, OneBroadcastWakesEveryRegisteredWaiterAndNoLaterOne)
{
    sBroadcastToWaiters(3, false);
    sBroadcastToWaiters(1, true);
    sBroadcastToWaiters(3, true);
}

TEST(ZCondition, BroadcastLeavesNothingForLaterWaiters)
{
    ZMutex mtx;
    ZCondition cnd;
    cnd.Broadcast();
    cnd.Broadcast();
    ZGuardMtx guard(mtx);
    EXPECT_FALSE(cnd.WaitFor(mtx, 0.0009)) << "a broadcast with no waiter released a unit";

    // An expired timed waiter unregisters: else the next broadcast would pay for it and the
    // following wait would return.
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(cnd.WaitFor(mtx, 0.05));
    EXPECT_GE(sSecondsSince(start), 0.04);
    cnd.Broadcast();
    EXPECT_FALSE(cnd.WaitFor(mtx, 0.0009));
}

TEST(ZThreadLocal, RacersAgreeOnTheFirstKeyAndEachSeesOnlyItsOwnValue)
{
    const int kThreads = 4;
    ZAtomic_t keyWord(0);
    for (int round = 0; round < 50; ++round)
    {
        sAtomic_Set(&keyWord, 0);
        std::vector<ZThreadLocal::Key> keys(kThreads);
        std::vector<void*> before(kThreads), after(kThreads);
        int values[kThreads];
        std::atomic<int> stored{0};
        sRunTogether(kThreads,
                     [&](int t)
                     {
                         keys[t] = ZThreadLocal::sKey(&keyWord);
                         before[t] = ZThreadLocal::sGet(keys[t]);
                         ZThreadLocal::sSet(keys[t], &values[t]);
                         for (++stored; stored < kThreads;)
                             std::this_thread::yield();
                         after[t] = ZThreadLocal::sGet(keys[t]); // once every thread has set
                     });
        for (int t = 0; t < kThreads; ++t)
        {
            ASSERT_EQ(keys[0], keys[t]);
            EXPECT_EQ(nullptr, before[t]) << "a new thread saw another thread's value";
            EXPECT_EQ(&values[t], after[t]) << "another thread's value reached this one";
        }
        EXPECT_NE(0u, keys[0]);
        EXPECT_EQ(int32_t(keys[0]), sAtomic_Get(&keyWord));
        EXPECT_EQ(nullptr, ZThreadLocal::sGet(keys[0])); // this thread never set it
    }

    const ZThreadLocal::Key key = ZThreadLocal::sKey(&keyWord);
    EXPECT_EQ(int32_t(key), sAtomic_Get(&keyWord)) << "allocated once";
}
