// Reference counting: the Initialize/Finalize protocol, resurrection under an owner's lock,
// ZRef assignment, and the weak-reference proxy, including its races.

#include "morvek/ZCounted.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace Morvek;

namespace
{

// Counts its Initialize calls and notes its destruction in caller-owned flags, which outlive it.
struct Tracked : public ZCounted
{
    std::atomic<int>& fInitializeCount;
    std::atomic<bool>& fDestroyed;
    std::atomic<ZThread::ID>* fDestroyedOn = nullptr;

    Tracked(std::atomic<int>& ioInit, std::atomic<bool>& ioDestroyed)
        : fInitializeCount(ioInit), fDestroyed(ioDestroyed)
    {
    }
    ~Tracked() override
    {
        fDestroyed = true;
        if (fDestroyedOn)
            *fDestroyedOn = ZThread::sID();
    }
    void Initialize() override
    {
        ZCounted::Initialize();
        ++fInitializeCount;
    }
};

} // namespace

// =================================================================================================

TEST(ZCounted, InitializeRunsOnceAtFirstReferenceAndNeverBefore)
{
    std::atomic<int> init{0};
    std::atomic<bool> destroyed{false};
    Tracked* raw = new Tracked(init, destroyed);
    EXPECT_EQ(0, raw->GetRefCount());
    EXPECT_EQ(0, init);
    {
        ZRef<Tracked> a = raw;
        EXPECT_EQ(1, init);
        EXPECT_EQ(1, a->GetRefCount());
        ZRef<Tracked> b = a;
        ZRef<ZCountedBase> c = a;
        EXPECT_EQ(3, raw->GetRefCount());
        b.Clear();
        c.Clear();
        EXPECT_EQ(1, raw->GetRefCount());
        EXPECT_FALSE(destroyed);
    }
    EXPECT_EQ(1, init);
    EXPECT_TRUE(destroyed);
}

TEST(ZCounted, LastReleaseDestroysAtOnceOnTheReleasingThread)
{
    std::atomic<int> init{0};
    std::atomic<bool> destroyed{false};
    std::atomic<ZThread::ID> destroyedOn{0};
    Tracked* raw = new Tracked(init, destroyed);
    raw->fDestroyedOn = &destroyedOn;
    ZRef<Tracked> ref = raw;

    std::atomic<ZThread::ID> releaserID{0};
    std::atomic<bool> destroyedWithinRelease{false};
    std::thread releaser(
        [&]
        {
            releaserID = ZThread::sID();
            ref.Clear();
            destroyedWithinRelease = destroyed.load();
        });
    releaser.join();
    EXPECT_TRUE(destroyedWithinRelease);
    EXPECT_EQ(releaserID, destroyedOn);
    EXPECT_NE(ZThread::sID(), destroyedOn);
}

// =================================================================================================
// An owner through which other threads find its objects decides their death under its lock.

namespace
{

struct Registry
{
    ZMutex fMutex;
    struct Entry* fEntry = nullptr; // guarded by fMutex
};

struct Entry : public ZCounted
{
    Registry& fRegistry;
    std::atomic<int>& fInitializeCount;
    std::atomic<bool>& fDestroyed;
    // Test hooks: Finalize announces itself, then waits for the go-ahead before taking the lock.
    ZSemaphore* fFinalizeEntered = nullptr;
    ZSemaphore* fFinalizeGo = nullptr;

    Entry(Registry& iRegistry, std::atomic<int>& ioInit, std::atomic<bool>& ioDestroyed)
        : fRegistry(iRegistry), fInitializeCount(ioInit), fDestroyed(ioDestroyed)
    {
    }
    ~Entry() override { fDestroyed = true; }
    void Initialize() override
    {
        ZCounted::Initialize();
        ++fInitializeCount;
    }

    void Finalize() override
    {
        if (fFinalizeEntered)
        {
            ZSemaphore* entered = fFinalizeEntered;
            ZSemaphore* go = fFinalizeGo;
            fFinalizeEntered = nullptr; // only the first Finalize is held up
            entered->Release();
            go->Acquire();
        }
        ZGuardMtx guard(fRegistry.fMutex);
        if (this->FinalizationComplete())
        {
            fRegistry.fEntry = nullptr;
            delete this;
        }
    }
};

// Finds the registered entry under the registry's lock and takes a reference to it.
ZRef<Entry> sFind(Registry& iRegistry)
{
    ZGuardMtx guard(iRegistry.fMutex);
    return iRegistry.fEntry;
}

} // namespace

TEST(ZCounted, ReferenceTakenUnderOwnersLockDuringFinalizeKeepsObjectAlive)
{
    Registry registry;
    std::atomic<int> init{0};
    std::atomic<bool> destroyed{false};
    ZSemaphore entered, go;
    Entry* raw = new Entry(registry, init, destroyed);
    raw->fFinalizeEntered = &entered;
    raw->fFinalizeGo = &go;
    ZRef<Entry> owner = raw;
    registry.fEntry = raw;

    std::thread releaser([&] { owner.Clear(); }); // the last Release: count stays 1 in Finalize
    entered.Acquire();
    ZRef<Entry> found = sFind(registry); // raises the count to 2 under the owner's lock
    ASSERT_TRUE(found);
    go.Release();
    releaser.join();

    EXPECT_FALSE(destroyed);
    EXPECT_EQ(1, found->GetRefCount());
    EXPECT_EQ(1, init) << "the count must never have been seen at 0";
    EXPECT_EQ(raw, registry.fEntry);

    found.Clear(); // a plain last release now
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(nullptr, registry.fEntry);
}

// =================================================================================================
// ZRef

TEST(ZRef, AssignmentOfTheSameObjectKeepsCountAndObject)
{
    std::atomic<int> init{0};
    std::atomic<bool> destroyed{false};
    ZRef<Tracked> a = new Tracked(init, destroyed);
    ZRef<Tracked> b = a;
    ZRef<Tracked>& alias = a;

    a = alias;
    EXPECT_EQ(2, a->GetRefCount());
    a = b;
    EXPECT_EQ(2, a->GetRefCount());
    a = a.Get();
    EXPECT_EQ(2, a->GetRefCount());
    b.Clear();
    a = alias; // now the only reference
    EXPECT_EQ(1, a->GetRefCount());
    a = std::move(alias);
    ASSERT_TRUE(a);
    EXPECT_EQ(1, a->GetRefCount());
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(1, init);
}

namespace
{
ZRef<ZCountedBase> sGlobalRef;
std::atomic<bool> sGlobalRefNullAtDestruction{false};

struct ChecksGlobalAtDestruction : public ZCounted
{
    ~ChecksGlobalAtDestruction() override { sGlobalRefNullAtDestruction = !sGlobalRef; }
};
} // namespace

TEST(ZRef, ClearStoresNullBeforeReleasing)
{
    sGlobalRef = new ChecksGlobalAtDestruction;
    sGlobalRef.Clear();
    EXPECT_TRUE(sGlobalRefNullAtDestruction);
    sGlobalRef.Clear(); // a null ZRef: nothing happens
    EXPECT_FALSE(sGlobalRef);
    EXPECT_TRUE(sGlobalRef == nullptr);
}

TEST(ZRef, CopiesFromManyThreadsKeepTheCountExact)
{
    std::atomic<int> init{0};
    std::atomic<bool> destroyed{false};
    ZRef<Tracked> shared = new Tracked(init, destroyed);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back(
            [&]
            {
                for (int i = 0; i < 20000; ++i)
                {
                    ZRef<Tracked> copy = shared;
                    ZRef<Tracked> another;
                    another = copy;
                }
            });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(1, shared->GetRefCount());
    EXPECT_EQ(1, init);
    shared.Clear();
    EXPECT_TRUE(destroyed);
}

// =================================================================================================
// Weak references

TEST(ZCountedWeak, ProxyYieldsTheObjectWhileAliveAndNullAfterItsDeath)
{
    std::atomic<int> init{0};
    std::atomic<bool> destroyed{false};
    ZRef<Tracked> strong = new Tracked(init, destroyed);
    ZWeakRef<Tracked> weak(strong);
    ZRef<ZCountedBase::WeakRefProxy> proxy = strong->GetWeakRefProxy();
    {
        ZRef<Tracked> again = weak.Get();
        EXPECT_EQ(strong, again);
        EXPECT_EQ(2, strong->GetRefCount());
    }
    strong.Clear();
    EXPECT_TRUE(destroyed);
    EXPECT_FALSE(weak.Get());
    EXPECT_FALSE(proxy->pGetCountedBase());
    EXPECT_EQ(1, init);
    EXPECT_FALSE(ZWeakRef<Tracked>().Get());
}

TEST(ZCountedWeak, ProxyNeverRevivesAnObjectAtCountZero)
{
    std::atomic<int> init{0};
    std::atomic<bool> destroyed{false};
    Tracked* raw = new Tracked(init, destroyed);
    ZRef<ZCountedBase::WeakRefProxy> proxy = raw->GetWeakRefProxy();
    EXPECT_FALSE(proxy->pGetCountedBase());
    EXPECT_EQ(0, raw->GetRefCount());
    EXPECT_EQ(0, init);

    // Destroyed without ever being referenced: the proxy must not point at freed memory.
    delete raw;
    EXPECT_FALSE(proxy->pGetCountedBase());
}

TEST(ZCountedWeak, ReferenceTakenThroughProxyDuringFinalizeKeepsObjectAlive)
{
    Registry registry;
    std::atomic<int> init{0};
    std::atomic<bool> destroyed{false};
    ZSemaphore entered, go;
    Entry* raw = new Entry(registry, init, destroyed);
    raw->fFinalizeEntered = &entered;
    raw->fFinalizeGo = &go;
    ZRef<Entry> owner = raw;
    ZWeakRef<Entry> weak(owner);

    std::thread releaser([&] { owner.Clear(); });
    entered.Acquire();
    ZRef<Entry> revived = weak.Get(); // count 1 -> 2 while finalizing
    go.Release();
    releaser.join();
    ASSERT_TRUE(revived);
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(1, revived->GetRefCount());
    revived.Clear();
    EXPECT_TRUE(destroyed);
    EXPECT_FALSE(weak.Get());
}

TEST(ZCountedWeak, ThreadsRacingForTheProxyGetTheSameOne)
{
    for (int round = 0; round < 200; ++round)
    {
        std::atomic<int> init{0};
        std::atomic<bool> destroyed{false};
        ZRef<Tracked> strong = new Tracked(init, destroyed);
        const int kThreads = 4;
        std::atomic<int> ready{0};
        std::vector<ZRef<ZCountedBase::WeakRefProxy>> proxies(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back(
                [&, t]
                {
                    ++ready;
                    while (ready < kThreads)
                        std::this_thread::yield();
                    proxies[t] = strong->GetWeakRefProxy();
                });
        for (auto& t : threads)
            t.join();
        for (int t = 1; t < kThreads; ++t)
            ASSERT_EQ(proxies[0], proxies[t]) << "round " << round;
        // The installed proxy: its own reference plus ours.
        EXPECT_EQ(kThreads + 1, proxies[0]->GetRefCount());
        EXPECT_EQ(strong.Get(), proxies[0]->pGetCountedBase().Get());
        strong.Clear();
        EXPECT_TRUE(destroyed);
        EXPECT_FALSE(proxies[0]->pGetCountedBase());
        EXPECT_EQ(kThreads, proxies[0]->GetRefCount());
    }
}

TEST(ZCountedWeak, WeakGetRacingTheLastReleaseYieldsObjectOrNullNeverAFreedOne)
{
    for (int round = 0; round < 500; ++round)
    {
        std::atomic<int> init{0};
        std::atomic<bool> destroyed{false};
        ZRef<Tracked> strong = new Tracked(init, destroyed);
        ZWeakRef<Tracked> weak(strong);
        std::atomic<bool> go{false};
        std::thread releaser(
            [&]
            {
                while (!go)
                    std::this_thread::yield();
                strong.Clear();
            });
        go = true;
        ZRef<Tracked> got = weak.Get();
        releaser.join();
        if (got)
        {
            EXPECT_FALSE(destroyed);
            EXPECT_EQ(1, got->GetRefCount());
            got.Clear();
        }
        EXPECT_TRUE(destroyed);
        EXPECT_EQ(1, init) << "Initialize ran again: a dead object was revived";
    }
}
