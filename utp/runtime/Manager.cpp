// Manager: accepting and connecting through one socket (see Manager.h).

#include "utp/runtime/Manager.h"

#include "utp/runtime/Callbacks.h"
#include "utp/runtime/Endpoint.h"
#include "utp/runtime/StreamerRW.h"
#include "utp/runtime/Ubermeister.h"

#include "morvek/ZLog.h"

namespace quillane
{
namespace UTP
{

using Morvek::ZRef;
namespace ZLog = Morvek::ZLog;

Manager::Manager(const ZRef<Endpoint>& iEndpoint) : fEndpoint(iEndpoint) {}

Manager::~Manager() {}

int Manager::GetSocket() const
{
    return fEndpoint->GetSocket();
}

const ZRef<Endpoint>& Manager::GetEndpoint() const
{
    return fEndpoint;
}

ZRef<Morvek::ZStreamerRW> Manager::MakeStreamerRW()
{
    return Accept(nullptr);
}

ZRef<StreamerRW> Manager::Accept(Interruption* iInterruption)
{
    Ubermeister::Lock lock;
    Ubermeister::Waiting waiting(iInterruption);
    for (;;)
    {
        if (ZRef<StreamerRW> theStreamerRW = fEndpoint->TakeOldest())
        {
            theStreamerRW->Take(this);
            return theStreamerRW;
        }
        if (fEndpoint->IsDetached())
            return nullptr;
        waiting.Wait();
    }
}

ZRef<StreamerRW> Manager::Connect(const sockaddr* iAddress, int iAddressLength,
                                  Interruption* iInterruption)
{
    Ubermeister::Lock lock;
    UTPSocket* theUTPSocket = UTP_Create(&sSendToProc, fEndpoint.Get(), iAddress, iAddressLength);
    ZRef<StreamerRW> theStreamerRW;
    try
    {
        theStreamerRW = new StreamerRW(fEndpoint, theUTPSocket);
    }
    catch (...)
    {
        UTP_Close(theUTPSocket); // never connected: destroyed at the next sweep, nothing sent
        throw;
    }
    theStreamerRW->StartConnecting(this);
    Ubermeister::Waiting waiting(iInterruption);
    try
    {
        while (theStreamerRW->IsOpening())
            waiting.Wait();
    }
    catch (...)
    {
        theStreamerRW->CloseConnection();
        throw;
    }
    return theStreamerRW;
}

void Manager::Finalize()
{
    ZLog::ScopeTrace trace(ZLog::ePriority_Debug, "quillane::UTP::Manager::Finalize");
    ZLog::ScopeTrace ending(ZLog::ePriority_Info, "quillane::UTP::Ubermeister::pFinalize");
    Ubermeister::Lock lock;
    if (!FinalizationComplete())
        return;
    fEndpoint->RemoveManager(this);
    // Releases the Endpoint, which goes once its last stream is gone too.
    delete this;
}

} // namespace UTP
} // namespace quillane
