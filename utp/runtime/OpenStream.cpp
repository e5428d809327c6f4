// The stream layer's entry points (see OpenStream.h).

#include "utp/runtime/OpenStream.h"

#include "utp/runtime/Manager.h"
#include "utp/runtime/StreamerRW.h"
#include "utp/runtime/Ubermeister.h"

#include "utp/engine/utp.h"

#include "morvek/ZLog.h"
#include "morvek/ZNet_Internet.h"
#include "morvek/platform/Platform_Socket.h"

#include <cstring>
#include <stdexcept>

namespace quillane
{
namespace UTP
{

using Morvek::ZRef;

namespace
{

// The first IPv4 address the host yields, as a socket address; 0 when it yields none.
int spResolve(const std::string& iHost, uint16_t iPort, uint8_t* oAddress, int iCapacity)
{
    using namespace Morvek;
    const ZRef<ZNetName_Internet> theName = new ZNetName_Internet(iHost, iPort);
    const ZRef<ZNetNameLookup> theLookup = theName->CreateLookup(0);
    if (!theLookup)
        return 0;
    theLookup->Start();
    for (; !theLookup->Finished(); theLookup->Advance())
    {
        const ZRef<ZNetAddress> theAddress = theLookup->CurrentAddress();
        if (const ZNetAddress_IP4* ip4 = dynamic_cast<const ZNetAddress_IP4*>(theAddress.Get()))
        {
            PeerAddress peer;
            std::memset(&peer, 0, sizeof(peer));
            peer.fAddr[10] = peer.fAddr[11] = 0xFF; // IPv4-mapped
            const uint32_t addr = ip4->GetAddr();
            for (int x = 0; x < 4; ++x)
                peer.fAddr[12 + x] = uint8_t(addr >> (24 - 8 * x));
            peer.fPort = ip4->GetPort();
            return PeerAddress_ToSockAddr(peer, reinterpret_cast<sockaddr*>(oAddress), iCapacity);
        }
    }
    return 0;
}

} // namespace

ZRef<Morvek::ZStreamerRW> sOpenStream(int iSocket, const std::string& iHost, int iPort,
                                      bool iListen, Interruption* iInterruption)
{
    // Hosts resolve to IPv4 addresses only, which an IPv6 socket could never reach.
    if (Morvek::Platform::sSocket_UDPVersion(iSocket) != 4)
        throw std::runtime_error("socket is not a valid socket");
    const ZRef<Manager> theManager = Ubermeister::sGet().MakeManager(iSocket);
    if (iListen)
        return theManager->Accept(iInterruption);
    alignas(8) uint8_t address[UTP_SOCKADDR_MAX];
    const int length = spResolve(iHost, uint16_t(iPort), address, int(sizeof(address)));
    if (!length)
        return nullptr;
    return theManager->Connect(reinterpret_cast<const sockaddr*>(address), length, iInterruption);
}

void sCloseStream(const ZRef<Morvek::ZStreamerRW>& iStreamerRW)
{
    // Named as the log has always named it.
    Morvek::ZLog::ScopeTrace trace(Morvek::ZLog::ePriority_Info, "quillane::sUTP_Close");
    if (StreamerRW* theStreamerRW = dynamic_cast<StreamerRW*>(iStreamerRW.Get()))
        theStreamerRW->Close();
}

} // namespace UTP
} // namespace quillane
