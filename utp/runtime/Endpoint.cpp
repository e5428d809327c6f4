// Endpoint: a socket in use, its duplicate and its queue of incoming connections (see
// Endpoint.h). Every member runs under the Ubermeister's lock.

#include "utp/runtime/Endpoint.h"

#include "utp/runtime/Manager.h"
#include "utp/runtime/StreamerRW.h"
#include "utp/runtime/Ubermeister.h"

#include "morvek/platform/Platform_Socket.h"
#include "morvek/platform/Platform_Clock.h"
#include "morvek/platform/Platform_Thread.h"

namespace quillane
{
namespace UTP
{

using Morvek::ZRef;

Endpoint::Endpoint(int iSocket, int iDescriptor)
    : fSocket(iSocket),
      fDescriptor(iDescriptor),
      fDetached(false),
      fInvalid(false),
      fLingering(false),
      fLastManager(0)
{
}

Endpoint::~Endpoint() {}

void Endpoint::Finalize()
{
    Ubermeister::Lock lock;
    if (!FinalizationComplete())
        return;
    Ubermeister& theUbermeister = Ubermeister::sGet();
    theUbermeister.fEndpoints.erase(this);
    const auto found = theUbermeister.fByDescriptor.find(fSocket);
    if (found != theUbermeister.fByDescriptor.end() && found->second == this)
        theUbermeister.fByDescriptor.erase(found);
    if (!fInvalid)
    {
        // What its last connections sent goes out first: once closed, the number may be handed
        // out again at any moment, to a file or another socket.
        theUbermeister.SendOutbox();
        Morvek::Platform::sSocket_CloseDuplicate(fDescriptor);
    }
    delete this;
}

int Endpoint::GetSocket() const
{
    return fSocket;
}

int Endpoint::GetDescriptor() const
{
    return fDescriptor;
}

bool Endpoint::Accepts() const
{
    return !fDetached && (!fManagers.empty() || fLingering);
}

bool Endpoint::MayQueue() const
{
    if (!Accepts())
        return false;
    if (fPending.size() < kBacklog)
        return true;
    for (const ZRef<StreamerRW>& queued : fPending)
    {
        if (!queued->HasDelivered())
            return true;
    }
    return false;
}

bool Endpoint::Queue(StreamerRW* iStreamerRW)
{
    if (!Accepts())
        return false;
    if (fPending.size() >= kBacklog)
    {
        StreamerRW* silent = nullptr;
        for (const ZRef<StreamerRW>& queued : fPending)
        {
            if (!queued->HasDelivered())
            {
                silent = queued.Get();
                break;
            }
        }
        if (!silent)
            return false;
        silent->Abort();
    }
    try
    {
        fPending.push_back(iStreamerRW);
    }
    catch (...)
    {
        return false;
    }
    iStreamerRW->MarkQueued(Morvek::Platform::sClock_MonotonicMicroseconds());
    Ubermeister::sGet().Wake();
    return true;
}

ZRef<StreamerRW> Endpoint::TakeOldest()
{
    if (fPending.empty())
        return nullptr;
    ZRef<StreamerRW> theStreamerRW = std::move(fPending.front());
    fPending.pop_front();
    return theStreamerRW;
}

void Endpoint::Unqueue(StreamerRW* iStreamerRW)
{
    for (auto entry = fPending.begin(); entry != fPending.end(); ++entry)
    {
        if (entry->Get() == iStreamerRW)
        {
            // The caller holds the stream (or its engine connection does): this is not the
            // last reference.
            fPending.erase(entry);
            return;
        }
    }
}

void Endpoint::ExpireQueue(uint64_t iNow)
{
    // The application holds no stream over the socket and no call waits on it any more: what is
    // queued would never be taken.
    if (fLingering && iNow >= fLastManager + uint64_t(kLingerMilliseconds) * 1000)
    {
        fLingering = false;
        pClearQueue();
    }
    while (!fPending.empty() &&
           iNow - fPending.front()->QueuedAt() >= uint64_t(kQueueMilliseconds) * 1000)
    {
        fPending.front()->Abort();
    }
}

void Endpoint::Detach()
{
    fDetached = true;
    Ubermeister& theUbermeister = Ubermeister::sGet();
    const auto found = theUbermeister.fByDescriptor.find(fSocket);
    if (found != theUbermeister.fByDescriptor.end() && found->second == this)
        theUbermeister.fByDescriptor.erase(found);
    pClearQueue();
    theUbermeister.Wake();
}

void Endpoint::Invalidate()
{
    // Someone closed the duplicate behind the layer's back; the number may be reused at any
    // moment, so it is never touched again. Its connections go silent and fail.
    fInvalid = true;
    Detach();
}

void Endpoint::AddManager(Manager* iManager)
{
    fManagers.insert(iManager);
    fLingering = false;
}

void Endpoint::RemoveManager(Manager* iManager)
{
    fManagers.erase(iManager);
    if (fManagers.empty() && !fDetached)
    {
        fLingering = true;
        fLastManager = Morvek::Platform::sClock_MonotonicMicroseconds();
    }
}

size_t Endpoint::CountManagers() const
{
    return fManagers.size();
}

size_t Endpoint::CountQueued() const
{
    return fPending.size();
}

bool Endpoint::IsDetached() const
{
    return fDetached;
}

bool Endpoint::IsInvalid() const
{
    return fInvalid;
}

void Endpoint::pClearQueue()
{
    while (!fPending.empty())
        fPending.front()->Abort();
}

} // namespace UTP
} // namespace quillane
