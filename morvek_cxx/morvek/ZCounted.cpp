// Reference counting: the end-of-life protocol of ZCountedBase and its weak-reference proxy.
//
// Lock order: a proxy's fMutex is the innermost lock; nothing is acquired while holding it.
// Invariants: the installed proxy is reachable only through fWeakRefProxy, which holds one
// reference to it; a proxy's fCountedBase is null once its object's count has reached 0 for good
// or the object was destroyed.

#include "morvek/ZCounted.h"

namespace Morvek
{

// =================================================================================================
// ZCountedWithoutFinalize

ZCountedWithoutFinalize::~ZCountedWithoutFinalize()
{
    // At destruction the count is 0 ("Non-zero refcount at destruction, it is %d"); not verified.
}

// =================================================================================================
// ZCountedBase

ZCountedBase::ZCountedBase() : fRefCount(0), fWeakRefProxy(nullptr) {}

ZCountedBase::~ZCountedBase()
{
    // Normally FinalizationComplete has detached the proxy already. An object destroyed
    // without passing through it (never referenced, or deleted by its owner directly) must
    // still not leave a proxy that answers with freed memory.
    pDetachWeakRefProxy();
}

void ZCountedBase::Initialize()
{
    // At this point the count is 1 ("Refcount is not 1, it is %d"); not verified.
}

void ZCountedBase::Finalize()
{
    if (this->FinalizationComplete())
        delete this;
}

bool ZCountedBase::FinalizationComplete()
{
    if (!sAtomic_DecrementAndTest(&fRefCount))
        return false;
    pDetachWeakRefProxy();
    return true;
}

void ZCountedBase::pDetachWeakRefProxy()
{
    WeakRefProxy* proxy = fWeakRefProxy.load(std::memory_order_seq_cst);
    if (!proxy)
        return;
    proxy->pDetach();
    fWeakRefProxy.store(nullptr, std::memory_order_seq_cst);
    proxy->Release();
}

ZRef<ZCountedBase::WeakRefProxy> ZCountedBase::GetWeakRefProxy()
{
    WeakRefProxy* installed = fWeakRefProxy.load(std::memory_order_seq_cst);
    if (!installed)
    {
        // Throws std::bad_alloc before anything is installed.
        WeakRefProxy* fresh = new WeakRefProxy(this);
        fresh->Retain(); // the reference held by fWeakRefProxy
        if (sAtomic_CompareAndSwapPtr(&fWeakRefProxy, static_cast<WeakRefProxy*>(nullptr), fresh))
        {
            installed = fresh;
        }
        else
        {
            // Another thread installed one first. Ours never answers with a live object.
            fresh->pDetach();
            fresh->Release();
            installed = fWeakRefProxy.load(std::memory_order_seq_cst);
        }
    }
    return ZRef<WeakRefProxy>(installed);
}

bool ZCountedBase::pRetainIfAlive()
{
    int32_t count = sAtomic_Get(&fRefCount);
    while (count > 0)
    {
        if (sAtomic_CompareAndSwap(&fRefCount, count, count + 1))
            return true;
        count = sAtomic_Get(&fRefCount);
    }
    return false;
}

// =================================================================================================
// ZCountedBase::WeakRefProxy

ZCountedBase::WeakRefProxy::WeakRefProxy(ZCountedBase* iCountedBase) : fCountedBase(iCountedBase) {}

ZCountedBase::WeakRefProxy::~WeakRefProxy()
{
    // At destruction it no longer points at an object ("! fCountedBase"); not verified.
}

ZRef<ZCountedBase> ZCountedBase::WeakRefProxy::pGetCountedBase()
{
    ZCountedBase* counted = nullptr;
    fMutex.Acquire();
    // A count of 0 means the object is dying (its proxy not yet detached) or was never
    // referenced: either way it is not ours to revive.
    if (fCountedBase && fCountedBase->pRetainIfAlive())
        counted = fCountedBase;
    fMutex.Release();

    ZRef<ZCountedBase> result(counted); // adds its own reference...
    if (counted)
        counted->Release(); // ...so drop the one taken under the mutex
    return result;
}

void ZCountedBase::WeakRefProxy::pDetach()
{
    fMutex.Acquire();
    fCountedBase = nullptr;
    fMutex.Release();
}

// =================================================================================================
// ZWeakRefBase

ZWeakRefBase::ZWeakRefBase(ZCountedBase* iCountedBase)
{
    if (iCountedBase)
        fWeakRefProxy = iCountedBase->GetWeakRefProxy();
}

ZRef<ZCountedBase> ZWeakRefBase::GetCountedBase() const
{
    if (!fWeakRefProxy)
        return ZRef<ZCountedBase>();
    return fWeakRefProxy->pGetCountedBase();
}

} // namespace Morvek
