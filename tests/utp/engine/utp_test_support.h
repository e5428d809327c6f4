// Shared helpers of the engine's unit tests (tests/utp/engine/): a fixture that runs the engine on
// a virtual clock with a seeded random source, records every datagram it sends and every callback
// it makes, and builds a peer's datagrams in either header version.
//
// The engine's state is process-wide: each test starts and ends with UTP_FreeAll, and one fixture
// is active at a time (sActive). Threads: the test thread only.

#ifndef QUILLANE_TESTS_UTP_ENGINE_UTP_TEST_SUPPORT_H
#define QUILLANE_TESTS_UTP_ENGINE_UTP_TEST_SUPPORT_H

#include "utp/engine/utp.h"
#include "utp/engine/utp_clock.h"
#include "utp/engine/utp_packet.h"
#include "utp/engine/utp_congestion.h"
#include "utp/engine/utp_send.h"
#include "morvek/platform/Platform_Address.h"
#include "utp/engine/utp_socket.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace quillane::test
{

using namespace quillane::UTP::Engine;

const uint64_t kStartUs = 0x01020304; // the virtual clock at the start of every test

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

// What the callbacks of one connection reported; UTPOnWriteProc takes from fOutgoing.
struct Recorder
{
    std::string fRead, fOutgoing;
    size_t fWritten = 0, fReadBufferSize = 0;
    std::vector<int> fStates, fErrors, fOverheadCategories;

    int Count(int iState) const { return int(std::count(fStates.begin(), fStates.end(), iState)); }
};

// A datagram as a peer builds it.
struct PacketDraft
{
    int fVersion = 1;
    int fType = ST_DATA;
    uint32_t fConnId = 0, fTimestamp = 0, fReplyDelay = 0, fWindow = 1000000;
    uint16_t fSeqNr = 0, fAckNr = 0;
    int fFirstExt = 0;
    std::vector<uint8_t> fExtensions; // the chain after the header, starting with fFirstExt
    std::string fPayload;
};

inline std::vector<uint8_t> sBuild(const PacketDraft& p)
{
    std::vector<uint8_t> b(sHeaderSize(p.fVersion));
    sWriteHeader(b.data(), p.fVersion, p.fType, p.fFirstExt, p.fConnId, p.fWindow, p.fSeqNr,
                 p.fAckNr);
    sStamp(b.data(), p.fVersion, p.fTimestamp, p.fReplyDelay);
    b.insert(b.end(), p.fExtensions.begin(), p.fExtensions.end());
    b.insert(b.end(), p.fPayload.begin(), p.fPayload.end());
    return b;
}

inline PacketHeader sHeaderOf(const std::vector<uint8_t>& iBytes)
{
    PacketHeader h;
    sReadHeader(iBytes.data(), 1, h);
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
    static void Sweep(uint64_t iMs = 0)
    {
        Advance(iMs);
        UTP_CheckTimeouts();
    }

    // Sweeps every 50 ms (as the runner does) for iMs, or until iStopOnError saw an error;
    // returns the times (ms from the first sweep) of the sweeps that sent something.
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
        static const UTPCallbacks sCallbacks = {
            [](void* u, const uint8_t* b, size_t n) { R(u)->fRead.append((const char*)b, n); },
            [](void* u, uint8_t* d, size_t n)
            {
                ASSERT_LE(R(u)->fWritten + n, R(u)->fOutgoing.size());
                std::memcpy(d, R(u)->fOutgoing.data() + R(u)->fWritten, n);
                R(u)->fWritten += n;
            },
            [](void* u) { return R(u)->fReadBufferSize; },
            [](void* u, int s) { R(u)->fStates.push_back(s); },
            [](void* u, int e) { R(u)->fErrors.push_back(e); },
            [](void* u, bool, size_t, int c) { R(u)->fOverheadCategories.push_back(c); }};
        return &sCallbacks;
    }

    // A connection towards iPeer (not connected), reporting to iRecorder when given.
    UTPSocket* Create(const sockaddr_in& iPeer, Recorder* iRecorder)
    {
        UTPSocket* s = UTP_Create(spSendTo, fEndpoint, sSA(iPeer), sizeof(iPeer));
        if (iRecorder)
            UTP_SetCallbacks(s, Callbacks(), iRecorder);
        return s;
    }

    // Bytes received from iFrom on the local socket fEndpoint; accepted connections report to
    // fIncomingRecorder.
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

    // A packet of s's peer: to s's receive id, acknowledging everything, of type iType, iAhead
    // packets past the next one s expects.
    static PacketDraft Peer(const UTPSocket* s, int iType, uint16_t iAhead = 0,
                            const std::string& iPayload = "")
    {
        PacketDraft p;
        p.fVersion = s->fPeer.fVersion;
        p.fType = iType;
        p.fConnId = s->fPeer.fRecvId;
        p.fTimestamp = uint32_t(UTP_GetMicroseconds() - 20000);
        p.fSeqNr = uint16_t(s->fRecv.fAckNr + 1 + iAhead);
        p.fAckNr = uint16_t(s->fSend.fSeqNr - 1);
        p.fPayload = iPayload;
        return p;
    }
    static PacketDraft Data(const UTPSocket* s, uint16_t iAhead, const std::string& iPayload)
    {
        return Peer(s, ST_DATA, iAhead, iPayload);
    }
    // The answer to s's SYN, with the peer's first seq_nr 1000.
    static PacketDraft SynAnswer(const UTPSocket* s)
    {
        PacketDraft p = Peer(s, ST_STATE);
        p.fSeqNr = 1000;
        p.fReplyDelay = 5000;
        return p;
    }
    // An ACK of s's packets up to its oldest + iNewer - 1 (0: nothing new).
    static PacketDraft AckOf(const UTPSocket* s, int iNewer)
    {
        PacketDraft p = Peer(s, ST_STATE);
        p.fAckNr = uint16_t(sOldest(s) - 1 + iNewer);
        return p;
    }

    // A connecting side whose SYN was answered after iRttMs: CS_CONNECTED, fSent emptied.
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
            s->fSend.fSeqNr = s->fSend.fFastResendSeqNr = uint16_t(iFirstSeq);
        s->fCong.fMaxWindow = s->fSend.fSndBuf = 1000000;
        s->fCong.fQuota = 100000000;
        r->fOutgoing.assign(iPackets * s->fPeer.fPacketSize, 'x');
        EXPECT_TRUE(UTP_Write(s, r->fOutgoing.size()));
        EXPECT_EQ(iPackets, fSent.size());
        fSent.clear();
        return s;
    }

    static inline const sockaddr_in kPeer = sAddr4("127.0.0.2", 2000);

    std::vector<Sent> fSent;
    std::vector<UTPSocket*> fIncoming;
    Recorder fIncomingRecorder;
    Recorder fRec;             // for a test's one connection
    void* fEndpoint = nullptr; // the send user data of Receive and Create: the local socket

    static inline UtpFixture* sActive = nullptr;

  private:
    static Recorder* R(void* iUserData) { return static_cast<Recorder*>(iUserData); }
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
};

} // namespace quillane::test

#endif // QUILLANE_TESTS_UTP_ENGINE_UTP_TEST_SUPPORT_H
