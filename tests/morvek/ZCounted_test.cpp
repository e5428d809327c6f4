// Reference counting: Initialize exactly once (each test counts it), resurrection while the last
// Release runs (under the owner's lock or through the weak proxy), ZRef assignment and Clear, and
// the proxy's races.

#include "morvek/ZCounted.h"

#include "tests/support/TestUtil.h"

#include <gtest/gtest.h>

using namespace Morvek;
using quillane::test::sRunTogether;

namespace
{

// What a counted object reports about itself; outlives the object.
struct Probe
{
    std::atomic<int> fInitializeCount{0};
    std::atomic<bool> fDestroyed{false};
};

struct Tracked : public ZCounted
{
    Probe& fProbe;

    explicit Tracked(Probe& ioProbe) : fProbe(ioProbe) {}
    ~Tracked() override { fProbe.fDestroyed = true; }
    void Initialize() override
    {
        ZCounted::Initialize();
        ++fProbe.fInitializeCount;
    }
};

struct Entry;

struct Registry
{
    ZMutex fMutex;
    Entry* fEntry = nullptr; // guarded by fMutex
    // The first Finalize announces itself, then waits for the go-ahead before taking the lock.
    ZSemaphore fFinalizeEntered, fFinalizeGo;
    bool fHoldFinalize = true;
};

struct Entry : public Tracked
{
    Registry& fRegistry;

    Entry(Probe& ioProbe, Registry& iRegistry) : Tracked(ioProbe), fRegistry(iRegistry) {}

    void Finalize() override
    {
        if (fRegistry.fHoldFinalize)
        {
            fRegistry.fHoldFinalize = false;
            fRegistry.fFinalizeEntered.Release();
            fRegistry.fFinalizeGo.Acquire();
        }
        ZGuardMtx guard(fRegistry.fMutex);
        if (this->FinalizationComplete())
        {
            fRegistry.fEntry = nullptr;
            delete this;
        }
    }
};

// Parameter: whether the second thread's reference comes through the weak proxy rather than from
// the registry under its lock.
using ZCountedResurrection = testing::TestWithParam<bool>;

ZRef<ZCountedBase> sGlobalRef;
std::atomic<bool> sGlobalRefNullAtDestruction{false};

struct ChecksGlobalAtDestruction : public ZCounted
{
    ~ChecksGlobalAtDestruction() override { sGlobalRefNullAtDestruction = !sGlobalRef; }
};

} // namespace

TEST_P(ZCountedResurrection, ReferenceTakenDuringFinalizeKeepsObjectAlive)
{
    const bool viaProxy = GetParam();
    Registry registry;
    Probe probe;
    Entry* raw = new Entry(probe, registry);
    ZRef<Entry> owner = raw;
    registry.fEntry = raw;
    const ZWeakRef<Entry> weak = viaProxy ? ZWeakRef<Entry>(owner) : ZWeakRef<Entry>();

    std::thread releaser([&] { owner.Clear(); }); // the last Release: count stays 1 in Finalize
    registry.fFinalizeEntered.Acquire();
    ZRef<Entry> found; // raises the count to 2 while Finalize waits
    if (viaProxy)
        found = weak.Get();
    else
    {
        ZGuardMtx guard(registry.fMutex);
        found = registry.fEntry;
    }
    registry.fFinalizeGo.Release();
    releaser.join();

    ASSERT_TRUE(found);
    EXPECT_FALSE(probe.fDestroyed);
    EXPECT_EQ(1, found->GetRefCount());
    EXPECT_EQ(1, probe.fInitializeCount) << "the count must never have been seen at 0";
    EXPECT_EQ(raw, registry.fEntry);

    found.Clear(); // a plain last release now
    EXPECT_TRUE(probe.fDestroyed);
    EXPECT_EQ(nullptr, registry.fEntry);
    EXPECT_FALSE(weak.Get());
}

INSTANTIATE_TEST_SUITE_P(OwnersLockOrProxy, ZCountedResurrection, testing::Bool());

TEST(ZRef, AssignmentOfTheSameObjectKeepsCountAndObjectClearNullsFirst)
{
    Probe probe;
    ZRef<Tracked> a = new Tracked(probe);
    ZRef<Tracked> b = a;
    ZRef<Tracked>& alias = a;

    a = alias;
    EXPECT_EQ(3, ZRef<ZCountedBase>(a)->GetRefCount()); // still 2, plus a converting copy
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
    EXPECT_FALSE(probe.fDestroyed);
    EXPECT_EQ(1, probe.fInitializeCount);

    // Clear stores null before releasing, so the dying object never sees itself referenced.
    sGlobalRef = new ChecksGlobalAtDestruction;
    sGlobalRef.Clear();
    EXPECT_TRUE(sGlobalRefNullAtDestruction);
    sGlobalRef.Clear(); // a null ZRef: nothing happens
    EXPECT_TRUE(sGlobalRef == nullptr);
}

TEST(ZRef, CopiesFromManyThreadsKeepTheCountExact)
{
    Probe probe;
    ZRef<Tracked> shared = new Tracked(probe);
    sRunTogether(4,
                 [&](int)
                 {
                     for (int i = 0; i < 20000; ++i)
                     {
                         ZRef<Tracked> copy = shared;
                         ZRef<Tracked> another;
                         another = copy;
                     }
                 });
    EXPECT_EQ(1, shared->GetRefCount());
    EXPECT_EQ(1, probe.fInitializeCount);
    shared.Clear();
    EXPECT_TRUE(probe.fDestroyed);
}

// Not at count 0 (Initialize has not run), nor once the object is deleted.
TEST(ZCountedWeak, ProxyNeverRevivesAnObjectThatWasNeverReferenced)
{
    Probe probe;
    Tracked* raw = new Tracked(probe);
    const ZRef<ZCountedBase::WeakRefProxy> proxy = raw->GetWeakRefProxy();
    EXPECT_FALSE(proxy->pGetCountedBase());
    EXPECT_EQ(0, raw->GetRefCount());
    EXPECT_EQ(0, probe.fInitializeCount);
    delete raw;
    EXPECT_FALSE(proxy->pGetCountedBase());
}

TEST(ZCountedWeak, RacesForTheProxyAndAgainstTheLastRelease)
{
    const int kThreads = 4;
    for (int round = 0; round < 500; ++round)
    {
        Probe probe;
        ZRef<Tracked> strong = new Tracked(probe);
        std::vector<ZRef<ZCountedBase::WeakRefProxy>> proxies(kThreads);
        sRunTogether(kThreads, [&](int t) { proxies[t] = strong->GetWeakRefProxy(); });
        for (int t = 1; t < kThreads; ++t)
            ASSERT_EQ(proxies[0], proxies[t]) << "round " << round << ": not the same proxy";
        // The installed proxy: its own reference plus ours.
        EXPECT_EQ(kThreads + 1, proxies[0]->GetRefCount());
        EXPECT_EQ(strong.Get(), proxies[0]->pGetCountedBase().Get());

        // A weak Get racing the last Release yields the object or null, never a freed one.
        const ZWeakRef<Tracked> weak(strong);
        ZRef<Tracked> got;
        sRunTogether(2,
                     [&](int t)
                     {
                         if (t == 0)
                             strong.Clear();
                         else
                             got = weak.Get();
                     });
        if (got)
        {
            EXPECT_FALSE(probe.fDestroyed);
            EXPECT_EQ(1, got->GetRefCount());
            got.Clear();
        }
        EXPECT_TRUE(probe.fDestroyed);
        EXPECT_EQ(1, probe.fInitializeCount) << "Initialize ran again: a dead object was revived";
        EXPECT_FALSE(proxies[0]->pGetCountedBase());
        EXPECT_EQ(kThreads + 1, proxies[0]->GetRefCount()) << "ours and the weak reference's";
    }
}
