// Intrusive reference counting: the counted bases ZCountedBase (with the Initialize/Finalize
// protocol), ZCounted (its virtual-base form, so a class reaching it along several paths holds
// one count), ZCountedWithoutFinalize (the lighter base), the weak-reference proxy, and the
// counted pointer ZRef<T>.
//
// End of life is two-step: the Release that meets a count of 1 does not decrement; it calls the
// virtual Finalize, which by default decrements in FinalizationComplete and deletes the object
// when the count reached 0. An owner through which other threads can find its objects overrides
// Finalize, takes its own lock and calls FinalizationComplete under it; a reference taken under
// that lock meanwhile keeps the object alive. Retain and Release may be called from any thread;
// Initialize runs on the thread that made the count leave 0, Finalize on the thread that
// released the last reference. A count that reached 0 is never raised again by a weak proxy.

#ifndef QUILLANE_MORVEK_ZCOUNTED_H
#define QUILLANE_MORVEK_ZCOUNTED_H

#include "morvek/ZAtomic.h"
#include "morvek/ZThread.h"

#include <atomic>
#include <cstdint>
#include <utility>

namespace Morvek
{

// =================================================================================================

// A counted pointer: null, or holding one strong reference to what it points at. T needs
// Retain() and Release() (any of the counted bases below). The second parameter is always true
// and has no other use.
template <class T, bool Sense = true> class ZRef
{
  public:
    ZRef() : fP(nullptr) {}
    ZRef(std::nullptr_t) : fP(nullptr) {}

    ZRef(T* iP) : fP(iP)
    {
        if (fP)
            fP->Retain();
    }

    ZRef(const ZRef& iOther) : fP(iOther.fP)
    {
        if (fP)
            fP->Retain();
    }

    template <class O> ZRef(const ZRef<O, Sense>& iOther) : fP(iOther.Get())
    {
        if (fP)
            fP->Retain();
    }

    // Takes over the other's reference; the count does not change.
    ZRef(ZRef&& iOther) noexcept : fP(iOther.fP) { iOther.fP = nullptr; }

    ~ZRef()
    {
        if (fP)
            fP->Release();
    }

    // Retains the new object first, then swaps it in, then releases the old one: assigning an
    // object to a ZRef that already holds it never drops the count to its end.
    ZRef& operator=(T* iP)
    {
        if (iP)
            iP->Retain();
        T* prior = fP;
        fP = iP;
        if (prior)
            prior->Release();
        return *this;
    }

    ZRef& operator=(const ZRef& iOther) { return *this = iOther.fP; }

    template <class O> ZRef& operator=(const ZRef<O, Sense>& iOther)
    {
        return *this = iOther.Get();
    }

    ZRef& operator=(ZRef&& iOther) noexcept
    {
        if (&iOther == this)
            return *this;
        T* prior = fP;
        fP = iOther.fP;
        iOther.fP = nullptr;
        if (prior)
            prior->Release();
        return *this;
    }

    ZRef& operator=(std::nullptr_t)
    {
        Clear();
        return *this;
    }

    // Stores null first, then releases what was held.
    void Clear()
    {
        T* prior = fP;
        fP = nullptr;
        if (prior)
            prior->Release();
    }

    T* Get() const { return fP; }
    T* operator->() const { return fP; }
    T& operator*() const { return *fP; }
    explicit operator bool() const { return fP != nullptr; }

    // A reference to the same object as O, or null when it is not one (dynamic_cast).
    template <class O> ZRef<O, Sense> DynamicCast() const
    {
        return ZRef<O, Sense>(dynamic_cast<O*>(fP));
    }

    template <class O> ZRef<O, Sense> StaticCast() const
    {
        return ZRef<O, Sense>(static_cast<O*>(fP));
    }

    void swap(ZRef& ioOther) noexcept { std::swap(fP, ioOther.fP); }

  private:
    T* fP;
};

template <class T, class O, bool S>
inline bool operator==(const ZRef<T, S>& iL, const ZRef<O, S>& iR)
{
    return iL.Get() == iR.Get();
}

template <class T, class O, bool S>
inline bool operator!=(const ZRef<T, S>& iL, const ZRef<O, S>& iR)
{
    return iL.Get() != iR.Get();
}

template <class T, class O, bool S> inline bool operator==(const ZRef<T, S>& iL, const O* iR)
{
    return iL.Get() == iR;
}

template <class T, class O, bool S> inline bool operator!=(const ZRef<T, S>& iL, const O* iR)
{
    return iL.Get() != iR;
}

template <class T, bool S> inline bool operator==(const ZRef<T, S>& iL, std::nullptr_t)
{
    return !iL;
}

template <class T, bool S> inline bool operator!=(const ZRef<T, S>& iL, std::nullptr_t)
{
    return bool(iL);
}

template <class T, class O, bool S>
inline bool operator<(const ZRef<T, S>& iL, const ZRef<O, S>& iR)
{
    return iL.Get() < iR.Get();
}

// =================================================================================================

// The lighter counted base: no Initialize/Finalize protocol, no weak references.
class ZCountedWithoutFinalize
{
  public:
    ZCountedWithoutFinalize() : fRefCount(0) {}
    virtual ~ZCountedWithoutFinalize();
    ZCountedWithoutFinalize(const ZCountedWithoutFinalize&) = delete;
    ZCountedWithoutFinalize& operator=(const ZCountedWithoutFinalize&) = delete;

    void Retain() { sAtomic_Increment(&fRefCount); }

    // Deletes the object when the count reaches 0.
    void Release()
    {
        if (sAtomic_DecrementAndTest(&fRefCount))
            delete this;
    }

    int32_t GetRefCount() const { return sAtomic_Get(&fRefCount); }

  private:
    ZAtomic_t fRefCount;
};

// =================================================================================================

class ZCountedBase
{
  public:
    class WeakRefProxy;

    ZCountedBase();
    virtual ~ZCountedBase();
    ZCountedBase(const ZCountedBase&) = delete;
    ZCountedBase& operator=(const ZCountedBase&) = delete;

    // Runs once the first strong reference exists (count 1), on the thread that made it. An
    // override may hand out ZRefs to the object; it calls the base Initialize first.
    virtual void Initialize();

    // Called by the Release that meets a count of 1, with the count still 1. The default calls
    // FinalizationComplete and deletes the object when that answers true. An override takes its
    // own lock, calls FinalizationComplete under it and deletes only on true.
    virtual void Finalize();

    // Drops the last reference: false when another reference was taken meanwhile (the object
    // lives on); true when the count reached 0, after the weak proxy has been detached.
    bool FinalizationComplete();

    // One atomic add; Initialize runs when the count was 0.
    void Retain()
    {
        if (sAtomic_Add(&fRefCount, 1) == 0)
            this->Initialize();
    }

    // One read and one compare-and-swap while the count is above 1; Finalize at 1.
    void Release()
    {
        for (;;)
        {
            const int32_t count = sAtomic_Get(&fRefCount);
            if (count == 1)
                return this->Finalize();
            if (sAtomic_CompareAndSwap(&fRefCount, count, count - 1))
                return;
        }
    }

    int32_t GetRefCount() const { return sAtomic_Get(&fRefCount); }

    // The object's weak proxy, made on first use (throws std::bad_alloc when it cannot be).
    ZRef<WeakRefProxy> GetWeakRefProxy();

  private:
    friend class WeakRefProxy;
    // Raises the count unless it is 0; false at 0 (dying or never referenced).
    bool pRetainIfAlive();
    void pDetachWeakRefProxy();

    ZAtomic_t fRefCount;
    // Holds one reference to the installed proxy; null until first asked for.
    std::atomic<WeakRefProxy*> fWeakRefProxy;
};

// Stands for a ZCountedBase and knows when it has died. fCountedBase is guarded by fMutex,
// which is taken only to read it for a new reference and to detach it.
class ZCountedBase::WeakRefProxy : public ZCountedWithoutFinalize
{
  public:
    explicit WeakRefProxy(ZCountedBase* iCountedBase);
    ~WeakRefProxy() override;

    // A new strong reference to the object, or null once it has died (or while its count is 0).
    ZRef<ZCountedBase> pGetCountedBase();

  private:
    friend class ZCountedBase;
    void pDetach();

    ZBenaphore fMutex;
    ZCountedBase* fCountedBase;
};

// The virtual-base form that every counted class of the system derives from.
class ZCounted : public virtual ZCountedBase
{
};

// =================================================================================================

// A weak reference: holds the object's proxy, never the object.
class ZWeakRefBase
{
  public:
    ZWeakRefBase() {}
    explicit ZWeakRefBase(ZCountedBase* iCountedBase);

    // Null when no proxy is held or the object has died.
    ZRef<ZCountedBase> GetCountedBase() const;
    void Clear() { fWeakRefProxy.Clear(); }

  private:
    ZRef<ZCountedBase::WeakRefProxy> fWeakRefProxy;
};

template <class T> class ZWeakRef : public ZWeakRefBase
{
  public:
    ZWeakRef() {}
    ZWeakRef(const ZRef<T>& iRef) : ZWeakRefBase(iRef.Get()) {}

    // A strong reference to the object, or null once it has died.
    ZRef<T> Get() const { return this->GetCountedBase().template DynamicCast<T>(); }
};

} // namespace Morvek

#endif // QUILLANE_MORVEK_ZCOUNTED_H
