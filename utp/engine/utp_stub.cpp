// Temporary: links the public boundary while the engine is being written.
#include "engine/utp.h"
#include <cstring>
bool PeerAddress_IsIPv4(const PeerAddress& a)
{
    static const uint8_t k[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::memcmp(a.fAddr, k, 12) == 0;
}
bool operator==(const PeerAddress& l, const PeerAddress& r)
{
    return l.fPort == r.fPort && std::memcmp(l.fAddr, r.fAddr, 16) == 0;
}
UTPSocket* UTP_Create(SendToProc, void*, const sockaddr*, int)
{
    return nullptr;
}
void UTP_SetCallbacks(UTPSocket*, const UTPCallbacks*, void*) {}
void UTP_Connect(UTPSocket*) {}
bool UTP_ProcessDatagram(UTPGotIncomingConnection, SendToProc, void*, const uint8_t*, size_t,
                         const sockaddr*, int)
{
    return false;
}
bool UTP_Write(UTPSocket*, size_t)
{
    return false;
}
void UTP_ReadBufferDrained(UTPSocket*) {}
void UTP_CheckTimeouts() {}
void UTP_Close(UTPSocket*) {}
bool UTP_SetOption(UTPSocket*, int, int)
{
    return false;
}
int UTP_GetState(const UTPSocket*)
{
    return 0;
}
const char* UTP_StateName(int)
{
    return "?";
}
size_t UTP_GetConnectionCount()
{
    return 0;
}
size_t UTP_GetResetCount()
{
    return 0;
}
void UTP_FreeAll() {}
