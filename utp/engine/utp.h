// The uTP engine's public boundary.
//
// The engine turns UDP datagrams into reliable, ordered, congestion-controlled byte streams and
// back. It is sans-I/O: it owns no socket and no thread. The caller hands it every received
// datagram (UTP_ProcessDatagram), drives its timers (UTP_CheckTimeouts, at least every 50 ms while
// connections exist) and lends it a send function; the engine calls back to send datagrams, to
// deliver received bytes, to pull bytes to send, and to report state changes, errors and byte
// counts.
//
// Threads: the engine keeps process-wide state (the connection list, the table of resets already
// sent, the current time, the clocks) and has no lock of its own. Every call must be serialised by
// the caller; every callback runs on the calling thread, from inside the engine call. From inside
// a callback the user may call UTP_SetCallbacks, UTP_Write, UTP_ReadBufferDrained and UTP_Close,
// but not UTP_ProcessDatagram, UTP_CheckTimeouts or UTP_FreeAll, which may free the record that
// the engine is working on. Records are freed only by UTP_CheckTimeouts (and UTP_FreeAll).
//
// Nothing here throws and nothing returns an error code: failures reach the user through the
// error callback (UTPOnErrorProc) only.

#ifndef QUILLANE_UTP_ENGINE_UTP_H
#define QUILLANE_UTP_ENGINE_UTP_H

#include <cstddef>
#include <cstdint>

struct sockaddr;

// One connection record, created by the engine and addressed by pointer. It stays valid until the
// engine reports STATE_CHANGE_DESTROYING for it; the user must not touch it afterwards.
struct UTPSocket;

// ---------------------------------------------------------------------------------------------
// Peer addresses

// A 16-byte IPv6 address and a port in host order. IPv4 addresses are stored IPv4-mapped
// (::ffff:a.b.c.d). Two addresses are equal when ports and all 16 bytes are equal.
struct PeerAddress
{
    uint8_t fAddr[16];
    uint16_t fPort;
};

// IPv4 exactly when the first ten bytes are zero and bytes 10 and 11 are 0xFF.
bool PeerAddress_IsIPv4(const PeerAddress& iAddr);
bool operator==(const PeerAddress& iL, const PeerAddress& iR);
inline bool operator!=(const PeerAddress& iL, const PeerAddress& iR)
{
    return !(iL == iR);
}

// Builds from a sockaddr_in or sockaddr_in6 (the platform's own AF_INET / AF_INET6 values).
// Returns false, leaving an all-zero address, for another family or a length too short for it.
bool PeerAddress_FromSockAddr(PeerAddress& oAddr, const sockaddr* iSockAddr, int iSockAddrLen);

// Writes a sockaddr_in (IPv4-mapped addresses) or a sockaddr_in6 (flow information and scope zero)
// into oSockAddr, which has room for iCapacity bytes. Returns the length written, or 0 when
// iCapacity is too small. UTP_SOCKADDR_MAX bytes always suffice.
int PeerAddress_ToSockAddr(const PeerAddress& iAddr, sockaddr* oSockAddr, int iCapacity);

enum
{
    UTP_SOCKADDR_MAX = 28
};

// ---------------------------------------------------------------------------------------------
// Values reported through the callbacks

enum
{
    STATE_CHANGE_CONNECTED = 1,
    STATE_CHANGE_WRITABLE = 2,
    STATE_CHANGE_EOF = 3,
    STATE_CHANGE_DESTROYING = 4
};

// Error codes passed to UTPOnErrorProc (the Windows Sockets numbers).
enum
{
    UTP_ECONNRESET = 10054,
    UTP_ETIMEDOUT = 10060,
    UTP_ECONNREFUSED = 10061
};

// Overhead categories passed to UTPOnOverheadProc. Byte counts include 28 bytes of UDP/IPv4 or 76
// bytes of UDP/IPv6 headers.
enum
{
    BW_PAYLOAD = 0,
    BW_CONNECT = 1,
    BW_CLOSE = 2,
    BW_ACK = 3,
    BW_HEADER = 4,
    BW_RETRANSMIT = 5
};

// Options of UTP_SetOption.
enum
{
    UTP_OPTION_VERSION = 99,  // header version 0 or 1; only before UTP_Connect
    UTP_OPTION_SNDBUF = 4097, // send buffer limit in bytes
    UTP_OPTION_RCVBUF = 4098  // receive buffer size in bytes
};

// Connection states, as UTP_GetState reports them.
enum
{
    CS_IDLE = 0,
    CS_SYN_SENT = 1,
    CS_CONNECTED = 2,
    CS_CONNECTED_FULL = 3,
    CS_GOT_FIN = 4,
    CS_DESTROY_DELAY = 5,
    CS_FIN_SENT = 6,
    CS_RESET = 7,
    CS_DESTROY = 8
};

// ---------------------------------------------------------------------------------------------
// Callbacks. Every one takes the user data given with it first.

// Sends one datagram to the given socket address. The bytes are only valid during the call.
typedef void (*SendToProc)(void* iUserData, const uint8_t* iBytes, size_t iLength,
                           const sockaddr* iSockAddr, int iSockAddrLen);

// An ST_SYN was accepted: iSocket is the new connection, already answered. iUserData is the send
// user data given to UTP_ProcessDatagram. The callee normally calls UTP_SetCallbacks on it.
typedef void (*UTPGotIncomingConnection)(void* iUserData, UTPSocket* iSocket);

// Payload delivered in order.
typedef void (*UTPOnReadProc)(void* iUserData, const uint8_t* iBytes, size_t iCount);
// Copy exactly iCount bytes of the user's outgoing stream to oDest.
typedef void (*UTPOnWriteProc)(void* iUserData, uint8_t* oDest, size_t iCount);
// Bytes received but not yet consumed by the user.
typedef size_t (*UTPGetReadBufferSize)(void* iUserData);
// One of the STATE_CHANGE_ values.
typedef void (*UTPOnStateChangeProc)(void* iUserData, int iState);
// One of the UTP_E error codes.
typedef void (*UTPOnErrorProc)(void* iUserData, int iErrorCode);
// Byte accounting: sent (true) or received (false), count, one of the BW_ categories.
typedef void (*UTPOnOverheadProc)(void* iUserData, bool iSend, size_t iCount, int iCategory);

struct UTPCallbacks
{
    UTPOnReadProc fOnRead;
    UTPOnWriteProc fOnWrite;
    UTPGetReadBufferSize fGetReadBufferSize;
    UTPOnStateChangeProc fOnStateChange;
    UTPOnErrorProc fOnError;
    UTPOnOverheadProc fOnOverhead;
};

// ---------------------------------------------------------------------------------------------
// Operations, in the order of a connection's life

// Creates a connection record in CS_IDLE for the peer and adds it to the connection list.
UTPSocket* UTP_Create(SendToProc iSendTo, void* iSendUserData, const sockaddr* iSockAddr,
                      int iSockAddrLen);

// Installs the callbacks (the do-nothing table when iCallbacks is null) and their user data.
void UTP_SetCallbacks(UTPSocket* iSocket, const UTPCallbacks* iCallbacks, void* iUserData);

// Sends the SYN; state CS_SYN_SENT. Only from CS_IDLE; in any other state nothing happens.
void UTP_Connect(UTPSocket* iSocket);

// Hands one received datagram to the engine. Returns true when it was handled as uTP (also when
// it was then dropped), false when it is not uTP and nothing was changed. iGotIncoming may be
// null (incoming SYNs are then dropped). iSendTo/iSendUserData are kept by a connection created
// for an accepted SYN and used for any reset sent in answer.
//
// iSendUserData also names the local endpoint (socket) the datagram arrived on: it reaches only
// connections made with the same send user data (by UTP_Create or an accepted SYN). One engine
// can so serve several sockets, and two peers' connections that share an address and ids but
// reach different local sockets stay apart. Give every datagram of one socket the same value.
bool UTP_ProcessDatagram(UTPGotIncomingConnection iGotIncoming, SendToProc iSendTo,
                         void* iSendUserData, const uint8_t* iBytes, size_t iLength,
                         const sockaddr* iSockAddr, int iSockAddrLen);

// Queues up to iCount bytes, pulled through UTPOnWriteProc. True when all of them were queued and
// the connection is still writable; false otherwise (STATE_CHANGE_WRITABLE later says: call
// again with what is left).
bool UTP_Write(UTPSocket* iSocket, size_t iCount);

// The user consumed received bytes; may send a window update. Nothing happens in CS_IDLE.
void UTP_ReadBufferDrained(UTPSocket* iSocket);

// Drives every connection's timers and destroys connections in CS_DESTROY. A connection fails
// with UTP_ETIMEDOUT when its packets go unacknowledged through the back-off, or when nothing at
// all arrived from its peer for 87 s (a live peer sends at least every 29 s).
void UTP_CheckTimeouts();

// Starts closing: sends our FIN, or, when the peer's FIN came first, answers it with ours (once,
// never retransmitted). The record stays until the engine reports STATE_CHANGE_DESTROYING.
void UTP_Close(UTPSocket* iSocket);

// Ends the connection at once: sends one ST_RESET to the peer (not from CS_IDLE, CS_RESET or
// CS_DESTROY) and marks it for destruction; the next UTP_CheckTimeouts reports
// STATE_CHANGE_DESTROYING and frees it. No error is reported for it. Like UTP_Close, it may be
// called from inside a callback.
void UTP_Reset(UTPSocket* iSocket);

// True when accepted; see the UTP_OPTION_ values. Any other option is refused.
bool UTP_SetOption(UTPSocket* iSocket, int iOption, int iValue);
// The current value of a UTP_OPTION_; -1 for any other option.
int UTP_GetOption(const UTPSocket* iSocket, int iOption);

// ---------------------------------------------------------------------------------------------
// Introspection, for tests and diagnostics

// One of the CS_ values.
int UTP_GetState(const UTPSocket* iSocket);
// "IDLE", "SYN_SENT", ... "DESTROY"; "?" for an unknown value.
const char* UTP_StateName(int iState);
// Number of live connection records.
size_t UTP_GetConnectionCount();
// Number of remembered resets.
size_t UTP_GetResetCount();
// Frees every connection record and the reset table without any callback. For test isolation and
// orderly shutdown only: every UTPSocket pointer becomes invalid.
void UTP_FreeAll();

#endif // QUILLANE_UTP_ENGINE_UTP_H
