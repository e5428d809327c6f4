// Shared helpers of the engine's unit tests: a fixture that runs the engine on a virtual clock
// with a seeded random source, captures every datagram the engine sends and every callback it
// makes, and builds peer datagrams in either header version.
//
// Invariants: the engine's state is process-wide, so each test starts and ends with UTP_FreeAll;
// only one fixture is active at a time (sActive). Threads: the test thread only.

#ifndef QUILLANE_TESTS_UTP_UTP_TEST_SUPPORT_H
#define QUILLANE_TESTS_UTP_UTP_TEST_SUPPORT_H

#include "engine/utp.h"
#include "engine/utp_clock.h"
#include "engine/utp_packet.h"
#include "engine/utp_socket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace utptest
{

// Virtual start of every test, recognisable in timestamps (0x01020304 us).
const uint64_t kStartUs = 0x01020304;

inline sockaddr_in sAddr4(const char* iIp, uint16_t iPort)
{
    sockaddr_in sin;
    std::memset(&sin, 0, sizeof(sin));
    sin.sin_family = AF_INET;
    sin.sin_port = htons(iPort);
    inet_pton(AF_INET, iIp, &sin.sin_addr);
    return sin;
}

inline const sockaddr* sSA(const sockaddr_in& iSin)
{
    return reinterpret_cast<const sockaddr*>(&iSin);
}

struct Sent
{
    std::vector<uint8_t> fBytes;
    PeerAddress fTo;
};

// What the callbacks of one connection reported, and the bytes it offers for writing.
struct Recorder
{
    std::string fRead;
    std::vector<int> fStates;
    std::vector<int> fErrors;
    std::string fOutgoing; // UTPOnWriteProc takes from here
    size_t fWritten = 0;
    size_t fReadBufferSize = 0;
    std::vector<int> fOverheadCategories;

    int Count(int iState) const { return int(std::count(fStates.begin(), fStates.end(), iState)); }
};

// A datagram as a peer would build it, in either header version.
struct PacketDraft
{
    int fVersion = 1;
    int fType = quillane::UTP::Engine::ST_DATA;
    uint32_t fConnId = 0;
    uint32_t fTimestamp = 0;
    uint32_t fReplyDelay = 0;
    uint32_t fWindow = 1000000;
    uint16_t fSeqNr = 0;
    uint16_t fAckNr = 0;
    std::vector<uint8_t> fExtensions; // raw chain after the header; first type in fFirstExt
    int fFirstExt = 0;
    std::string fPayload;
};

inline std::vector<uint8_t> sBuild(const PacketDraft& p)
{
    using namespace quillane::UTP::Engine;
    std::vector<uint8_t> b(sHeaderSize(p.fVersion));
    sWriteHeader(b.data(), p.fVersion, p.fType, p.fFirstExt, p.fConnId, p.fWindow, p.fSeqNr,
                 p.fAckNr);
    const bool v0 = p.fVersion == 0;
    sStore32(&b[4], v0 ? p.fTimestamp / 1000000 : p.fTimestamp);
    if (v0)
        sStore32(&b[8], p.fTimestamp % 1000000);
    sStore32(&b[v0 ? 12 : 8], p.fReplyDelay);
    b.insert(b.end(), p.fExtensions.begin(), p.fExtensions.end());
    b.insert(b.end(), p.fPayload.begin(), p.fPayload.end());
    return b;
}

inline quillane::UTP::Engine::PacketHeader sHeaderOf(const std::vector<uint8_t>& iBytes,
                                                     int iVersion = 1)
{
    quillane::UTP::Engine::PacketHeader h;
    quillane::UTP::Engine::sReadHeader(iBytes.data(), iVersion, h);
    return h;
}

class UtpFixture : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        UTP_FreeAll();
        UTP_UseVirtualClock(kStartUs);
        UTP_SeedRandom(1);
        sActive = this;
    }

    void TearDown() override
    {
        UTP_FreeAll();
        sActive = nullptr;
    }

    static void Advance(uint64_t iMs) { UTP_AdvanceVirtualClock(iMs * 1000); }

    // Sweeps the timers every 50 ms (as the runner does) for iMs; returns the times (ms after
    // the start) at which the engine sent something. Stops early once iStopOnError saw an error.
    std::vector<uint64_t> Poll(uint64_t iMs, const Recorder* iStopOnError = nullptr)
    {
        std::vector<uint64_t> times;
        for (uint64_t t = 0; t <= iMs; t += 50)
        {
            fSent.clear();
            UTP_CheckTimeouts();
            if (!fSent.empty())
                times.push_back(t);
            if (iStopOnError && !iStopOnError->fErrors.empty())
                break;
            Advance(50);
        }
        return times;
    }

    static const UTPCallbacks* Callbacks()
    {
        static const UTPCallbacks sCallbacks = {spOnRead,        spOnWrite, spReadBufferSize,
                                                spOnStateChange, spOnError, spOnOverhead};
        return &sCallbacks;
    }

    // A connection towards iPeer, with a recorder installed (not yet connected).
    UTPSocket* Create(const sockaddr_in& iPeer, Recorder* iRecorder)
    {
        UTPSocket* s = UTP_Create(spSendTo, fEndpoint, sSA(iPeer), sizeof(iPeer));
        if (iRecorder)
            UTP_SetCallbacks(s, Callbacks(), iRecorder);
        return s;
    }

    // Hands bytes to the engine as if received from iFrom on the local socket fEndpoint; new
    // connections get fIncomingRecorder.
    bool Receive(const std::vector<uint8_t>& iBytes, const sockaddr_in& iFrom = kPeer,
                 bool iAccept = true)
    {
        return UTP_ProcessDatagram(iAccept ? spGotIncoming : nullptr, spSendTo, fEndpoint,
                                   iBytes.data(), iBytes.size(), sSA(iFrom), sizeof(iFrom));
    }
    bool Receive(const PacketDraft& p, const sockaddr_in& iFrom = kPeer)
    {
        return Receive(sBuild(p), iFrom);
    }

    // A packet from the peer of s (to s's receive id, acknowledging everything), to fill in.
    static PacketDraft PeerPacket(const UTPSocket* s, int iType)
    {
        PacketDraft p;
        p.fVersion = s->fVersion;
        p.fType = iType;
        p.fConnId = s->fRecvId;
        p.fTimestamp = uint32_t(UTP_GetMicroseconds() - 20000);
        p.fSeqNr = uint16_t(s->fAckNr + 1);
        p.fAckNr = uint16_t(s->fSeqNr - 1);
        return p;
    }

    // The peer's DATA iAhead packets past the next expected one.
    static PacketDraft Data(const UTPSocket* s, uint16_t iAhead, const std::string& iPayload)
    {
        PacketDraft p = PeerPacket(s, quillane::UTP::Engine::ST_DATA);
        p.fSeqNr = uint16_t(s->fAckNr + 1 + iAhead);
        p.fPayload = iPayload;
        return p;
    }

    // The answer to s's SYN, with the peer's first seq_nr 1000.
    static PacketDraft SynAnswer(const UTPSocket* s)
    {
        PacketDraft p = PeerPacket(s, quillane::UTP::Engine::ST_STATE);
        p.fSeqNr = 1000;
        p.fReplyDelay = 5000;
        return p;
    }

    // An ACK of the packets up to s's oldest + iNewer - 1 (iNewer 0: nothing new).
    static PacketDraft AckOf(const UTPSocket* s, int iNewer)
    {
        PacketDraft p = PeerPacket(s, quillane::UTP::Engine::ST_STATE);
        p.fAckNr = uint16_t(quillane::UTP::Engine::sOldest(s) - 1 + iNewer);
        return p;
    }

    // A connecting side whose SYN was answered after iRttMs: CS_CONNECTED, nothing in fSent.
    UTPSocket* Establish(Recorder* iRecorder, int iVersion = 1, uint32_t iRttMs = 10)
    {
        UTPSocket* s = Create(kPeer, iRecorder);
        UTP_SetOption(s, UTP_OPTION_VERSION, iVersion);
        UTP_Connect(s);
        Advance(iRttMs);
        EXPECT_TRUE(Receive(SynAnswer(s)));
        EXPECT_EQ(CS_CONNECTED, UTP_GetState(s));
        fSent.clear();
        return s;
    }

    // Established, then iPackets full packets sent at once (from seq_nr iFirstSeq when given).
    UTPSocket* EstablishAndWrite(Recorder* r, size_t iPackets, int iFirstSeq = -1)
    {
        UTPSocket* s = Establish(r);
        if (iFirstSeq >= 0)
            s->fSeqNr = s->fFastResendSeqNr = uint16_t(iFirstSeq);
        s->fMaxWindow = s->fSndBuf = 1000000;
        s->fQuota = 100000000;
        r->fOutgoing.assign(iPackets * s->fPacketSize, 'x');
        EXPECT_TRUE(UTP_Write(s, r->fOutgoing.size()));
        EXPECT_EQ(iPackets, fSent.size());
        return s;
    }

    void SendReset(const UTPSocket* s, uint32_t iId)
    {
        PacketDraft reset = PeerPacket(s, quillane::UTP::Engine::ST_RESET);
        reset.fConnId = iId;
        ASSERT_TRUE(Receive(reset));
    }

    static const sockaddr_in kPeer;

    std::vector<Sent> fSent;
    std::vector<UTPSocket*> fIncoming;
    Recorder fIncomingRecorder;
    void* fEndpoint = nullptr; // the send user data of Receive and Create: the local socket

    static UtpFixture* sActive;

  private:
    static void spSendTo(void*, const uint8_t* iBytes, size_t iLength, const sockaddr* iSockAddr,
                         int iSockAddrLen)
    {
        Sent s;
        s.fBytes.assign(iBytes, iBytes + iLength);
        PeerAddress_FromSockAddr(s.fTo, iSockAddr, iSockAddrLen);
        sActive->fSent.push_back(s);
    }
    static void spGotIncoming(void*, UTPSocket* iSocket)
    {
        sActive->fIncoming.push_back(iSocket);
        UTP_SetCallbacks(iSocket, Callbacks(), &sActive->fIncomingRecorder);
    }
    static Recorder* R(void* iUserData) { return static_cast<Recorder*>(iUserData); }
    static void spOnRead(void* u, const uint8_t* b, size_t n)
    {
        R(u)->fRead.append((const char*)b, n);
    }
    static void spOnWrite(void* u, uint8_t* d, size_t n)
    {
        Recorder* r = R(u);
        ASSERT_LE(r->fWritten + n, r->fOutgoing.size());
        std::memcpy(d, r->fOutgoing.data() + r->fWritten, n);
        r->fWritten += n;
    }
    static size_t spReadBufferSize(void* u) { return R(u)->fReadBufferSize; }
    static void spOnStateChange(void* u, int s) { R(u)->fStates.push_back(s); }
    static void spOnError(void* u, int e) { R(u)->fErrors.push_back(e); }
    static void spOnOverhead(void* u, bool, size_t, int c)
    {
        R(u)->fOverheadCategories.push_back(c);
    }
};

} // namespace utptest

#endif // QUILLANE_TESTS_UTP_UTP_TEST_SUPPORT_H
