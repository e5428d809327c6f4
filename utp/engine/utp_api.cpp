// The engine's public calls (utp.h): each checks what the caller may ask in the connection's
// state, wakes the connection for the next timer sweep, and hands the work to the unit that does
// it. UTP_ProcessDatagram recognises a datagram and finds its connection; the receive path does
// the rest. UTP_CheckTimeouts is the timer sweep over the schedule's active connections.
//
// Threads: one at a time (the caller serialises every engine call).

#include "utp/engine/utp.h"
#include "utp/engine/utp_clock.h"
#include "utp/engine/utp_congestion.h"
#include "utp/engine/utp_connection_index.h"
#include "utp/engine/utp_connection_list.h"
#include "utp/engine/utp_receive.h"
#include "utp/engine/utp_reset_table.h"
#include "utp/engine/utp_schedule.h"
#include "utp/engine/utp_send.h"
#include "utp/engine/utp_socket.h"

using namespace quillane::UTP::Engine;

namespace
{

// A connection-id seed that no other live connection to the same peer uses, so that datagrams
// (matched by address and id) cannot reach the wrong connection. Gives up after a bounded number
// of draws (only when thousands of connections go to one peer).
uint32_t spDrawSeed(const UTPSocket* iSocket)
{
    uint32_t seed = 0;
    for (int attempt = 0; attempt < 64; ++attempt)
    {
        seed = UTP_Random15();
        if (iSocket->fPeer.fVersion == 1)
            seed &= 0xFFFF;
        if (!sIdInUse(iSocket->fPeer.fAddr, seed, iSocket) &&
            !sIdInUse(iSocket->fPeer.fAddr, seed + 1, iSocket))
            break;
    }
    return seed;
}

// A datagram that is not a SYN, for a connection it names; false when there is none.
bool spToConnection(void* iSendUserData, const PeerAddress& iAddr, const PacketId& iId,
                    const uint8_t* iBytes, size_t iLength)
{
    UTPSocket* s = sFindForPacket(iAddr, iId.fConnId, iSendUserData);
    if (!s)
        return false;
    const size_t payload = sProcessPacket(s, iBytes, iLength, false);
    if (s->fUser.fUserData)
        sReportOverhead(s, false, iLength - payload + s->fPeer.fIPOverhead, BW_HEADER);
    return true;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Operations

UTPSocket* UTP_Create(SendToProc iSendTo, void* iSendUserData, const sockaddr* iSockAddr,
                      int iSockAddrLen)
{
    return sNewSocket(iSendTo, iSendUserData, iSockAddr, iSockAddrLen);
}

void UTP_SetCallbacks(UTPSocket* iSocket, const UTPCallbacks* iCallbacks, void* iUserData)
{
    sTouch(iSocket);
    sSetCallbacks(iSocket, iCallbacks, iUserData);
}

void UTP_Connect(UTPSocket* iSocket)
{
    if (iSocket->fState != CS_IDLE)
        return;
    iSocket->fState = CS_SYN_SENT;
    const uint32_t now = sRefreshNow();
    sTouch(iSocket);
    iSocket->fTimers.fLastReceived =
        now; // the idle limit counts from the start of the conversation
    const uint32_t seed = spDrawSeed(iSocket);
    sSetIds(iSocket, seed, seed + 1);
    iSocket->fTimers.fBackoffTimeout = kInitialRto;
    iSocket->fTimers.fTimeoutAt = now + kInitialRto;
    iSocket->fRecv.fRcvWin = sFreeReceiveBuffer(iSocket);
    iSocket->fSend.fSeqNr = uint16_t(UTP_Random15());
    iSocket->fSend.fFlushFrom = iSocket->fSend.fSeqNr;
    sSendSyn(iSocket);
}

bool UTP_ProcessDatagram(UTPGotIncomingConnection iGotIncoming, SendToProc iSendTo,
                         void* iSendUserData, const uint8_t* iBytes, size_t iLength,
                         const sockaddr* iSockAddr, int iSockAddrLen)
{
    PeerAddress addr;
    PeerAddress_FromSockAddr(addr, iSockAddr, iSockAddrLen);
    PacketId id;
    if (!sRecognize(iBytes, iLength, id))
        return false;
    if (id.fType == ST_RESET)
    {
        if (UTPSocket* s = sFindForReset(addr, id.fConnId, iSendUserData))
            sResetConnection(s, iLength);
        return true;
    }
    if (id.fType != ST_SYN && spToConnection(iSendUserData, addr, id, iBytes, iLength))
        return true;
    const uint16_t seqNr = sReadSeqNr(iBytes, id.fVersion);
    if (id.fType != ST_SYN)
        sAnswerStray(iSendTo, iSendUserData, id, seqNr, addr);
    else if (!sAnswerRepeatedSyn(addr, id, seqNr, iSendUserData) && iGotIncoming)
        sAcceptSyn(iGotIncoming, iSendTo, iSendUserData, iBytes, iLength, iSockAddr, iSockAddrLen,
                   id, seqNr);
    return true;
}

bool UTP_Write(UTPSocket* iSocket, size_t iCount)
{
    if (iSocket->fState != CS_CONNECTED)
        return false;
    sRefreshNow();
    sTouch(iSocket);
    sUpdateQuota(iSocket);
    size_t remaining = iCount;
    while (sWritable(iSocket, iSocket->fPeer.fPacketSize))
    {
        if (remaining == 0)
            return true;
        const size_t n =
            remaining < iSocket->fPeer.fPacketSize ? remaining : iSocket->fPeer.fPacketSize;
        sQueue(iSocket, n, ST_DATA);
        remaining -= n;
    }
    iSocket->fState = CS_CONNECTED_FULL;
    return false;
}

void UTP_ReadBufferDrained(UTPSocket* iSocket)
{
    if (iSocket->fState == CS_IDLE)
        return;
    sTouch(iSocket);
    const uint32_t free = sFreeReceiveBuffer(iSocket);
    if (free <= iSocket->fRecv.fRcvWin)
        return;
    if (iSocket->fRecv.fRcvWin == 0)
        sSendAck(iSocket);
    else
        sScheduleAck(iSocket, 100);
}

void UTP_CheckTimeouts()
{
    const uint32_t now = sRefreshNow();
    sResetTableExpire(now);
    // Only connections with something to do are stepped; a quiet one sleeps until its next
    // deadline or until an operation touches it. Removing the connection at i moves the last
    // active one (not yet stepped) into its place.
    sScheduleWakeDue(now);
    for (uint32_t i = 0; i < sActiveCount();)
    {
        UTPSocket* s = sActiveAt(i);
        sTimerStep(s);
        uint32_t wake;
        if (s->fState == CS_DESTROY)
            sDestroySocket(s);
        else if (sQuietUntil(s, wake))
            sScheduleSleep(s, wake);
        else
            ++i;
    }
}

void UTP_Close(UTPSocket* iSocket)
{
    sTouch(iSocket);
    switch (iSocket->fState)
    {
    case CS_SYN_SENT:
    {
        const uint32_t wait = 2 * iSocket->fCong.fRto < 60 ? 2 * iSocket->fCong.fRto : 60;
        iSocket->fTimers.fTimeoutAt = uint32_t(UTP_GetMilliseconds()) + wait;
        iSocket->fState = CS_DESTROY_DELAY;
        break;
    }
    case CS_CONNECTED:
    case CS_CONNECTED_FULL:
        iSocket->fState = CS_FIN_SENT;
        sQueue(iSocket, 0, ST_FIN);
        break;
    case CS_GOT_FIN:
        sSendFinOnce(iSocket); // a peer may wait for it before it lets go
        iSocket->fState = CS_DESTROY_DELAY;
        break;
    default:
        iSocket->fState = CS_DESTROY;
        break;
    }
}

void UTP_Reset(UTPSocket* iSocket)
{
    sTouch(iSocket);
    if (iSocket->fState == CS_DESTROY)
        return;
    // From CS_IDLE the peer has no connection to reset; from CS_RESET it has given ours up.
    if (iSocket->fState != CS_IDLE && iSocket->fState != CS_RESET)
        sSendReset(iSocket);
    iSocket->fState = CS_DESTROY;
}

bool UTP_SetOption(UTPSocket* iSocket, int iOption, int iValue)
{
    sTouch(iSocket);
    switch (iOption)
    {
    case UTP_OPTION_VERSION:
        if (iSocket->fState != CS_IDLE || (iValue != 0 && iValue != 1))
            return false;
        sApplyVersion(iSocket, iValue);
        return true;
    case UTP_OPTION_SNDBUF:
        if (iValue < 0)
            return false;
        iSocket->fSend.fSndBuf = uint32_t(iValue);
        return true;
    case UTP_OPTION_RCVBUF:
        if (iValue < 0)
            return false;
        iSocket->fRecv.fRcvBuf = uint32_t(iValue);
        return true;
    default:
        return false;
    }
}

int UTP_GetOption(const UTPSocket* iSocket, int iOption)
{
    switch (iOption)
    {
    case UTP_OPTION_VERSION:
        return iSocket->fPeer.fVersion;
    case UTP_OPTION_SNDBUF:
        return int(iSocket->fSend.fSndBuf);
    case UTP_OPTION_RCVBUF:
        return int(iSocket->fRecv.fRcvBuf);
    default:
        return -1;
    }
}

// ---------------------------------------------------------------------------------------------
// Introspection

int UTP_GetState(const UTPSocket* iSocket)
{
    return iSocket->fState;
}

const char* UTP_StateName(int iState)
{
    static const char* const kNames[] = {"IDLE",           "SYN_SENT", "CONNECTED",
                                         "CONNECTED_FULL", "GOT_FIN",  "DESTROY_DELAY",
                                         "FIN_SENT",       "RESET",    "DESTROY"};
    return iState >= 0 && iState <= CS_DESTROY ? kNames[iState] : "?";
}

size_t UTP_GetConnectionCount()
{
    return sConnectionListCount();
}

size_t UTP_GetResetCount()
{
    return sResetTableCount();
}

void UTP_FreeAll()
{
    while (uint32_t count = sConnectionListCount())
    {
        UTPSocket* s = sConnectionListAt(count - 1);
        sConnectionListRemove(s);
        sFreeSocket(s);
    }
    sConnectionListFree();
    sIndexFree();
    sScheduleFree();
    sFreePacketCache();
    sResetTableFree();
}
