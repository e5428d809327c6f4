// The connection record as a whole: the values it starts from, filing it in the connection list,
// the index and the schedule, the header version, reports to the user and destruction. See
// utp_socket.h.
//
// Threads: one at a time (the caller serialises every engine call).

#include "utp/engine/utp_socket.h"
#include "utp/engine/utp_clock.h"
#include "utp/engine/utp_connection_list.h"
#include "utp/engine/utp_memory.h"
#include "utp/engine/utp_schedule.h"

#include <cstdlib>
#include <cstring>

namespace quillane
{
namespace UTP
{
namespace Engine
{

namespace
{

// The callbacks of a record whose user gave none, or that is being destroyed: do nothing.
void spNoRead(void*, const uint8_t*, size_t) {}
void spNoWrite(void*, uint8_t* oDest, size_t iCount)
{
    std::memset(oDest, 0, iCount);
}
size_t spNoReadBufferSize(void*)
{
    return 0;
}
void spNoStateChange(void*, int) {}
void spNoError(void*, int) {}
void spNoOverhead(void*, bool, size_t, int) {}

const UTPCallbacks kDefaultCallbacks = {spNoRead,        spNoWrite, spNoReadBufferSize,
                                        spNoStateChange, spNoError, spNoOverhead};

void spInitPeer(UTPSocket* s, SendToProc iSendTo, void* iSendUserData, const sockaddr* iSockAddr,
                int iSockAddrLen)
{
    PeerAddress_FromSockAddr(s->fPeer.fAddr, iSockAddr, iSockAddrLen);
    s->fPeer.fSockAddrLen =
        PeerAddress_ToSockAddr(s->fPeer.fAddr, reinterpret_cast<sockaddr*>(s->fPeer.fSockAddr),
                               int(sizeof(s->fPeer.fSockAddr)));
    s->fPeer.fSendTo = iSendTo;
    s->fPeer.fSendUserData = iSendUserData;
    sApplyVersion(s, 1);
}

void spInitClocks(UTPSocket* s, uint32_t iNow)
{
    s->fCong.fOurHistory.Clear(iNow);
    s->fCong.fTheirHistory.Clear(iNow);
    s->fCong.fRttHistory.Clear(0);
    s->fCong.fRto = kInitialRto;
    s->fCong.fRttVar = kInitialRttVar;
    s->fCong.fRtt = 0;
    s->fCong.fLastQuotaUpdate = iNow;
    s->fCong.fLastDecay = iNow - 100;
    s->fTimers.fLastSent = iNow;
    s->fTimers.fLastReceived = iNow;
    s->fTimers.fAckTime = iNow + kNoAckPending;
}

} // namespace

UTPSocket* sNewSocket(SendToProc iSendTo, void* iSendUserData, const sockaddr* iSockAddr,
                      int iSockAddrLen)
{
    UTPSocket* s = static_cast<UTPSocket*>(sAllocateZeroed(1, sizeof(UTPSocket)));
    const uint32_t now = sRefreshNow();
    s->fUser.fCallbacks = kDefaultCallbacks;
    s->fUser.fUserData = nullptr;
    spInitClocks(s, now);
    s->fSend.fSeqNr = 1;
    s->fRecv.fAckNr = 0;
    s->fSend.fFastResendSeqNr = s->fSend.fSeqNr;
    s->fSend.fPeerWindow = kInitialPeerWindow;
    s->fCong.fQuota = kInitialQuota;
    spInitPeer(s, iSendTo, iSendUserData, iSockAddr, iSockAddrLen);
    s->fCong.fMaxWindow = s->fPeer.fPacketSize;
    s->fState = CS_IDLE;
    s->fRecv.fInBuf.Init();
    s->fSend.fOutBuf.Init();
    s->fSend.fFlushFrom = s->fSend.fSeqNr;
    s->fBook.fRecvNode.fSocket = s->fBook.fSendNode.fSocket = s;
    sConnectionListAdd(s);
    sScheduleAdd(s);
    sIndexInsert(&s->fBook.fRecvNode);
    sIndexInsert(&s->fBook.fSendNode);
    return s;
}

void sFreeSocket(UTPSocket* s)
{
    for (uint32_t i = 0; i < s->fSend.fOutBuf.Capacity(); ++i)
        sFreeOutPacket(s->fSend.fOutBuf.Slot(i));
    for (uint32_t i = 0; i < s->fRecv.fInBuf.Capacity(); ++i)
        sFreeInBlock(s->fRecv.fInBuf.Slot(i));
    s->fSend.fOutBuf.Free();
    s->fRecv.fInBuf.Free();
    std::free(s);
}

void sDestroySocket(UTPSocket* s)
{
    s->fUser.fCallbacks.fOnStateChange(s->fUser.fUserData, STATE_CHANGE_DESTROYING);
    s->fUser.fCallbacks = kDefaultCallbacks;
    s->fUser.fUserData = nullptr;
    sConnectionListRemove(s);
    sScheduleRemove(s);
    sIndexRemove(&s->fBook.fRecvNode);
    sIndexRemove(&s->fBook.fSendNode);
    sFreeSocket(s);
}

void sSetCallbacks(UTPSocket* s, const UTPCallbacks* iCallbacks, void* iUserData)
{
    s->fUser.fCallbacks = iCallbacks ? *iCallbacks : kDefaultCallbacks;
    s->fUser.fUserData = iUserData;
}

void sApplyVersion(UTPSocket* s, int iVersion)
{
    if (iVersion == 0)
    {
        s->fCong.fReplyDelay = kNoDelay;
        s->fRecv.fRcvBuf = kRcvBufV0;
        s->fSend.fSndBuf = kSndBufV0;
    }
    else
    {
        s->fCong.fReplyDelay = 0;
        s->fRecv.fRcvBuf = s->fSend.fSndBuf = kDefaultBufferV1;
    }
    s->fPeer.fVersion = uint8_t(iVersion);
    const bool v4 = PeerAddress_IsIPv4(s->fPeer.fAddr);
    s->fPeer.fHeaderSize = uint32_t(sHeaderSize(iVersion));
    s->fPeer.fPacketSize =
        uint32_t(v4 ? kMaxDatagramIPv4 : kMaxDatagramIPv6) - s->fPeer.fHeaderSize;
    s->fPeer.fIPOverhead = uint32_t(v4 ? kIPOverheadIPv4 : kIPOverheadIPv6);
}

void sSetState(UTPSocket* s, int iState)
{
    s->fState = iState;
}

void sReportState(UTPSocket* s, int iStateChange)
{
    s->fUser.fCallbacks.fOnStateChange(s->fUser.fUserData, iStateChange);
}

void sReportError(UTPSocket* s, int iError)
{
    s->fUser.fCallbacks.fOnError(s->fUser.fUserData, iError);
}

void sReportOverhead(UTPSocket* s, bool iSend, size_t iCount, int iCategory)
{
    s->fUser.fCallbacks.fOnOverhead(s->fUser.fUserData, iSend, iCount, iCategory);
}

} // namespace Engine
} // namespace UTP
} // namespace quillane
