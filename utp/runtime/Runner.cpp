// The runner: one thread that waits on every socket in use, reads what arrived (at most
// kDatagramsPerPass datagrams per socket per pass, never blocking, so the runner cannot stall
// under the lock however many calls share a blocking socket), unmasks each datagram and hands it
// to the engine, runs the engine's timers after every pass, and a few times a second checks the
// sockets' descriptors and the queues' ages. It holds the layer's lock except while it waits.

#include "utp/runtime/Callbacks.h"
#include "utp/runtime/DatagramMask.h"
#include "utp/runtime/Endpoint.h"
#include "utp/runtime/Ubermeister.h"

#include "utp/engine/utp.h"

#include "morvek/ZLog.h"
#include "morvek/platform/Platform_Clock.h"
#include "morvek/platform/Platform_Thread.h"

namespace quillane
{
namespace UTP
{

namespace ZLog = Morvek::ZLog;
namespace Platform = Morvek::Platform;

void Ubermeister::pStartRunner()
{
    if (fRunnerStarted)
        return;
    // The thread holds a plain pointer: the object is never destroyed.
    Morvek::ZThread::sCreate(&Ubermeister::spRunner, this);
    fRunnerStarted = true;
}

void Ubermeister::spRunner(void* iUbermeister)
{
    static const char kName[] = "quillane::UTP::Ubermeister::spRunner";
    try
    {
        static_cast<Ubermeister*>(iUbermeister)->pRunner();
    }
    catch (const std::exception& ex)
    {
        if (ZLog::StrimW s{ZLog::ePriority_Err, kName})
            s << "Exception: " << ex.what();
    }
    catch (...)
    {
        if (ZLog::StrimW s{ZLog::ePriority_Err, kName})
            s << "Unknown exception";
    }
}

void Ubermeister::pRunner()
{
    Lock lock;
    for (;;)
    {
        pTakeSnapshot();
        if (fPollSockets.empty())
        {
            // Idle: no socket to read and no timer to run until a Manager is registered.
            pWaitFor(kIdleSeconds);
            continue;
        }
        int ready;
        {
            // What the last pass sent goes out, and its waiters wake, before the wait.
            Unlock unlocked(*this);
            ready = Platform::sSocket_WaitReadable(fPollSockets.data(), fPollReady.data(),
                                                   fPollSockets.size(), kPollMilliseconds);
        }
        if (ready > 0)
        {
            for (size_t x = 0; x < fPollSockets.size(); ++x)
                pReceive(x);
        }
        UTP_CheckTimeouts();
        if (Platform::sClock_MonotonicMicroseconds() >= fNextUpkeep)
        {
            pUpkeep();
            fNextUpkeep = Platform::sClock_MonotonicMicroseconds() + uint64_t(kUpkeepMilliseconds) * 1000;
        }
        // An Endpoint whose last reference this was dies here.
        fPollEndpoints.clear();
    }
}

// Every live Endpoint, with a reference that keeps it (and its duplicate) alive while the lock
// is given up.
void Ubermeister::pTakeSnapshot()
{
    fPollSockets.clear();
    fPollEndpoints.clear();
    for (Endpoint* theEndpoint : fEndpoints)
    {
        if (theEndpoint->IsInvalid())
            continue;
        fPollSockets.push_back(theEndpoint->GetDescriptor());
        fPollEndpoints.push_back(theEndpoint);
    }
    fPollReady.resize(fPollSockets.size());
}

void Ubermeister::pReceive(size_t iIndex)
{
    Endpoint* theEndpoint = fPollEndpoints[iIndex].Get();
    if (fPollReady[iIndex] == Platform::eSocket_Invalid)
        theEndpoint->Invalidate();
    if (fPollReady[iIndex] != Platform::eSocket_Readable)
        return;
    for (size_t count = 0; count < kDatagramsPerPass;)
    {
        const size_t wanted =
            kDatagramsPerPass - count < kReceiveBatch ? kDatagramsPerPass - count : kReceiveBatch;
        const size_t got = Platform::sSocket_ReceiveBatch(theEndpoint->GetDescriptor(),
                                                          fReceiveSlots.data(), wanted);
        for (size_t x = 0; x < got; ++x)
            pProcess(theEndpoint, fReceiveSlots[x]);
        count += got;
        if (got < wanted)
            break; // nothing more was waiting
    }
}

void Ubermeister::pProcess(Endpoint* iEndpoint, Platform::ReceiveSlot& ioSlot)
{
    uint8_t* const theDatagram = static_cast<uint8_t*>(ioSlot.fBuffer);
    sMaskDatagram(theDatagram, ioSlot.fLength);
    // Without the accept function the engine drops a SYN before it creates anything.
    UTP_ProcessDatagram(iEndpoint->MayQueue() ? &sGotIncomingConnection : nullptr, &sSendToProc,
                        iEndpoint, theDatagram, ioSlot.fLength,
                        reinterpret_cast<const sockaddr*>(ioSlot.fSource.fBytes),
                        ioSlot.fSource.fLength);
}

// A few times a second: an Endpoint whose application descriptor no longer names its socket is
// detached, and queued connections that nobody took in time are reset.
void Ubermeister::pUpkeep()
{
    const uint64_t now = Platform::sClock_MonotonicMicroseconds();
    for (const Morvek::ZRef<Endpoint>& theEndpoint : fPollEndpoints)
    {
        if (theEndpoint->Accepts() &&
            !Platform::sSocket_Same(theEndpoint->GetSocket(), theEndpoint->GetDescriptor()))
        {
            theEndpoint->Detach();
        }
        theEndpoint->ExpireQueue(now);
    }
}

} // namespace UTP
} // namespace quillane
