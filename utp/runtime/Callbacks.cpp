// The engine's callbacks: one step from the engine's plain pointer to the object's member, each
// under a scope trace named as the layer has always named it (priority 7 and 8, below the
// module's threshold). See Callbacks.h.

#include "utp/runtime/Callbacks.h"

#include "utp/runtime/DatagramMask.h"
#include "utp/runtime/Endpoint.h"
#include "utp/runtime/StreamerRW.h"
#include "utp/runtime/Ubermeister.h"

#include "morvek/ZLog.h"
#include "morvek/platform/Platform_Socket.h"

#include <memory>
#include <new>

namespace quillane
{
namespace UTP
{

namespace ZLog = Morvek::ZLog;

namespace
{

StreamerRW* spStream(void* iStreamerRW)
{
    return static_cast<StreamerRW*>(iStreamerRW);
}

void spOnRead(void* iStreamerRW, const uint8_t* iBytes, size_t iCount)
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug, "quillane::UTP::Ubermeister::spUTPOnReadProc");
    spStream(iStreamerRW)->OnRead(iBytes, iCount);
}

void spOnWrite(void* iStreamerRW, uint8_t* oDest, size_t iCount)
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug, "quillane::UTP::Ubermeister::spUTPOnWriteProc");
    spStream(iStreamerRW)->OnWrite(oDest, iCount);
}

size_t spGetReadBufferSize(void* iStreamerRW)
{
    return spStream(iStreamerRW)->OnGetReadBufferSize();
}

void spOnStateChange(void* iStreamerRW, int iState)
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug,
                           "quillane::UTP::Ubermeister::spUTPOnStateChangeProc");
    spStream(iStreamerRW)->OnStateChange(iState);
}

void spOnError(void* iStreamerRW, int)
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug, "quillane::UTP::Ubermeister::spUTPOnErrorProc");
    spStream(iStreamerRW)->OnError();
}

void spOnOverhead(void*, bool, size_t, int)
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug + 1,
                           "quillane::UTP::Ubermeister::spUTPOnOverheadProc");
}

} // namespace

const UTPCallbacks kStreamCallbacks = {&spOnRead,        &spOnWrite, &spGetReadBufferSize,
                                       &spOnStateChange, &spOnError, &spOnOverhead};

void sSendToProc(void* iEndpoint, const uint8_t* iBytes, size_t iLength,
                 const sockaddr* iAddress, int iAddressLength)
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug, "quillane::UTP::Ubermeister::spSendToProc");
    Ubermeister::Lock lock;
    const Endpoint* theEndpoint = static_cast<const Endpoint*>(iEndpoint);
    if (theEndpoint->IsInvalid())
        return; // its descriptor number may name something else by now
    Ubermeister& theUbermeister = Ubermeister::sGet();
    Outbox& theOutbox = theUbermeister.GetOutbox();
    if (theOutbox.Full())
        theUbermeister.SendOutbox();
    const int theSocket = theEndpoint->GetDescriptor();
    if (uint8_t* slot = theOutbox.Add(theSocket, iLength, iAddress, iAddressLength))
    {
        sMaskDatagramCopy(iBytes, slot, iLength);
        return;
    }
    // Larger than any datagram the engine builds: sent at once, after those already batched.
    theUbermeister.SendOutbox();
    std::unique_ptr<uint8_t[]> masked(new (std::nothrow) uint8_t[iLength]);
    if (!masked)
        return; // lost, like a datagram the system refused
    sMaskDatagramCopy(iBytes, masked.get(), iLength);
    if (!Morvek::Platform::sSocket_SendTo(theSocket, masked.get(), iLength, iAddress,
                                          iAddressLength))
    {
        Ubermeister::sTraceRefused();
    }
}

void sGotIncomingConnection(void* iEndpoint, UTPSocket* iUTPSocket)
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug,
                           "quillane::UTP::Ubermeister::spUTPGotIncomingConnection");
    Ubermeister::Lock lock;
    Endpoint* const theEndpoint = static_cast<Endpoint*>(iEndpoint);
    Morvek::ZRef<StreamerRW> theStreamerRW;
    try
    {
        theStreamerRW = new StreamerRW(theEndpoint, iUTPSocket);
    }
    catch (...)
    {
        // Destroyed at the sweep that ends this pass, while the runner still holds the Endpoint
        // the connection sends through.
        UTP_Reset(iUTPSocket);
        return;
    }
    theStreamerRW->Adopt();
    if (!theEndpoint->Queue(theStreamerRW.Get()))
        theStreamerRW->Abort();
}

} // namespace UTP
} // namespace quillane
